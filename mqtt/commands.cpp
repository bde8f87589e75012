#include "commands.h"

#include "command.h"
#include "connection.h"
#include "json_input.h"
#include "vocab.h"

namespace dtu::mqtt {

namespace {

// A `req` is echoed back when it is written in at most this many bytes.
constexpr std::size_t kReqEchoMax = 512;

json param_json(const svc::ParamValue &v) { return svc::param_value_json(v); }

// The request's JSON ("req" echoed back); an empty payload is {}.
bool request_json(const std::string &payload, json *out, json *reply) {
  if (payload.empty()) {
    *out = json::object();
    return true;
  }
  if (!svc::parse_json_input(payload, out) || !out->is_object()) {
    (*reply)["error"] = "bad-json";
    return false;
  }
  auto req = out->find("req");
  if (req == out->end()) return true;
  // Echoed only while it stays small: a reply is no place to mirror a
  // big document back to the whole broker.
  if (!req->is_primitive() && dump(*req).size() > kReqEchoMax) {
    (*reply)["error"] = "bad-json";
    return false;
  }
  (*reply)["req"] = *req;
  return true;
}

}  // namespace

void Commands::command(TopicKind kind, const std::string &level, const std::string &id, const Incoming &in) {
  ++core_.stats.commands;
  switch (kind) {
    case TopicKind::kDown: return down(id, DownContext{level, in.corr, in.has_corr}, in.payload, in.expiry);
    case TopicKind::kParamsGet: return params_get(id, level, in.payload);
    case TopicKind::kParamsSet: return params_set(id, level, in.payload);
    default: return;
  }
}

void Commands::result(const std::string &level, svc::DownlinkState state, const std::string &reason,
                      const DownContext *ctx) {
  json j = {{"state", svc::downlink_state_name(state)}};
  if (!reason.empty()) j["reason"] = reason;
  if (ctx && ctx->has_corr) j["corr"] = text_or_hex(ctx->corr);
  if (core_.connected) core_.publish_json(core_.topic_level(level, "down/result"), j);
}

// A downlink's later results: `sent` (for one that was queued), then
// with confirmation on `delivered` or `unconfirmed`; or `expired` /
// `dropped`.  Its context is kept until the last of them.
void Commands::downlink_event(const svc::Event &e) {
  using svc::EventType;
  // A send()'s own events reach the sinks before it returns, while its
  // handle is not in downs_ yet: its result comes from its answer.
  auto it = downs_.find(e.request);
  if (it == downs_.end()) return;
  const bool sent = e.type == EventType::kDownlinkSent;
  result(it->second.level, svc::downlink_state_of(e.type), sent ? "" : e.reason, &it->second);
  if (!sent || !core_.svc->config().downlink_confirm) downs_.erase(it);
}

bool Commands::release(std::uint64_t handle, DownContext *ctx) {
  auto it = downs_.find(handle);
  if (it == downs_.end()) return false;
  *ctx = std::move(it->second);
  downs_.erase(it);
  return true;
}

void Commands::resend(const std::string &id, const DownContext &ctx, const std::vector<std::uint8_t> &bytes,
                      unsigned expiry_s) {
  using R = svc::CommandResult;
  using S = svc::DownlinkState;
  const svc::SendOutcome r = svc::send_command(*core_.svc, id, {reinterpret_cast<const char *>(bytes.data()), bytes.size()},
                                               expiry_s);
  switch (r.result) {
    case R::kSent: return result(ctx.level, S::kSent, "", &ctx);
    case R::kQueued: downs_[r.handle] = ctx; return;  // its "queued" went out before
    case R::kQueueFull: return result(ctx.level, S::kDropped, svc::result_name(r.result), &ctx);
    default: return result(ctx.level, S::kRejected, svc::result_name(r.result), &ctx);
  }
}

void Commands::down(const std::string &id, const DownContext &ctx, const std::string &payload,
                    std::uint32_t expiry) {
  using R = svc::CommandResult;
  using S = svc::DownlinkState;
  if (id.empty()) {
    ++core_.stats.refused;
    return result(ctx.level, S::kRejected, svc::result_name(R::kBadId), &ctx);
  }
  const svc::SendOutcome r = svc::send_command(*core_.svc, id, payload, expiry);
  switch (r.result) {
    case R::kSent:
      if (core_.svc->config().downlink_confirm) downs_[r.handle] = ctx;  // delivered or unconfirmed follows
      return result(ctx.level, S::kSent, "", &ctx);
    case R::kQueued:
      downs_[r.handle] = ctx;
      return result(ctx.level, S::kQueued, "", &ctx);
    case R::kQueueFull: return result(ctx.level, S::kDropped, svc::result_name(r.result), &ctx);
    default:
      ++core_.stats.refused;
      return result(ctx.level, S::kRejected, svc::result_name(r.result), &ctx);
  }
}

void Commands::params_get(const std::string &id, const std::string &level, const std::string &payload) {
  json req, reply = json::object();
  const std::string reply_topic = core_.topic_level(level, "params/get/reply");
  if (!request_json(payload, &req, &reply) || id.empty()) {
    ++core_.stats.refused;
    if (id.empty()) reply["error"] = "bad-id";
    return (void)core_.publish_json(reply_topic, reply);
  }
  const svc::RequestOutcome out =
      svc::read_command(*core_.svc, id, [this, reply, reply_topic](const svc::ParamResult &r) mutable {
        if (r.ok) {
          json params = json::object();
          for (const svc::ParamValue &v : r.values) params[std::to_string(v.tag)] = param_json(v);
          reply["params"] = params;
          json names = svc::param_names_json(r.values);
          if (!names.empty()) reply["names"] = std::move(names);
        } else {
          reply["error"] = svc::result_name(r.error);
        }
        if (core_.connected) core_.publish_json(reply_topic, reply);
      });
  if (out.result != svc::CommandResult::kOk) refused(reply_topic, reply, out.result);
}

// A request the command layer refused (an ID never heard): its reply names why.
void Commands::refused(const std::string &reply_topic, json reply, svc::CommandResult why) {
  ++core_.stats.refused;
  reply["error"] = svc::result_name(why);
  core_.publish_json(reply_topic, reply);
}

void Commands::params_set(const std::string &id, const std::string &level, const std::string &payload) {
  json req, reply = json::object();
  const std::string reply_topic = core_.topic_level(level, "params/set/reply");
  auto refuse = [&](const std::string &why) {
    ++core_.stats.refused;
    reply["error"] = why;
    core_.publish_json(reply_topic, reply);
  };
  if (!request_json(payload, &req, &reply)) return refuse("bad-json");
  if (id.empty()) return refuse("bad-id");
  if (!req.contains("params") || !req["params"].is_object() || req["params"].empty())
    return refuse("no params: give {\"params\":{\"TAG\":value,...}}");
  std::vector<svc::ParamValue> values;
  for (auto &[key, value] : req["params"].items()) {
    int tag = 0;
    std::string why;
    if (!svc::parse_tag(key, &tag, &why)) return refuse(utf8_text(why));
    std::string text;
    if (value.is_number_unsigned()) text = std::to_string(value.get<std::uint64_t>());
    else if (value.is_string()) text = value.get<std::string>();
    else return refuse(utf8_text(svc::param_label(tag)) + ": expected a string or a whole number");
    svc::ParamValue v;
    if (svc::param_from_text(key, text, &v, &why) != svc::CommandResult::kOk) return refuse(why);
    values.push_back(std::move(v));
  }
  const svc::RequestOutcome out = svc::write_command(
      *core_.svc, id, std::move(values), [this, reply, reply_topic](const svc::ParamResult &r) mutable {
        if (r.ok) reply["ok"] = true;
        else reply["error"] = svc::result_name(r.error);
        if (core_.connected) core_.publish_json(reply_topic, reply);
      });
  if (out.result != svc::CommandResult::kOk) refused(reply_topic, reply, out.result);
}

}  // namespace dtu::mqtt
