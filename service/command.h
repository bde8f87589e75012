// The commands every front end offers (send, close, parameter read and
// write) in one place, with one result type.  The console, the HTTP API and
// the MQTT gateway parse their own input, call these and map the result to
// their own answer (a console line, a status code, a reply payload); the
// rules themselves (the data limit, the never-heard-ID rule, what counts as
// on line) live here and in the core.
//
// Loop thread only, as every Service call that touches the fleet.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "names.h"
#include "param_names.h"
#include "params.h"
#include "service.h"

namespace dtu::svc {

// A downlink: kSent or kQueued with the handle; kQueueFull (dropped, with a
// handle); or a refusal (kBadId, kEmpty, kTooLarge, kUnknownId) without one.
struct SendOutcome {
  CommandResult result = CommandResult::kBadId;
  std::uint64_t handle = 0;
};
SendOutcome send_command(Service &svc, std::string_view id, std::string_view bytes, unsigned expiry_s = 0);

// Takes one terminal off line: kOk, kUnknownId (never heard) or kOffline.
CommandResult close_command(Service &svc, std::string_view id, bool tell);

// A parameter read or write: kUnknownId for an ID no command may name
// (Service::addressable: nothing asked, no event, the callback not called);
// otherwise kOk with the core's handle, and the callback reports the end (at
// once, before the return, when the terminal is off line).  The console,
// HTTP and MQTT all come here, so a never-heard ID gets one answer.
struct RequestOutcome {
  CommandResult result = CommandResult::kOk;
  std::uint64_t handle = 0;
};
RequestOutcome read_command(Service &svc, std::string_view id, ParamCallback done);
RequestOutcome write_command(Service &svc, std::string_view id, std::vector<ParamValue> values, ParamCallback done);

// One parameter as a client gives it: the tag as text and the value as text
// (a number a client sent as a number is given in decimal).  kBadValue with
// the parser's one-line reason in *why.
CommandResult param_from_text(std::string_view tag, std::string_view value, ParamValue *out, std::string *why);

// The result a finished parameter request ended with (kOk, or its error).
CommandResult request_result(const ParamResult &r);

}  // namespace dtu::svc
