// Where the centre writes: the log (standard output or --log-file, reopened
// on SIGHUP) and the console's replies (standard output).  Every write is one
// whole line.  At an interactive console the lines are written at once, with
// the prompt taken down before and put back after; otherwise a writer thread
// does the writing, so that a slow disk or a full pipe never holds up the
// service's loop (and with it the terminals' datagrams).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace centre {

class Output {
 public:
  Output() = default;
  ~Output();
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;

  // Log to a file (appending) instead of standard output; false with the
  // system's reason.  Before start_writer().
  bool open_log(const std::string &path, std::string *error);
  // Opens the log file again under its name (after it was moved away); the
  // writer thread does it between two lines.
  bool reopen(std::string *error);

  // From now on a thread of its own writes.  Lines beyond `limit` bytes
  // waiting are dropped and counted (a line says how many, once it caught up).
  void start_writer(std::size_t limit = 64u << 20);
  // Writes what waits and ends the writer thread.
  void finish();

  void log(const std::string &line);    // one event or summary line
  void reply(const std::string &line);  // a command's answer (may hold newlines)

  // Called around every line written to the terminal (interactive console).
  std::function<void()> before_write, after_write;

 private:
  struct Line {
    bool to_log;
    std::string text;
  };
  void put(bool to_log, const std::string &line);
  void write(std::FILE *f, const std::string &line);
  void writer();
  bool open_file(std::string *error);

  std::FILE *log_ = nullptr;  // the log file; nullptr: standard output
  std::string path_;

  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Line> queue_;
  std::size_t queued_bytes_ = 0, limit_ = 0;
  std::uint64_t dropped_ = 0;
  bool stop_ = false, reopen_ = false, async_ = false;
};

}  // namespace centre
