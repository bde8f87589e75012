#include "dtucentre/output.h"

#include <cerrno>
#include <cstring>

namespace centre {

Output::~Output() {
  finish();
  if (log_ != nullptr) std::fclose(log_);
}

bool Output::open_file(std::string *error) {
  std::FILE *f = std::fopen(path_.c_str(), "a");
  if (f == nullptr) {
    *error = "cannot open the log file " + path_ + ": " + std::strerror(errno);
    return false;
  }
  if (log_ != nullptr) std::fclose(log_);
  log_ = f;
  return true;
}

bool Output::open_log(const std::string &path, std::string *error) {
  path_ = path;
  return open_file(error);
}

bool Output::reopen(std::string *error) {
  if (path_.empty()) return true;
  {
    std::lock_guard<std::mutex> g(m_);
    if (async_) {
      reopen_ = true;
      cv_.notify_one();
      return true;
    }
  }
  return open_file(error);
}

void Output::start_writer(std::size_t limit) {
  std::lock_guard<std::mutex> g(m_);
  if (async_) return;
  limit_ = limit;
  async_ = true;
  stop_ = false;
  thread_ = std::thread([this] { writer(); });
}

void Output::finish() {
  {
    std::lock_guard<std::mutex> g(m_);
    if (!async_) return;
    stop_ = true;
    cv_.notify_one();
  }
  thread_.join();
  std::lock_guard<std::mutex> g(m_);
  async_ = false;
}

void Output::writer() {
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || reopen_ || !queue_.empty(); });
    std::deque<Line> batch;
    batch.swap(queue_);
    queued_bytes_ = 0;
    const bool reopen = reopen_;
    reopen_ = false;
    const std::uint64_t dropped = dropped_;
    dropped_ = 0;
    const bool stop = stop_;
    lock.unlock();
    if (reopen) {
      std::string error;
      if (!open_file(&error)) std::fprintf(stderr, "dtucentre: %s\n", error.c_str());
    }
    std::FILE *log = log_ != nullptr ? log_ : stdout;
    if (dropped > 0) {
      const std::string note = "log: " + std::to_string(dropped) + " lines dropped; the log could not keep up";
      std::fwrite(note.data(), 1, note.size(), log);
      std::fputc('\n', log);
    }
    std::FILE *last = nullptr;
    for (const Line &l : batch) {
      std::FILE *f = l.to_log ? log : stdout;
      if (last != nullptr && f != last) std::fflush(last);
      std::fwrite(l.text.data(), 1, l.text.size(), f);
      std::fputc('\n', f);
      last = f;
    }
    if (last != nullptr) std::fflush(last);
    lock.lock();
    if (stop && queue_.empty()) return;
  }
}

void Output::put(bool to_log, const std::string &line) {
  {
    std::lock_guard<std::mutex> g(m_);
    if (async_) {
      if (queued_bytes_ + line.size() > limit_) {
        ++dropped_;
        return;
      }
      queued_bytes_ += line.size() + 1;
      queue_.push_back({to_log, line});
      cv_.notify_one();
      return;
    }
  }
  write(to_log && log_ != nullptr ? log_ : stdout, line);
}

void Output::write(std::FILE *f, const std::string &line) {
  const bool screen = f == stdout && before_write;
  if (screen) before_write();
  std::fwrite(line.data(), 1, line.size(), f);
  std::fputc('\n', f);
  std::fflush(f);
  if (screen && after_write) after_write();
}

void Output::log(const std::string &line) { put(true, line); }
void Output::reply(const std::string &line) { put(false, line); }

}  // namespace centre
