// Commands from the broker for terminals this centre holds: downlinks on
// {prefix}/t/{id}/down with their results on .../down/result (correlation
// data back as text), parameter reads and writes on .../params/get and
// .../params/set with their replies.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core.h"

namespace dtu::mqtt {

struct Incoming;

// A queued downlink's correlation data, for its later result.
struct DownContext {
  std::string level;  // the ID's topic level
  std::string corr;   // raw correlation data; empty: none
  bool has_corr = false;
};

class Commands {
 public:
  explicit Commands(Core &core) : core_(core) {}

  // A command this centre takes, of `kind` (kDown, kParamsGet, kParamsSet);
  // `id` is empty when the topic's ID level is not a valid ID.
  void command(TopicKind kind, const std::string &level, const std::string &id, const Incoming &in);

  // The service's downlink events: a queued downlink's later results.
  void downlink_event(const svc::Event &e);

  // A result on {prefix}/t/{level}/down/result.
  void result(const std::string &level, svc::DownlinkState state, const std::string &reason, const DownContext *ctx);
  // The context of a queued downlink leaving this centre (false: none).
  bool release(std::uint64_t handle, DownContext *ctx);
  // A downlink handed away and come back: queued again here for what is left
  // of its time, or its result when it cannot be.
  void resend(const std::string &id, const DownContext &ctx, const std::vector<std::uint8_t> &bytes,
              unsigned expiry_s);

 private:
  void down(const std::string &id, const DownContext &ctx, const std::string &payload, std::uint32_t expiry);
  void params_get(const std::string &id, const std::string &level, const std::string &payload);
  void params_set(const std::string &id, const std::string &level, const std::string &payload);
  void refused(const std::string &reply_topic, json reply, svc::CommandResult why);

  Core &core_;
  std::unordered_map<std::uint64_t, DownContext> downs_;  // service handle -> context
};

}  // namespace dtu::mqtt
