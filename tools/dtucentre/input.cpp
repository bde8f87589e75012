#include "dtucentre/input.h"

#include <poll.h>
#include <unistd.h>
#include <uv.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <editline/readline.h>

namespace centre {
namespace {

const char kTooLong[] = "the line is longer than 65536 bytes; ignored";

// Lines from a pipe or a file, read on a thread of its own and handed to
// the loop with post().  End of input stops the centre.
class PipeInput : public Input {
 public:
  PipeInput(dtu::svc::Service &svc, Console &console, Output &out) : svc_(svc), console_(console), out_(out) {
    thread_ = std::thread([this] { read_all(); });
  }
  ~PipeInput() override { finish(); }
  void finish() override {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void read_all() {
    LineSplitter split;
    auto line = [this](const std::string &text) {
      svc_.post([this, text](dtu::svc::Service &s) {
        if (!console_.execute(text)) s.stop();
      });
    };
    auto too_long = [this] {
      svc_.post([this](dtu::svc::Service &) { console_.execute_error(kTooLong); });
    };
    std::vector<char> buf(1 << 16);
    pollfd p{0, POLLIN, 0};
    while (!done_) {
      const int r = ::poll(&p, 1, 200);
      if (r < 0 && errno == EINTR) continue;
      if (r == 0) continue;
      const ssize_t n = r < 0 ? -1 : ::read(0, buf.data(), buf.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        split.end(line, too_long);
        svc_.post([](dtu::svc::Service &s) { s.stop(); });
        return;
      }
      split.feed(buf.data(), static_cast<std::size_t>(n), line, too_long);
    }
  }

  dtu::svc::Service &svc_;
  Console &console_;
  Output &out_;
  std::thread thread_;
  std::atomic<bool> done_{false};
};

// The interactive console: libedit's callback interface fed from the loop.
class TerminalInput : public Input {
 public:
  TerminalInput(dtu::svc::Service &svc, Console &console, Output &out) : svc_(svc), console_(console), out_(out) {
    self_ = this;
    rl_catch_signals = 0;
    rl_getc_function = &TerminalInput::getc_hook;
    rl_callback_handler_install(kPrompt, &TerminalInput::on_line);
    poll_.data = this;
    uv_poll_init(svc.loop(), &poll_, 0);
    uv_poll_start(&poll_, UV_READABLE, [](uv_poll_t *p, int, int) {
      (void)p;
      rl_callback_read_char();
      // libedit leaves the terminal in cooked mode after a finished line and
      // would draw the next prompt only with the next key, echoing that line
      // twice; installing the handler again puts it back in raw mode and draws
      // the prompt now (unless the line ended the console).
      if (line_ran_ && self_ != nullptr) rl_callback_handler_install(kPrompt, &on_line);
      line_ran_ = false;
    });
    // Event lines go above the prompt: clear the line, write, redraw.
    out_.before_write = [] {
      std::fputs("\r\033[K", stdout);
    };
    // Not while a typed line runs: the redraw would show the finished line
    // again, and the prompt is drawn once the line is done.
    out_.after_write = [] {
      if (!line_ran_) rl_forced_update_display();
    };
  }
  ~TerminalInput() override { finish(); }
  void finish() override {
    if (finished_) return;
    finished_ = true;
    out_.before_write = nullptr;
    out_.after_write = nullptr;
    if (!uv_is_closing(reinterpret_cast<uv_handle_t *>(&poll_))) uv_close(reinterpret_cast<uv_handle_t *>(&poll_), nullptr);
    rl_callback_handler_remove();
    std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
    self_ = nullptr;
  }

 private:
  static constexpr const char *kPrompt = "dtucentre> ";
  // Ctrl-D on an empty line (or the end of input) ends the console; it is
  // turned into an empty line that on_line recognises.
  static int getc_hook(std::FILE *f) {
    unsigned char c = 0;
    for (;;) {
      const ssize_t n = ::read(fileno(f), &c, 1);
      if (n == 1) break;
      if (n < 0 && errno == EINTR) continue;
      eof_ = true;
      return '\n';
    }
    if (c == 4 && rl_end == 0) {
      eof_ = true;
      return '\n';
    }
    return c;
  }
  static void on_line(char *line) {
    TerminalInput *t = self_;
    if (t == nullptr) {
      std::free(line);
      return;
    }
    if (line == nullptr || eof_) {
      std::free(line);
      t->svc_.stop();
      return;
    }
    line_ran_ = true;
    if (std::strlen(line) > kMaxLine) {
      t->console_.execute_error(kTooLong);
    } else {
      if (line[0] != '\0') add_history(line);
      if (!t->console_.execute(line)) t->svc_.stop();
    }
    std::free(line);
  }

  static TerminalInput *self_;
  static bool eof_;
  // A typed line was taken in this turn of the loop (set until it ends).
  static bool line_ran_;
  dtu::svc::Service &svc_;
  Console &console_;
  Output &out_;
  uv_poll_t poll_{};
  bool finished_ = false;
};

TerminalInput *TerminalInput::self_ = nullptr;
bool TerminalInput::eof_ = false;
bool TerminalInput::line_ran_ = false;

}  // namespace

std::unique_ptr<Input> Input::create(dtu::svc::Service &svc, Console &console, Output &out, bool terminal) {
  if (terminal) return std::make_unique<TerminalInput>(svc, console, out);
  return std::make_unique<PipeInput>(svc, console, out);
}

}  // namespace centre
