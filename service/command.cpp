#include "command.h"

namespace dtu::svc {

SendOutcome send_command(Service &svc, std::string_view id, std::string_view bytes, unsigned expiry_s) {
  // The core checks the ID, the length (1..DTU_MAX_USER_DATA) and the
  // never-heard rule; this only names its answer.
  const SendResult r = svc.send(id, bytes.data(), bytes.size(), expiry_s);
  SendOutcome out;
  out.handle = r.handle;
  switch (r.status) {
    case SendStatus::kSent: out.result = CommandResult::kSent; break;
    case SendStatus::kQueued: out.result = CommandResult::kQueued; break;
    case SendStatus::kDropped: out.result = CommandResult::kQueueFull; break;
    case SendStatus::kRejected: out.result = r.reason; break;
  }
  return out;
}

CommandResult close_command(Service &svc, std::string_view id, bool tell) {
  const Terminal *t = svc.find(id);
  if (t == nullptr) return CommandResult::kUnknownId;
  if (!t->online || !svc.close(id, tell)) return CommandResult::kOffline;
  return CommandResult::kOk;
}

RequestOutcome read_command(Service &svc, std::string_view id, ParamCallback done) {
  if (!svc.addressable(id)) return {CommandResult::kUnknownId, 0};
  return {CommandResult::kOk, svc.read_params(id, std::move(done))};
}

RequestOutcome write_command(Service &svc, std::string_view id, std::vector<ParamValue> values, ParamCallback done) {
  if (!svc.addressable(id)) return {CommandResult::kUnknownId, 0};
  return {CommandResult::kOk, svc.write_params(id, std::move(values), std::move(done))};
}

CommandResult param_from_text(std::string_view tag_text, std::string_view value, ParamValue *out, std::string *why) {
  int tag = 0;
  if (!parse_tag(tag_text, &tag, why) || !parse_param(tag, value, out, why)) return CommandResult::kBadValue;
  return CommandResult::kOk;
}

CommandResult request_result(const ParamResult &r) {
  return r.ok ? CommandResult::kOk : r.error;
}

}  // namespace dtu::svc
