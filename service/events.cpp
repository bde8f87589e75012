#include "events.h"

#include <cstdio>

namespace dtu::svc {

std::string to_string(const Endpoint &e) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", (e.addr >> 24) & 0xFF, (e.addr >> 16) & 0xFF,
                (e.addr >> 8) & 0xFF, e.addr & 0xFF, static_cast<unsigned>(e.port));
  return buf;
}

const char *event_name(EventType type) {
  static const char *const kNames[kEventTypeCount] = {
      "start",         "stop",         "logon",           "logout",          "idle",
      "closed",        "data",         "data_reply",      "addr_change",     "duplicate_logon",
      "invalid_frame", "id_report",    "not_logged_on",   "param_read",      "param_set",
      "timeout",       "downlink_queued", "downlink_sent", "downlink_expired", "downlink_dropped",
      "rejected",      "wire",         "error"};
  const int i = static_cast<int>(type);
  return i >= 0 && i < kEventTypeCount ? kNames[i] : "unknown";
}

std::string hex_bytes(const std::uint8_t *bytes, std::size_t size, std::size_t max) {
  static const char kDigits[] = "0123456789ABCDEF";
  const std::size_t n = size < max ? size : max;
  std::string out;
  out.reserve(n * 3);
  for (std::size_t i = 0; i < n; ++i) {
    if (i) out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

}  // namespace dtu::svc
