// The core's words: the results and errors of commands and requests, the
// states of a downlink and the address policies.  Each is an enum whose
// texts come from the one list beside it; the texts are what clients read in
// JSON, MQTT payloads and log lines, so a word is spelled in one place.
#pragma once

#include <cstdint>
#include <string_view>

namespace dtu::svc {

// Every result a command or a parameter request can end with, and its text
// (the word clients see as a reason or error).
#define DTU_COMMAND_RESULTS(X)         \
  X(kOk, "ok")                         \
  X(kSent, "sent")                     \
  X(kQueued, "queued")                 \
  X(kQueueFull, "queue-full")          \
  X(kBadId, "bad-id")                  \
  X(kUnknownId, "unknown-id")          \
  X(kEmpty, "empty")                   \
  X(kTooLarge, "too-large")            \
  X(kOffline, "offline")               \
  X(kBadValue, "bad-value")            \
  X(kTimeout, "timeout")               \
  X(kStopped, "stopped")               \
  X(kSendFailed, "send-failed")        \
  X(kMoved, "moved")                   \
  X(kCancelled, "cancelled")           \
  X(kOther, "error")

enum class CommandResult : std::uint8_t {
#define DTU_NAME_ENUM(name, text) name,
  DTU_COMMAND_RESULTS(DTU_NAME_ENUM)
#undef DTU_NAME_ENUM
};

const char *result_name(CommandResult r);
// The result a text names; kOther for a text no result has.
CommandResult result_from_name(std::string_view text);

// The states of a downlink, as DownlinkInfo holds them and every front end
// reports them.  kRejected is a front end's answer only: a refused message
// is never kept.
#define DTU_DOWNLINK_STATES(X)    \
  X(kQueued, "queued")            \
  X(kSent, "sent")                \
  X(kDelivered, "delivered")      \
  X(kUnconfirmed, "unconfirmed")  \
  X(kExpired, "expired")          \
  X(kDropped, "dropped")          \
  X(kRejected, "rejected")

enum class DownlinkState : std::uint8_t {
#define DTU_NAME_ENUM(name, text) name,
  DTU_DOWNLINK_STATES(DTU_NAME_ENUM)
#undef DTU_NAME_ENUM
};

const char *downlink_state_name(DownlinkState s);

// Which frames may move a terminal to a new address: any accepted frame
// (follow) or a logon only.
#define DTU_ADDRESS_POLICIES(X) \
  X(kFollow, "follow")          \
  X(kLogonOnly, "logon-only")

enum class AddressPolicy : std::uint8_t {
#define DTU_NAME_ENUM(name, text) name,
  DTU_ADDRESS_POLICIES(DTU_NAME_ENUM)
#undef DTU_NAME_ENUM
};

const char *policy_name(AddressPolicy p);
// False (and *out untouched) for a text that names no policy.
bool policy_from_name(std::string_view text, AddressPolicy *out);

}  // namespace dtu::svc
