#include "gateway.h"

#include <unistd.h>

#include <mutex>

#include "commands.h"
#include "connection.h"
#include "core.h"
#include "presence.h"
#include "uplinks.h"
#include "vocab.h"

// The gateway puts its parts together and routes to them: the service's
// events, the broker's messages and the connection's news.  Each part has a
// file of its own: core (shared state, publishing, stats), connection (the
// broker link and its thread), uplinks, presence (statuses and handover),
// commands (downlinks and parameters); options.cpp reads the settings.
namespace dtu::mqtt {

using svc::Event;
using svc::EventType;

namespace {

// Readable files: a typo in a TLS path is reported at once, not as a
// connection that keeps failing.
bool readable(const std::string &path) { return path.empty() || access(path.c_str(), R_OK) == 0; }

std::once_flag g_lib_once;

}  // namespace

struct Gateway::Impl : Core {
  Connection connection{*this, {[this] { connected_now(); }, [this](const Incoming &in) { message(in); },
                                [this](const std::vector<std::pair<int, int>> &batch) { uplinks.acked(batch); }}};
  Uplinks uplinks{*this};
  Commands commands{*this};
  Presence presence{*this, commands, [this](const std::string &id, const Held &h) { return status_json(id, h); }};

  ~Impl() {
    if (mosq) mosquitto_destroy(mosq);
  }

  // A terminal's status; a registered one's name and group with it, as
  // the registry holds them when the status is published (loop thread).
  json status_json(const std::string &id, const Held &h) const {
    json j = {{"online", h.online}, {"centre", centre}, {"peer", svc::to_string(h.peer)},
              {"reported", svc::to_string(h.reported)}, {"since", iso_time(h.since_ms)}, {"reason", h.reason}};
    if (const svc::TerminalMeta *m = svc->meta(id)) {
      if (!m->name.empty()) j["name"] = m->name;
      if (!m->group.empty()) j["group"] = m->group;
    }
    return j;
  }

  // The core's event, with the centre that saw it.
  void terminal_event(const Event &e) {
    json j = svc::event_json(e);
    j["centre"] = centre;
    if (connected) publish_json(topic(e.id, "event"), j);
  }

  // ---- the service's events (loop thread) ----
  void sink(const Event &e) {
    uplinks.seen(e);
    switch (e.type) {
      case EventType::kStart: return begin();
      case EventType::kLogon: return presence.logon(e);
      case EventType::kDuplicateLogon:
        presence.duplicate_logon(e.id);
        return terminal_event(e);
      case EventType::kLogout: return presence.set_status(e.id, false, e, "logout");
      case EventType::kIdle: return presence.set_status(e.id, false, e, "idle");
      case EventType::kClosed:
        if (e.reason == "moved") return;  // another centre holds it: its status is the truth
        return presence.set_status(e.id, false, e, "closed");
      case EventType::kData: return uplinks.on_data(e);
      case EventType::kAddrChange:
        presence.addr_change(e);
        return terminal_event(e);
      case EventType::kDataReply:
      case EventType::kInvalidFrame:
      case EventType::kIdReport:
      case EventType::kNotLoggedOn: return terminal_event(e);
      case EventType::kDownlinkSent:
      case EventType::kDownlinkExpired:
      case EventType::kDownlinkDropped:
      case EventType::kDownlinkDelivered:
      case EventType::kDownlinkUnconfirmed: return commands.downlink_event(e);
      case EventType::kStop:
        presence.stopped(e);
        if (connected) publish(state_topic, "offline", 7, 1, true);
        return;
      default: return;
    }
  }

  // The service started: the name is known, the connection begins.
  void begin() {
    if (connection.running()) return;
    if (centre.empty()) {
      char host[256] = {};
      gethostname(host, sizeof host - 1);
      centre = std::string(host) + ":" + std::to_string(svc->port());
    }
    // The name is a topic level: no separators or wildcards in it.
    for (char &c : centre)
      if (c == '/' || c == '+' || c == '#') c = '_';
    state_topic = opt.prefix + "/c/" + centre + "/state";
    if (opt.stats_interval > 0)
      svc->every(opt.stats_interval * 1000, [this](svc::Service &) { publish_stats(uplinks.buffered()); });
    svc->every(500, [this](svc::Service &) { presence.tick(); });
    uplinks.report();
    svc->every(1000, [this](svc::Service &) { uplinks.report(); });
    svc->every(100, [this](svc::Service &) { uplinks.tick(); });
    connection.start(opt.client_id.empty() ? "dtucentre-" + centre : opt.client_id);
  }

  // The broker took us (again): state, subscriptions, every status we hold.
  void connected_now() {
    publish(state_topic, "online", 6, 1, true);
    // The centres' states first: their retained ones arrive before the
    // retained statuses that name them.
    const std::string subs[] = {opt.prefix + "/c/+/state", opt.prefix + "/c/" + centre + "/taken",
                                opt.prefix + "/t/+/status", opt.prefix + "/t/+/down",
                                opt.prefix + "/t/+/params/get", opt.prefix + "/t/+/params/set"};
    for (const std::string &s : subs) mosquitto_subscribe_v5(mosq, nullptr, s.c_str(), 1, 0, nullptr);
    presence.republish();
    uplinks.flush();
    publish_stats(uplinks.buffered());
  }

  // ---- statuses and commands from the broker (loop thread) ----
  void message(const Incoming &in) {
    const Topic topic_info = parse_topic(opt.prefix, in.topic);
    switch (topic_info.kind) {
      case TopicKind::kOther: return;
      case TopicKind::kCentreState: return presence.centre_state(topic_info.id_level, in.payload);
      case TopicKind::kTaken: return presence.taken(topic_info.id_level, in.payload);
      default: break;
    }
    std::string id;
    const bool id_ok = id_from_text(topic_info.id_level, &id);
    if (topic_info.kind == TopicKind::kStatus) {
      if (id_ok) presence.status_seen(id, in.payload, in.retained);
      return;
    }
    if (id_ok && !presence.owns(id)) return;
    if (!id_ok && !opt.claim_unknown) return;
    commands.command(topic_info.kind, topic_info.id_level, id_ok ? id : std::string(), in);
    if (topic_info.kind == TopicKind::kDown) presence.confirm_taken(in);
  }
};

Gateway::Gateway() : impl_(new Impl) {}

Gateway::~Gateway() { close(); }

bool Gateway::attach(svc::Service &service, const Options &options, std::string *error) {
  Impl &m = *impl_;
  auto fail = [&](const std::string &text) {
    if (error) *error = text;
    return false;
  };
  if (m.svc != nullptr) return fail("MQTT: the gateway is attached already");
  if (options.prefix.empty() || options.prefix.find_first_of("+#") != std::string::npos)
    return fail("MQTT: the topic prefix must be non-empty, without + or #");
  if (options.centre.find_first_of("/+#") != std::string::npos)
    return fail("MQTT: the centre name must not hold / + or #");
  if (options.tls_cert.empty() != options.tls_key.empty())
    return fail("MQTT TLS: a client certificate needs its key and a key its certificate");
  if (!options.tls_cert.empty() && options.tls_ca.empty())
    return fail("MQTT TLS: a client certificate needs the CA file too");
  for (const std::string *f : {&options.tls_ca, &options.tls_cert, &options.tls_key})
    if (!readable(*f)) return fail("MQTT TLS: cannot read " + *f);
  if (options.ack_after_broker && service.config().ack)
    return fail("MQTT: acknowledging after the broker needs the service's own acknowledgement off");
  std::call_once(g_lib_once, [] { mosquitto_lib_init(); });
  m.opt = options;
  m.centre = options.centre;
  m.mosq = mosquitto_new(nullptr, true, &m.connection);
  if (m.mosq == nullptr) return fail("MQTT: cannot create a client");
  std::string why;
  if (!m.connection.configure(&why)) return fail(why);
  m.svc = &service;
  service.subscribe([&m](const Event &e) { m.sink(e); });
  return true;
}

Gateway::Loss Gateway::close(unsigned wait_ms) {
  Impl &m = *impl_;
  Loss loss;
  if (!m.connection.running()) return loss;
  const Uplinks::Dropped d = m.uplinks.drop(m.connection.stop(wait_ms));
  loss.buffered = d.buffered;
  loss.uplinks = d.buffered + d.unconfirmed;
  loss.kept = d.kept;
  loss.acknowledged = !m.opt.ack_after_broker;
  if (loss.uplinks == 0) return loss;
  const std::string acks = loss.acknowledged ? "the terminals had their DataAcks for them: they are lost"
                                             : "the terminals had no DataAck for them and send them again";
  if (m.svc->journal() != nullptr)
    loss.text = "MQTT: the stop dropped " + std::to_string(loss.uplinks) +
                " uplinks the journal had refused (full or failing); " + acks;
  else
    loss.text = "MQTT: the stop dropped " + std::to_string(loss.uplinks) + " uplinks not published (" +
                std::to_string(d.buffered) + " buffered while the broker was away, " +
                std::to_string(d.unconfirmed) + " not confirmed by it); " + acks;
  return loss;
}

bool Gateway::connected() const { return impl_->connection.up(); }

}  // namespace dtu::mqtt
