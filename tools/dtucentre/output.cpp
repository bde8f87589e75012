#include "dtucentre/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "dtucentre/format.h"

namespace centre {

Output::~Output() {
  finish();
  if (fd_ >= 0) ::close(fd_);
}

bool Output::open_file(std::string *error) {
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = "cannot open the log file " + path_ + ": " + std::strerror(errno);
    return false;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
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
  if (!open_file(error)) return false;
  flush_log();  // what a failing file held goes to the new one
  return true;
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

std::string Output::note(const std::string &text) const {
  const std::int64_t now = now_ms();
  if (json) return dump(Json{{"time", utc_time(now)}, {"event", "log"}, {"text", text}});
  return local_time(now) + "  log  " + text;
}

void Output::append_log(const std::string &line) {
  if (failing_ && held_.size() + line.size() + 1 > hold_limit) {
    ++lost_;
    return;
  }
  held_ += line;
  held_ += '\n';
}

void Output::flush_log() {
  if (held_.empty()) return;
  const int fd = fd_ >= 0 ? fd_ : 1;
  // Where the file ends now: a write cut short is taken back to here and
  // the whole lines it wrote (no use on a pipe).
  const off_t before = fd_ >= 0 ? ::lseek(fd, 0, SEEK_END) : -1;
  std::size_t done = 0;
  int err = 0;
  while (done < held_.size()) {
    const ssize_t n = ::write(fd, held_.data() + done, held_.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      err = n < 0 ? errno : EIO;
      break;
    }
  }
  if (err == 0) {
    held_.clear();
    if (!failing_) return;
    const std::int64_t secs = (now_ms() - failed_since_ms_ + 500) / 1000;
    std::string text = "written again after " + std::to_string(secs) + " s of " + std::strerror(failure_errno_);
    if (lost_ > 0) text += "; " + std::to_string(lost_) + " lines were lost meanwhile";
    std::fprintf(stderr, "dtucentre: the log %s is %s\n", path_.empty() ? "(standard output)" : path_.c_str(),
                 text.c_str());
    failing_ = false;
    lost_ = 0;
    held_ = note(text) + "\n";
    flush_log();
    return;
  }
  std::size_t keep = done;
  if (done > 0 && before >= 0) {
    const std::size_t nl = held_.rfind('\n', done - 1);
    const std::size_t whole = nl == std::string::npos ? 0 : nl + 1;
    if (whole == done || ::ftruncate(fd, before + static_cast<off_t>(whole)) == 0) keep = whole;
  }
  held_.erase(0, keep);
  if (failing_) return;
  failing_ = true;
  failed_since_ms_ = now_ms();
  failure_errno_ = err;
  std::fprintf(stderr,
               "dtucentre: cannot write the log %s: %s; holding up to %zu MB of lines and trying again\n",
               path_.empty() ? "(standard output)" : path_.c_str(), std::strerror(err), hold_limit >> 20);
}

void Output::writer() {
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    const auto ready = [this] { return stop_ || reopen_ || !queue_.empty(); };
    if (failing_) cv_.wait_for(lock, std::chrono::duration<double>(retry_seconds), ready);
    else cv_.wait(lock, ready);
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
    if (dropped > 0) append_log(note(std::to_string(dropped) + " lines dropped; the log could not keep up"));
    for (const Line &l : batch) {
      if (l.to_log) {
        append_log(l.text);
        continue;
      }
      if (fd_ < 0) flush_log();  // the log shares standard output: in order
      write_reply(l.text);
    }
    flush_log();
    lock.lock();
    if (stop && queue_.empty()) break;
  }
  lock.unlock();
  if (failing_ && (!held_.empty() || lost_ > 0)) {
    std::size_t lines = 0;
    for (char c : held_) lines += c == '\n';
    std::fprintf(stderr, "dtucentre: %llu log lines could not be written to %s\n",
                 static_cast<unsigned long long>(lines + lost_), path_.empty() ? "standard output" : path_.c_str());
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
  if (to_log && fd_ >= 0) {
    append_log(line);
    flush_log();
  } else {
    write_screen(line);
  }
}

void Output::write_reply(const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Output::write_screen(const std::string &line) {
  if (before_write) before_write();
  write_reply(line);
  if (after_write) after_write();
}

void Output::log(const std::string &line) { put(true, line); }
void Output::reply(const std::string &line) { put(false, line); }

}  // namespace centre
