// The typed events of the service: one stream that every front end (text
// log, JSON lines, console, MQTT gateway, HTTP API) subscribes to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "params.h"

namespace dtu::svc {

// An IPv4 address and a UDP port, both in host order.  addr 0 = none.
struct Endpoint {
  std::uint32_t addr = 0;
  std::uint16_t port = 0;
  bool operator==(const Endpoint &o) const { return addr == o.addr && port == o.port; }
  bool operator!=(const Endpoint &o) const { return !(*this == o); }
};
// "a.b.c.d:port"
std::string to_string(const Endpoint &e);

enum class EventType : std::uint8_t {
  kStart,            // text: the library's start banner (UTF-8)
  kStop,             // text: the library's stop text
  kLogon,            // id, peer, reported, slot; reason "table-full" (slot -1) when not stored
  kLogout,           // id, peer, slot, reason "logout"
  kIdle,             // id, peer, slot, reason "idle": taken off line, not heard for idle_timeout
  kClosed,           // id, peer, slot, reason "operator"
  kData,             // id, peer, data (the user data)
  kDataReply,        // id, peer
  kAddrChange,       // id, old_peer -> peer: a non-logon frame moved it (follow policy)
  kDuplicateLogon,   // id, old_peer (the address on line), peer (the new one, now taken)
  kInvalidFrame,     // id, peer, data (first 32 bytes), length: an InvalidCmd report or an unknown code
  kIdReport,         // id, peer
  kNotLoggedOn,      // id, peer: a frame from a terminal that is not on line
  kParamRead,        // id, peer, request, params (the values reported)
  kParamSet,         // id, peer, request: the terminal confirmed a write
  kTimeout,          // id, request, reason "param_read" | "param_set"
  kDownlinkQueued,   // id, request, length
  kDownlinkSent,     // id, peer, request, length
  kDownlinkExpired,  // id, request, length
  kDownlinkDropped,  // id, request, length, reason "queue-full" | "centre-stopped"
  kRejected,         // peer (source), length, data (first 32 bytes), reason
                     //   "short" | "bad-frame" | "too-large" | "bad-logon" |
                     //   "bad-id-report" | "not-allowed" | "address"
  kWire,             // peer (far end), inbound, length, data (whole datagram), text (kind)
  kError,            // text, reason; id and request when it ends one ("offline", "bad-id",
                     //   "bad-value", "send-failed", "stopped")
};
constexpr int kEventTypeCount = static_cast<int>(EventType::kError) + 1;

// Stable snake_case name ("start", "downlink_queued", ...).
const char *event_name(EventType type);

struct Event {
  EventType type = EventType::kError;
  std::int64_t time_ms = 0;   // system clock, ms since 1970 UTC
  std::string id;             // terminal ID, raw bytes (up to 11, any byte: sinks escape)
  Endpoint peer;              // terminal's address; wire: far end; rejected: source
  Endpoint old_peer;          // addr_change, duplicate_logon
  Endpoint reported;          // logon: the address stated in the frame
  std::vector<std::uint8_t> data;  // user data; rejected: first bytes; wire: datagram
  std::size_t length = 0;     // rejected / wire / downlink: full length in bytes
  std::string reason;         // see EventType
  std::string text;           // start/stop/error text; wire: frame kind name
  std::uint64_t request = 0;  // handle of the read / write / downlink it concerns
  std::vector<ParamValue> params;  // param_read
  bool inbound = false;       // wire: true = received
  int slot = -1;              // library table slot, -1 unknown
};

// A terminal ID as text, the one form every front end writes and reads back
// (log lines aside): its bytes up to the first NUL, printable ASCII as it is
// except '/', '+', '#' and '%', every other byte "%XX".  It is safe in a
// topic level, a URL path and JSON.
std::string id_text(std::string_view raw);
// The reverse; false for a bad escape, an empty ID, one longer than 11
// bytes, or one holding a NUL.
bool id_from_text(std::string_view text, std::string *raw);

// "2026-12-08T18:32:55.123Z" for ms since 1970 UTC; empty for 0 or less.
std::string iso_time(std::int64_t ms);

// Upper-case hex of up to `max` bytes, separated by spaces ("7B 01 00 10").
std::string hex_bytes(const std::uint8_t *bytes, std::size_t size, std::size_t max = SIZE_MAX);
// The value of one hex digit (either case); -1 for any other character.
int hex_digit(char c);

}  // namespace dtu::svc
