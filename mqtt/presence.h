// Presence: the retained statuses of the terminals this centre holds, the
// latest status seen of every terminal and every centre's state, the rules
// for which of them to believe, and the handover of queued downlinks to the
// centre a terminal went to (and their take-back when it does not take them).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "commands.h"
#include "core.h"

namespace dtu::mqtt {

struct Incoming;

// What the gateway knows of a terminal this centre holds.
struct Held {
  bool online = false;
  svc::Endpoint peer, reported;
  std::int64_t since_ms = 0;
  std::string reason;
};

class Presence {
 public:
  using StatusJson = std::function<json(const std::string &id, const Held &)>;
  Presence(Core &core, Commands &commands, StatusJson status_json)
      : core_(core), commands_(commands), status_json_(std::move(status_json)) {}

  // ---- this centre's terminals ----
  void set_status(const std::string &id, bool online, const svc::Event &e, const char *reason);
  void logon(const svc::Event &e);
  void duplicate_logon(const std::string &id) { takeover_[id] = true; }
  void addr_change(const svc::Event &e);
  // The service stops: every terminal on line marked, handovers settled.
  void stopped(const svc::Event &e);
  // The broker took us (again): every status held goes out.
  void republish();

  // ---- what comes through the broker ----
  void status_seen(const std::string &id, const std::string &payload, bool retained);
  void centre_state(const std::string &name, const std::string &payload);
  // {prefix}/c/{centre}/taken: a centre took a downlink handed to it.
  void taken(const std::string &name, const std::string &payload);
  // A downlink that another centre handed here and this one took: tell it.
  void confirm_taken(const Incoming &in);
  // Whether commands for `id` are this centre's.
  bool owns(const std::string &id) const;
  // Handovers past their timeout come back (called every half second).
  void tick();

 private:
  // The latest status of a terminal seen through the broker, any centre's.
  struct Owner {
    std::string centre;
    bool online = false;
    std::int64_t since_ms = 0;
  };
  // A queued downlink handed to another centre, kept until that centre says
  // it took it (or it comes back here).
  struct HandedOver {
    std::string id;
    std::string to;  // the centre it went to
    DownContext ctx;
    std::vector<std::uint8_t> bytes;
    std::int64_t expires_ms;   // system clock: when it would have expired here
    std::int64_t deadline_ms;  // system clock: back here if not taken by then
  };

  void publish_status(const std::string &id);
  bool believed(const Owner &o) const;
  void hand_over(const std::string &id, const std::string &to);
  void take_back(const std::function<bool(const HandedOver &)> &back);

  Core &core_;
  Commands &commands_;
  StatusJson status_json_;
  std::unordered_map<std::string, Held> held_;
  std::unordered_map<std::string, Owner> owners_;
  std::unordered_map<std::string, bool> takeover_;  // a duplicate logon precedes the logon event
  std::unordered_map<std::string, bool> centres_;   // every centre's last state seen: true online
  std::map<std::uint64_t, HandedOver> handed_;      // token -> handed over, not yet taken (oldest first)
  std::uint64_t next_token_ = 0;
};

}  // namespace dtu::mqtt
