#include "events.h"

#include "text.h"

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
#define DTU_EVENT_NAME(name, text) text,
      DTU_EVENT_TYPES(DTU_EVENT_NAME)
#undef DTU_EVENT_NAME
  };
  const int i = static_cast<int>(type);
  return i >= 0 && i < kEventTypeCount ? kNames[i] : "unknown";
}

DownlinkState downlink_state_of(EventType type) {
  switch (type) {
    case EventType::kDownlinkQueued: return DownlinkState::kQueued;
    case EventType::kDownlinkSent: return DownlinkState::kSent;
    case EventType::kDownlinkDelivered: return DownlinkState::kDelivered;
    case EventType::kDownlinkUnconfirmed: return DownlinkState::kUnconfirmed;
    case EventType::kDownlinkExpired: return DownlinkState::kExpired;
    case EventType::kDownlinkDropped: return DownlinkState::kDropped;
    default: return DownlinkState::kRejected;
  }
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

// The shared forms of the text helpers, under the names the front ends have
// always used.
std::string id_text(std::string_view raw) { return text::id_text(raw); }

int hex_digit(char c) { return text::hex_digit(c); }

bool id_from_text(std::string_view text, std::string *raw) { return text::id_from_text(text, raw); }

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
