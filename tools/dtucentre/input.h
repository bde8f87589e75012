// Standard input as a source of commands: the interactive console (line
// editing and history with libedit, a prompt kept apart from event lines) on
// a terminal, or plain lines from a pipe or file with --console.
#pragma once

#include <memory>

#include "dtucentre/console.h"
#include "dtucentre/output.h"
#include "service.h"

namespace centre {

// The longest command line taken; a longer one is refused whole.
constexpr std::size_t kMaxLine = 64 * 1024;

class Input {
 public:
  virtual ~Input() = default;
  // Starts reading (loop thread, before run()).  End of input, or quit,
  // stops the service.
  static std::unique_ptr<Input> create(dtu::svc::Service &svc, Console &console, Output &out, bool terminal);
  // After run(): puts the terminal back as it was, ends the reader.
  virtual void finish() = 0;
};

// Splits a stream of bytes into command lines in time linear in its length;
// a line longer than kMaxLine is reported once and dropped.
class LineSplitter {
 public:
  // Calls line(text) per complete line (without CR LF) and too_long() for
  // each line cut off.
  template <typename Line, typename TooLong>
  void feed(const char *data, std::size_t size, Line &&line, TooLong &&too_long) {
    for (std::size_t i = 0; i < size; ++i) {
      const char c = data[i];
      if (c == '\n') {
        if (overflow_) too_long();
        else {
          if (!buf_.empty() && buf_.back() == '\r') buf_.pop_back();
          line(buf_);
        }
        buf_.clear();
        overflow_ = false;
      } else if (!overflow_) {
        if (buf_.size() >= kMaxLine) {
          overflow_ = true;
          buf_.clear();
        } else {
          buf_ += c;
        }
      }
    }
  }
  template <typename Line, typename TooLong>
  void end(Line &&line, TooLong &&too_long) {
    if (overflow_) too_long();
    else if (!buf_.empty()) line(buf_);
    buf_.clear();
    overflow_ = false;
  }

 private:
  std::string buf_;
  bool overflow_ = false;
};

}  // namespace centre
