// Where the centre writes: the log (standard output or --log-file, reopened
// on SIGHUP) and the console's replies (standard output).  Every write is one
// whole line; an interactive prompt is taken down before and put back after.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace centre {

class Output {
 public:
  Output() = default;
  ~Output();
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;

  // Log to a file (appending) instead of standard output; false with the
  // system's reason.
  bool open_log(const std::string &path, std::string *error);
  // Opens the log file again under its name (after it was moved away).
  bool reopen(std::string *error);

  void log(const std::string &line);    // one event or summary line
  void reply(const std::string &line);  // a command's answer (may hold newlines)

  // Called around every line written to the terminal (interactive console).
  std::function<void()> before_write, after_write;

 private:
  void write(std::FILE *f, const std::string &line);
  std::FILE *log_ = stdout;
  std::string path_;
};

}  // namespace centre
