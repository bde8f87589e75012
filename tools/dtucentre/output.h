// Where the centre writes: the log (standard output or --log-file, reopened
// on SIGHUP) and the console's replies (standard output).  Every write is one
// whole line.  At an interactive console the lines are written at once, with
// the prompt taken down before and put back after; otherwise a writer thread
// does the writing, so that a slow disk or a full pipe never holds up the
// service's loop (and with it the terminals' datagrams).
//
// A log that cannot be written (a full disk, a failing device) is said once
// on standard error; its lines are held (up to a bound, then counted as
// lost) and written, followed by a line saying what was lost, as soon as a
// write goes through again.  The writer tries again every second.  A line
// is never left torn in a log file: a write cut short is taken back to the
// last whole line.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
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

  // True while the log cannot be written (any thread).
  bool failing() const { return failing_.load(); }

  // The log's own notes (lines lost, written again) as JSON lines.
  bool json = false;
  // Bytes of log lines held while the log cannot be written; later lines
  // are counted as lost.
  std::size_t hold_limit = 8u << 20;
  // Seconds between tries while the log fails (the writer thread).
  double retry_seconds = 1.0;

  // Called around every line written to the terminal (interactive console).
  std::function<void()> before_write, after_write;

 private:
  struct Line {
    bool to_log;
    std::string text;
  };
  void put(bool to_log, const std::string &line);
  void write_reply(const std::string &line);
  void write_screen(const std::string &line);
  // Adds a line to the log's held text and writes what it can.
  void append_log(const std::string &line);
  void flush_log();
  std::string note(const std::string &text) const;
  void writer();
  bool open_file(std::string *error);

  int fd_ = -1;  // the log file; -1: standard output
  std::string path_;

  // The log's text not written yet (whole lines, or the rest of one that a
  // pipe took half of), and what the failure cost.  Writer thread (or the
  // caller's, without one).
  std::string held_;
  std::uint64_t lost_ = 0;
  std::int64_t failed_since_ms_ = 0;
  int failure_errno_ = 0;
  std::atomic<bool> failing_{false};

  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Line> queue_;
  std::size_t queued_bytes_ = 0, limit_ = 0;
  std::uint64_t dropped_ = 0;
  bool stop_ = false, reopen_ = false, async_ = false;
};

}  // namespace centre
