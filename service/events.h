// The typed events of the service: one stream that every front end (text
// log, JSON lines, console, MQTT gateway, HTTP API) subscribes to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "names.h"
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

// Every event type with its stable snake_case name, in one list: the enum
// and the name table both come from it.
#define DTU_EVENT_TYPES(X) \
  X(kStart, "start")                      /* text: the library's start banner (UTF-8) */ \
  X(kStop, "stop")                        /* text: the library's stop text */ \
  X(kLogon, "logon")                      /* id, peer, reported, slot */ \
  X(kLogout, "logout")                    /* id, peer, slot, reason "logout" */ \
  X(kIdle, "idle")                        /* id, peer, slot, reason "idle": taken off line, not heard for idle_timeout */ \
  X(kClosed, "closed")                    /* id, peer, slot, reason "operator" */ \
  X(kData, "data")                        /* id, peer, data (the user data) */ \
  X(kDataReply, "data_reply")             /* id, peer */ \
  X(kAddrChange, "addr_change")           /* id, old_peer -> peer: a non-logon frame moved it (follow policy) */ \
  X(kDuplicateLogon, "duplicate_logon")   /* id, old_peer (the address on line), peer (the new one, now taken) */ \
  X(kInvalidFrame, "invalid_frame")       /* id, peer, data (first 32 bytes), length: an InvalidCmd report or an unknown code */ \
  X(kIdReport, "id_report")               /* id, peer */ \
  X(kNotLoggedOn, "not_logged_on")        /* id, peer: a frame from a terminal that is not on line */ \
  X(kParamRead, "param_read")             /* id, peer, request, params (the values reported) */ \
  X(kParamSet, "param_set")               /* id, peer, request: the terminal confirmed a write */ \
  X(kTimeout, "timeout")                  /* id, request, reason "param_read" | "param_set" */ \
  X(kDownlinkQueued, "downlink_queued")   /* id, request, length */ \
  X(kDownlinkSent, "downlink_sent")       /* id, peer, request, length */ \
  X(kDownlinkExpired, "downlink_expired") /* id, request, length */ \
  X(kDownlinkDropped, "downlink_dropped") /* id, request, length, reason "queue-full" | "centre-stopped" */ \
  X(kDownlinkDelivered, "downlink_delivered") /* id, peer, request, length: the terminal's DataReply came */ \
  X(kDownlinkUnconfirmed, "downlink_unconfirmed") /* id, peer, request, length, reason "no-reply" | "offline" | "moved" | */ \
                                          /* "centre-stopped": sent, but no DataReply came */ \
  X(kRejected, "rejected")                /* peer (source), length, data (first 32 bytes), reason */ \
                                          /* "short" | "bad-frame" | "too-large" | "bad-logon" | */ \
                                          /* "bad-id-report" | "not-allowed" | "address" */ \
  X(kWire, "wire")                        /* peer (far end), inbound, length, data (whole datagram), text (kind) */ \
  X(kError, "error")                      /* text, reason; id and request when it ends one ("offline", "bad-id", */ \
                                          /* "bad-value", "send-failed", "stopped", "queue-full", "cancelled") */ \
  X(kLogonRefused, "logon_refused")       /* id, peer, reported, reason "table-full": not stored, no answer; once per */ \
                                          /* terminal until it gets in (its retries are only counted) */ \
  X(kHealth, "health")                    /* check (the row's name), reason ("ok" or what is wrong), text (detail), */ \
                                          /* status in `state`: a health row changed its state */

enum class EventType : std::uint8_t {
#define DTU_EVENT_ENUM(name, text) name,
  DTU_EVENT_TYPES(DTU_EVENT_ENUM)
#undef DTU_EVENT_ENUM
};

constexpr int kEventTypeCount = static_cast<int>(EventType::kHealth) + 1;

// Stable snake_case name ("start", "downlink_queued", ...).
const char *event_name(EventType type);

// The state a downlink_* event leaves its downlink in (kQueued for
// downlink_queued, kSent for downlink_sent, ...); kRejected for any other type.
DownlinkState downlink_state_of(EventType type);

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
  std::string check;          // health: the row's name ("broker", "socket", ...)
  std::string state;          // health: "ok" | "starting" | "degraded"
  std::uint64_t seq = 0;      // the journal's record of it; 0 = not journaled
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
