#include "dtucentre/notify.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#if defined(DTUCENTRE_HAVE_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

namespace centre {

bool Notifier::active() const {
#if defined(DTUCENTRE_HAVE_SYSTEMD)
  return std::getenv("NOTIFY_SOCKET") != nullptr;
#else
  return false;
#endif
}

std::uint64_t Notifier::watchdog_usec() const {
#if defined(DTUCENTRE_HAVE_SYSTEMD)
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) return usec;
#endif
  return 0;
}

void Notifier::send(const std::string &text) {
#if defined(DTUCENTRE_HAVE_SYSTEMD)
  sd_notify(0, text.c_str());
#else
  (void)text;
#endif
}

// A status line is one line: no newline may end the assignment early.
static std::string one_line(std::string text) {
  for (char &c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

void Notifier::ready(const std::string &status) {
  last_status_ = one_line(status);
  send("READY=1\nSTATUS=" + last_status_);
}

void Notifier::watchdog() { send("WATCHDOG=1"); }

void Notifier::status(const std::string &text) {
  const std::string line = one_line(text);
  if (line == last_status_) return;
  last_status_ = line;
  send("STATUS=" + line);
}

void Notifier::stopping() {
  if (stopping_) return;
  stopping_ = true;
  send("STOPPING=1\nSTATUS=stopping");
}

bool Notifier::stdout_is_journal() {
  const char *v = std::getenv("JOURNAL_STREAM");
  unsigned long long dev = 0, ino = 0;
  struct stat st {};
  return v != nullptr && std::sscanf(v, "%llu:%llu", &dev, &ino) == 2 && fstat(1, &st) == 0 &&
         static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

}  // namespace centre
