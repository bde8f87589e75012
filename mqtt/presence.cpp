#include "presence.h"

#include <mqtt_protocol.h>

#include <cstdlib>

#include "connection.h"
#include "json_input.h"

namespace dtu::mqtt {

namespace {

// A status whose `since` lies further ahead of this centre's clock than
// this is not believed (the centres' clocks are meant to agree).
constexpr std::int64_t kClockSlackMs = 5000;

// Centres remembered by name (anyone may publish a state: the table stays
// bounded; a group is a handful).
constexpr std::size_t kMaxCentres = 4096;

}  // namespace

void Presence::publish_status(const std::string &id) {
  auto it = held_.find(id);
  if (it != held_.end() && core_.connected)
    core_.publish_json(core_.topic(id, "status"), status_json_(id, it->second), true);
}

void Presence::set_status(const std::string &id, bool online, const svc::Event &e, const char *reason) {
  Held &h = held_[id];
  h.online = online;
  if (e.peer.addr != 0) h.peer = e.peer;
  if (e.type == svc::EventType::kLogon) h.reported = e.reported;
  h.since_ms = e.time_ms;
  h.reason = reason;
  publish_status(id);
}

void Presence::logon(const svc::Event &e) {
  if (e.slot < 0) return;  // table full: not on line
  const bool took = takeover_.erase(e.id) > 0;
  set_status(e.id, true, e, took ? "takeover" : "logon");
}

void Presence::addr_change(const svc::Event &e) {
  auto it = held_.find(e.id);
  if (it == held_.end()) return;
  it->second.peer = e.peer;
  publish_status(e.id);
}

void Presence::stopped(const svc::Event &e) {
  for (auto &[id, h] : held_)
    if (h.online) {
      h.online = false;
      h.since_ms = e.time_ms;
      h.reason = "centre-stopped";
      publish_status(id);
    }
  // What was handed to a centre that is gone ends here; what a live
  // centre may still take is left to it.
  for (auto &[token, h] : handed_) {
    auto c = centres_.find(h.to);
    if (c == centres_.end() || !c->second) commands_.result(h.ctx.level, svc::DownlinkState::kDropped, "centre-stopped", &h.ctx);
  }
  handed_.clear();
}

void Presence::republish() {
  for (auto &kv : held_) publish_status(kv.first);
}

// Whether commands for `id` are this centre's: the latest status seen
// through the broker names it (every centre sees statuses in the same
// order); an ID no centre has reported yet is taken by the centres set
// to claim such IDs.
bool Presence::owns(const std::string &id) const {
  auto it = owners_.find(id);
  if (it == owners_.end()) return core_.opt.claim_unknown;
  return it->second.centre == core_.centre;
}

void Presence::status_seen(const std::string &id, const std::string &payload, bool retained) {
  if (payload.empty()) {
    owners_.erase(id);
    return;
  }
  json j;
  if (!svc::parse_json_input(payload, &j) || !j.is_object() || !j.contains("centre") || !j["centre"].is_string())
    return;
  Owner o;
  o.centre = j["centre"].get<std::string>();
  o.online = j.contains("online") && j["online"].is_boolean() && j["online"].get<bool>();
  o.since_ms = j.contains("since") && j["since"].is_string() ? parse_iso_time(j["since"].get<std::string>()) : 0;
  const svc::Terminal *t = core_.svc->find(id);
  if (o.centre != core_.centre && !believed(o)) {
    // Not a centre that is on line, or a time still to come: anyone may
    // publish a status, so this one moves nothing.  The one this centre
    // holds is put back.
    if (t != nullptr && t->online) publish_status(id);
    return;
  }
  owners_[id] = o;
  if (o.centre == core_.centre) {
    // Left by an earlier life of this centre: not on line here now.
    if (retained && o.online && (t == nullptr || !t->online)) {
      Held &h = held_[id];
      h.online = false;
      h.since_ms = now_ms();
      h.reason = "centre-stopped";
      publish_status(id);
    }
    return;
  }
  if (t == nullptr) return;
  if (t->online && !o.online) {
    publish_status(id);  // an older centre's last word: this centre holds it
    return;
  }
  if (o.online && (!t->online || o.since_ms >= t->logon_time_ms)) hand_over(id, o.centre);
}

// A status from another centre is taken as true when that centre's own
// state says it is on line and its time is not ahead of ours.
bool Presence::believed(const Owner &o) const {
  auto it = centres_.find(o.centre);
  return it != centres_.end() && it->second && o.since_ms <= now_ms() + kClockSlackMs;
}

// Another centre's state (online / offline, or cleared).  A centre gone
// off line takes nothing any more: what was handed to it and not taken
// comes back, and the terminals it reported count as unknown again.
void Presence::centre_state(const std::string &name, const std::string &payload) {
  const bool online = payload == "online";
  if (payload.empty()) centres_.erase(name);
  else if (centres_.size() < kMaxCentres || centres_.count(name)) centres_[name] = online;
  if (online || name == core_.centre) return;
  for (auto it = owners_.begin(); it != owners_.end();)
    it = it->second.centre == name ? owners_.erase(it) : std::next(it);
  take_back([&](const HandedOver &h) { return h.to == name; });
}

void Presence::taken(const std::string &name, const std::string &payload) {
  if (name != core_.centre) return;
  char *end = nullptr;
  const std::uint64_t token = std::strtoull(payload.c_str(), &end, 10);
  if (!payload.empty() && end && *end == '\0') handed_.erase(token);
}

// The centre that handed a downlink here hears that it is ours now (its
// result comes from here).
void Presence::confirm_taken(const Incoming &in) {
  if (!in.handover_token.empty() && !in.handed_by.empty() && in.handed_by.size() <= 256 &&
      in.handed_by.find_first_of("/+#") == std::string::npos)
    core_.publish(core_.opt.prefix + "/c/" + in.handed_by + "/taken", in.handover_token.data(),
                  in.handover_token.size(), 1, false);
}

void Presence::tick() {
  const std::int64_t now = now_ms();
  take_back([now](const HandedOver &h) { return now >= h.deadline_ms; });
}

// The terminal went to another centre: its queued downlinks follow it.
// Each is kept here until that centre says it took it; one not taken
// within the handover timeout, or when that centre goes off line, comes
// back (take_back).
void Presence::hand_over(const std::string &id, const std::string &to) {
  held_.erase(id);
  takeover_.erase(id);
  const std::int64_t now = now_ms();
  for (svc::Service::HandedDownlink &d : core_.svc->hand_over(id)) {
    HandedOver h{id, to, DownContext{id_text(id), "", false}, std::move(d.bytes), now + 1000ll * d.expiry_s,
                 now + 1000ll * core_.opt.handover_timeout};
    mosquitto_property *props = nullptr;
    if (commands_.release(d.handle, &h.ctx) && h.ctx.has_corr)
      mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, h.ctx.corr.data(),
                                    static_cast<std::uint16_t>(h.ctx.corr.size()));
    const std::uint64_t token = ++next_token_;
    mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, d.expiry_s);
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "handed-over-by", core_.centre.c_str());
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "handover", std::to_string(token).c_str());
    const bool went = core_.publish(core_.topic(id, "down"), h.bytes.data(), h.bytes.size(), 1, false, props) >= 0;
    ++core_.stats.handed_over;
    if (!went) h.deadline_ms = now;  // back at the next check
    handed_.emplace(token, std::move(h));
  }
}

// Handed-over downlinks that `back` picks return to this centre's queue
// with the time they had left, or end here (expired) with their result.
void Presence::take_back(const std::function<bool(const HandedOver &)> &back) {
  const std::int64_t now = now_ms();
  for (auto it = handed_.begin(); it != handed_.end();) {
    if (!back(it->second)) {
      ++it;
      continue;
    }
    const HandedOver h = std::move(it->second);
    it = handed_.erase(it);
    if (now >= h.expires_ms) {
      commands_.result(h.ctx.level, svc::DownlinkState::kExpired, "", &h.ctx);
      continue;
    }
    commands_.resend(h.id, h.ctx, h.bytes, static_cast<unsigned>((h.expires_ms - now + 999) / 1000));
  }
}

}  // namespace dtu::mqtt
