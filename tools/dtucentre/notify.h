// The program's side of a service manager's readiness protocol (systemd's
// Type=notify): READY=1 once the centre serves, WATCHDOG=1 from the loop
// while it turns (so a hung loop is restarted), STATUS= with a short health
// line, STOPPING=1 on the way out.  Without a manager (no NOTIFY_SOCKET), or
// in a build without libsystemd, every call does nothing.
#pragma once

#include <cstdint>
#include <string>

namespace centre {

class Notifier {
 public:
  // Whether a manager listens (NOTIFY_SOCKET set).
  bool active() const;
  // The watchdog interval the manager asked for, in microseconds; 0 for none.
  std::uint64_t watchdog_usec() const;
  void ready(const std::string &status);
  void watchdog();
  // Sends STATUS= when the text differs from the last one sent.
  void status(const std::string &text);
  void stopping();
  // True when standard output is the journal's stream (JOURNAL_STREAM names
  // it): a line there may begin with "<3>" to be stored at error priority.
  static bool stdout_is_journal();

 private:
  void send(const std::string &text);
  std::string last_status_;
  bool stopping_ = false;
};

}  // namespace centre
