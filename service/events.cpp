#include "events.h"

#include <ctime>

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

std::string id_text(std::string_view raw) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::size_t nul = raw.find('\0');
  if (nul != std::string_view::npos) raw = raw.substr(0, nul);
  std::string out;
  out.reserve(raw.size());
  for (unsigned char c : raw) {
    if (c >= 0x20 && c < 0x7F && c != '/' && c != '+' && c != '#' && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool id_from_text(std::string_view text, std::string *raw) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (text.size() - i < 3) return false;
    const int hi = hex_digit(text[i + 1]), lo = hex_digit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi << 4 | lo);
    i += 2;
  }
  if (out.empty() || out.size() > 11 || out.find('\0') != std::string::npos) return false;
  *raw = std::move(out);
  return true;
}

std::string iso_time(std::int64_t ms) {
  if (ms <= 0) return "";
  const std::time_t s = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&s, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

}  // namespace dtu::svc
