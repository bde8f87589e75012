#include "gateway.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>
#include <unordered_map>

#include "counters_json.h"
#include "topics.h"

namespace dtu::mqtt {

using json = nlohmann::json;
using svc::Event;
using svc::EventType;

namespace {

constexpr unsigned kBackoffFirstMs = 250;
constexpr unsigned kBackoffMaxMs = 5000;

std::string dump(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Readable files: a typo in a TLS path is reported at once, not as a
// connection that keeps failing.
bool readable(const std::string &path) { return path.empty() || access(path.c_str(), R_OK) == 0; }

struct Uplink {
  std::string id;
  svc::Endpoint peer;
};

// What the gateway knows of a terminal this centre holds.
struct Held {
  bool online = false;
  svc::Endpoint peer, reported;
  std::int64_t since_ms = 0;
  std::string reason;
};

// The latest status of a terminal seen through the broker, any centre's.
struct Owner {
  std::string centre;
  bool online = false;
  std::int64_t since_ms = 0;
};

// A queued downlink's correlation data, for its later result.
struct DownContext {
  std::string level;  // the ID's topic level
  std::string corr;   // raw correlation data; empty: none
  bool has_corr = false;
};

// A buffered uplink (immediate mode, broker away).
struct Buffered {
  std::string id;
  svc::Endpoint peer;
  std::int64_t time_ms;
  std::vector<std::uint8_t> data;
};

std::once_flag g_lib_once;

}  // namespace

bool parse_address(const std::string &text, std::string *host, std::uint16_t *port, std::string *error) {
  const std::size_t colon = text.rfind(':');
  unsigned long p = 0;
  bool ok = colon != std::string::npos && colon > 0 && colon + 1 < text.size() && colon + 6 >= text.size();
  for (std::size_t i = colon + 1; ok && i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') ok = false;
    else p = p * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  if (!ok || p == 0 || p > 65535) {
    if (error) *error = "'" + text + "' is not HOST:PORT (port 1 to 65535)";
    return false;
  }
  *host = text.substr(0, colon);
  *port = static_cast<std::uint16_t>(p);
  return true;
}

bool set_option(Options *o, const std::string &key, const std::string &value, const std::string &name,
                std::string *error) {
  auto number = [&](unsigned long max, unsigned long *out) {
    char *end = nullptr;
    errno = 0;
    const unsigned long v = value.empty() || value[0] < '0' || value[0] > '9' ? 0 : std::strtoul(value.c_str(), &end, 10);
    if (end == nullptr || *end != '\0' || errno != 0 || v > max) {
      if (error) *error = name + ": expected a whole number from 0 to " + std::to_string(max) + ", got \"" + value + "\"";
      return false;
    }
    *out = v;
    return true;
  };
  unsigned long n = 0;
  if (key == "mqtt") {
    std::string why;
    if (parse_address(value, &o->host, &o->port, &why)) return true;
    if (error) *error = name + ": " + why;
    return false;
  }
  if (key == "mqtt_prefix") o->prefix = value;
  else if (key == "mqtt_centre") o->centre = value;
  else if (key == "mqtt_client_id") o->client_id = value;
  else if (key == "mqtt_username") o->username = value;
  else if (key == "mqtt_password") o->password = value;
  else if (key == "mqtt_tls_ca") o->tls_ca = value;
  else if (key == "mqtt_tls_cert") o->tls_cert = value;
  else if (key == "mqtt_tls_key") o->tls_key = value;
  else if (key == "mqtt_keepalive") {
    if (!number(65535, &n)) return false;
    o->keepalive = static_cast<unsigned>(n);
  } else if (key == "mqtt_buffer") {
    if (!number(10000000, &n)) return false;
    o->buffer = n;
  } else if (key == "mqtt_stats_interval") {
    if (!number(86400, &n)) return false;
    o->stats_interval = static_cast<unsigned>(n);
  } else if (key == "mqtt_ack") {
    if (value != "broker" && value != "immediate") {
      if (error) *error = name + ": expected broker or immediate, got \"" + value + "\"";
      return false;
    }
    o->ack_after_broker = value == "broker";
  } else if (key == "mqtt_claim_unknown") {
    if (value != "true" && value != "false") {
      if (error) *error = name + ": expected true or false, got \"" + value + "\"";
      return false;
    }
    o->claim_unknown = value == "true";
  } else {
    if (error) *error = name + ": not an MQTT setting";
    return false;
  }
  return true;
}

void adjust(svc::Config *config, const Options &options) {
  if (options.ack_after_broker) config->ack = false;
}

struct Gateway::Impl {
  svc::Service *svc = nullptr;
  Options opt;
  mosquitto *mosq = nullptr;

  // ---- the connection thread ----
  std::thread thread;
  std::mutex wait_mutex;
  std::condition_variable wake;
  std::atomic<bool> quit{false};
  std::atomic<bool> up{false};          // CONNACK accepted, not lost since
  std::atomic<bool> v5{true};
  std::atomic<bool> fall_back{false};   // the broker refused MQTT 5
  std::atomic<unsigned> failures{0};
  std::atomic<int> inflight{0};         // QoS 1 publishes not yet acknowledged
  std::mutex acks_mutex;
  std::vector<std::pair<int, int>> acks;  // (mid, reason) not yet taken by the loop

  // ---- loop thread ----
  bool connected = false;  // as the loop has heard it
  std::string centre, state_topic;
  std::unordered_map<int, Uplink> pending;  // mid -> uplink to acknowledge
  std::unordered_map<std::string, Held> held;
  std::unordered_map<std::string, Owner> owners;
  std::unordered_map<std::uint64_t, DownContext> downs;
  std::unordered_map<std::string, bool> takeover;  // a duplicate logon precedes the logon event
  std::deque<Buffered> buffer;
  bool in_send = false;
  struct {
    std::uint64_t published = 0, acked = 0, unsent = 0, buffered_dropped = 0, commands = 0, refused = 0,
                  handed_over = 0, reconnects = 0;
  } stats;

  ~Impl() {
    if (mosq) mosquitto_destroy(mosq);
  }

  std::string topic(const std::string &id, const char *leaf) const {
    return opt.prefix + "/t/" + id_text(id) + "/" + leaf;
  }
  std::string topic_level(const std::string &level, const char *leaf) const {
    return opt.prefix + "/t/" + level + "/" + leaf;
  }

  // ---- publishing (loop thread) ----
  // mid, or -1 when it did not go.
  int publish(const std::string &t, const void *payload, std::size_t n, int qos, bool retain,
              mosquitto_property *props = nullptr) {
    int mid = 0;
    const int rc = mosquitto_publish_v5(mosq, &mid, t.c_str(), static_cast<int>(n), payload, qos, retain,
                                        v5.load() ? props : nullptr);
    mosquitto_property_free_all(&props);
    // A QoS 1 message refused for want of a connection stays in the
    // client's queue and goes out after the reconnect.
    if (rc != MOSQ_ERR_SUCCESS && !(rc == MOSQ_ERR_NO_CONN && qos > 0 && mid != 0)) return -1;
    if (qos > 0) inflight.fetch_add(1);
    return mid;
  }
  int publish_json(const std::string &t, const json &j, bool retain = false, int qos = 1) {
    const std::string s = dump(j);
    return publish(t, s.data(), s.size(), qos, retain);
  }

  json status_json(const Held &h) const {
    json j = {{"online", h.online}, {"centre", centre}, {"peer", svc::to_string(h.peer)},
              {"reported", svc::to_string(h.reported)}, {"since", iso_time(h.since_ms)}, {"reason", h.reason}};
    return j;
  }
  void publish_status(const std::string &id) {
    auto it = held.find(id);
    if (it != held.end() && connected) publish_json(topic(id, "status"), status_json(it->second), true);
  }
  void set_status(const std::string &id, bool online, const Event &e, const char *reason) {
    Held &h = held[id];
    h.online = online;
    if (e.peer.addr != 0) h.peer = e.peer;
    if (e.type == EventType::kLogon) h.reported = e.reported;
    h.since_ms = e.time_ms;
    h.reason = reason;
    publish_status(id);
  }

  void uplink(const std::string &id, const svc::Endpoint &peer, std::int64_t time_ms, const std::uint8_t *data,
              std::size_t n, bool track) {
    mosquitto_property *props = nullptr;
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "centre", centre.c_str());
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "peer", svc::to_string(peer).c_str());
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "time", iso_time(time_ms).c_str());
    const int mid = publish(topic(id, "up"), data, n, 1, false, props);
    if (mid < 0) {
      ++stats.unsent;
      return;
    }
    ++stats.published;
    if (track) pending[mid] = Uplink{id, peer};
  }

  // Uplinks go out in the order they came, so that the DataAcks do too (a
  // terminal matches an acknowledgement to its oldest frame waiting): while
  // the broker is away they wait in a bounded buffer, and in the default
  // mode their DataAcks wait with them.
  void on_data(const Event &e) {
    if (connected && buffer.empty())
      return uplink(e.id, e.peer, e.time_ms, e.data.data(), e.data.size(), opt.ack_after_broker);
    if (buffer.size() >= opt.buffer) {
      buffer.pop_front();
      ++stats.buffered_dropped;
    }
    buffer.push_back(Buffered{e.id, e.peer, e.time_ms, e.data});
  }

  void flush_buffer() {
    while (connected && !buffer.empty()) {
      const Buffered &b = buffer.front();
      uplink(b.id, b.peer, b.time_ms, b.data.data(), b.data.size(), opt.ack_after_broker);
      buffer.pop_front();
    }
  }

  void terminal_event(const Event &e) {
    json j = {{"event", svc::event_name(e.type)}, {"time", iso_time(e.time_ms)}, {"centre", centre}};
    if (e.peer.addr != 0) j["peer"] = svc::to_string(e.peer);
    if (e.old_peer.addr != 0) j["old_peer"] = svc::to_string(e.old_peer);
    if (e.type == EventType::kInvalidFrame) {
      j["length"] = e.length;
      j["data"] = svc::hex_bytes(e.data.data(), e.data.size());
    }
    if (connected) publish_json(topic(e.id, "event"), j);
  }

  void down_result(const std::string &level, const char *state, const std::string &reason, const DownContext *ctx) {
    json j = {{"state", state}};
    if (!reason.empty()) j["reason"] = reason;
    if (ctx && ctx->has_corr) j["corr"] = text_or_hex(ctx->corr);
    if (connected) publish_json(topic_level(level, "down/result"), j);
  }

  void downlink_event(const Event &e) {
    if (in_send) return;  // the result follows from send()'s own answer
    auto it = downs.find(e.request);
    if (it == downs.end()) return;
    const char *state = e.type == EventType::kDownlinkSent      ? "sent"
                        : e.type == EventType::kDownlinkExpired ? "expired"
                                                                : "dropped";
    down_result(it->second.level, state, e.type == EventType::kDownlinkSent ? "" : e.reason, &it->second);
    downs.erase(it);
  }

  void publish_stats() {
    if (!connected) return;
    const svc::Counters &c = svc->counters();
    json j = svc::counters_json(c);
    j["time"] = iso_time(now_ms());
    j["mqtt"] = {{"published", stats.published},
                 {"acked", stats.acked},
                 {"unsent", stats.unsent},
                 {"buffered", buffer.size()},
                 {"buffer_dropped", stats.buffered_dropped},
                 {"commands", stats.commands},
                 {"refused", stats.refused},
                 {"handed_over", stats.handed_over},
                 {"reconnects", stats.reconnects}};
    publish_json(opt.prefix + "/c/" + centre + "/stats", j, true, 0);
  }

  // ---- the service's events (loop thread) ----
  void sink(const Event &e) {
    switch (e.type) {
      case EventType::kStart: return begin();
      case EventType::kLogon: {
        if (e.slot < 0) return;  // table full: not on line
        const bool took = takeover.erase(e.id) > 0;
        return set_status(e.id, true, e, took ? "takeover" : "logon");
      }
      case EventType::kDuplicateLogon:
        takeover[e.id] = true;
        return terminal_event(e);
      case EventType::kLogout: return set_status(e.id, false, e, "logout");
      case EventType::kIdle: return set_status(e.id, false, e, "idle");
      case EventType::kClosed:
        if (e.reason == "moved") return;  // another centre holds it: its status is the truth
        return set_status(e.id, false, e, "closed");
      case EventType::kData: return on_data(e);
      case EventType::kAddrChange: {
        auto it = held.find(e.id);
        if (it != held.end()) {
          it->second.peer = e.peer;
          publish_status(e.id);
        }
        return terminal_event(e);
      }
      case EventType::kDataReply:
      case EventType::kInvalidFrame:
      case EventType::kIdReport:
      case EventType::kNotLoggedOn: return terminal_event(e);
      case EventType::kDownlinkSent:
      case EventType::kDownlinkExpired:
      case EventType::kDownlinkDropped: return downlink_event(e);
      case EventType::kStop: {
        for (auto &[id, h] : held)
          if (h.online) {
            h.online = false;
            h.since_ms = e.time_ms;
            h.reason = "centre-stopped";
            publish_status(id);
          }
        if (connected) publish(state_topic, "offline", 7, 1, true);
        return;
      }
      default: return;
    }
  }

  // The service started: the name is known, the connection begins.
  void begin() {
    if (thread.joinable()) return;
    if (centre.empty()) {
      char host[256] = {};
      gethostname(host, sizeof host - 1);
      centre = std::string(host) + ":" + std::to_string(svc->port());
    }
    // The name is a topic level: no separators or wildcards in it.
    for (char &c : centre)
      if (c == '/' || c == '+' || c == '#') c = '_';
    state_topic = opt.prefix + "/c/" + centre + "/state";
    const std::string client_id = opt.client_id.empty() ? "dtucentre-" + centre : opt.client_id;
    mosquitto_reinitialise(mosq, client_id.c_str(), true, this);
    configure();
    mosquitto_will_set_v5(mosq, state_topic.c_str(), 7, "offline", 1, true, nullptr);
    if (opt.stats_interval > 0) svc->every(opt.stats_interval * 1000, [this](svc::Service &) { publish_stats(); });
    thread = std::thread([this] {
      pthread_setname_np(pthread_self(), "dtumqtt");
      run_connection();
    });
  }

  bool configure(std::string *error = nullptr) {
    auto fail = [&](const std::string &text) {
      if (error) *error = text;
      return false;
    };
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, v5.load() ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_threaded_set(mosq, true);
    // The broker's receive maximum governs how many are in flight.
    mosquitto_max_inflight_messages_set(mosq, 0);
    if (!opt.username.empty() &&
        mosquitto_username_pw_set(mosq, opt.username.c_str(), opt.password.empty() ? nullptr : opt.password.c_str()) !=
            MOSQ_ERR_SUCCESS)
      return fail("MQTT: the username or password cannot be used");
    if (!opt.tls_ca.empty()) {
      const int rc = mosquitto_tls_set(mosq, opt.tls_ca.c_str(), nullptr,
                                       opt.tls_cert.empty() ? nullptr : opt.tls_cert.c_str(),
                                       opt.tls_key.empty() ? nullptr : opt.tls_key.c_str(), nullptr);
      if (rc != MOSQ_ERR_SUCCESS) return fail(std::string("MQTT TLS: ") + mosquitto_strerror(rc));
    }
    mosquitto_connect_v5_callback_set(mosq, &Impl::on_connect);
    mosquitto_disconnect_v5_callback_set(mosq, &Impl::on_disconnect);
    mosquitto_publish_v5_callback_set(mosq, &Impl::on_publish);
    mosquitto_message_v5_callback_set(mosq, &Impl::on_message);
    return true;
  }

  // The broker took us (again): state, subscriptions, every status we hold.
  void connected_now() {
    connected = true;
    publish(state_topic, "online", 6, 1, true);
    const std::string subs[] = {opt.prefix + "/t/+/status", opt.prefix + "/t/+/down",
                                opt.prefix + "/t/+/params/get", opt.prefix + "/t/+/params/set"};
    for (const std::string &s : subs) mosquitto_subscribe_v5(mosq, nullptr, s.c_str(), 1, 0, nullptr);
    for (auto &kv : held) publish_status(kv.first);
    flush_buffer();
    publish_stats();
  }

  // ---- the connection thread ----
  void run_connection() {
    std::mt19937 rng(std::random_device{}());
    bool first = true, need_connect = true;
    while (!quit.load()) {
      if (need_connect) {
        if (fall_back.exchange(false)) {
          v5.store(false);
          mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        }
        const int rc = first ? mosquitto_connect_bind_v5(mosq, opt.host.c_str(), opt.port,
                                                         static_cast<int>(opt.keepalive), nullptr, nullptr)
                             : mosquitto_reconnect(mosq);
        first = false;
        if (rc != MOSQ_ERR_SUCCESS) {
          backoff(rng);
          continue;
        }
        need_connect = false;
      }
      const int rc = mosquitto_loop(mosq, 200, 1);
      if (quit.load()) break;
      if (rc != MOSQ_ERR_SUCCESS) {
        need_connect = true;
        backoff(rng);
      }
    }
  }

  void backoff(std::mt19937 &rng) {
    const unsigned n = failures.fetch_add(1);
    const unsigned ceiling = std::min<unsigned>(kBackoffMaxMs, kBackoffFirstMs << std::min(n, 5u));
    std::uniform_int_distribution<unsigned> jitter(ceiling / 2, ceiling);
    std::unique_lock<std::mutex> lock(wait_mutex);
    wake.wait_for(lock, std::chrono::milliseconds(jitter(rng)), [this] { return quit.load(); });
  }

  // ---- libmosquitto callbacks (connection thread): hand over to the loop ----
  static void on_connect(mosquitto *, void *obj, int rc, int, const mosquitto_property *) {
    auto *self = static_cast<Impl *>(obj);
    if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || (rc == CONNACK_REFUSED_PROTOCOL_VERSION && self->v5.load())) {
      self->fall_back.store(true);
      return;
    }
    if (rc != 0) return;
    self->failures.store(0);
    self->up.store(true);
    self->svc->post([self](svc::Service &) { self->connected_now(); });
  }

  static void on_disconnect(mosquitto *, void *obj, int, const mosquitto_property *) {
    auto *self = static_cast<Impl *>(obj);
    if (!self->up.exchange(false)) return;
    self->svc->post([self](svc::Service &) {
      self->connected = false;
      ++self->stats.reconnects;
    });
  }

  // PUBACKs are collected and handed to the loop in batches: one post while
  // the loop has not taken the last one yet.
  static void on_publish(mosquitto *, void *obj, int mid, int reason, const mosquitto_property *) {
    auto *self = static_cast<Impl *>(obj);
    self->inflight.fetch_sub(1);
    bool first;
    {
      std::lock_guard<std::mutex> g(self->acks_mutex);
      first = self->acks.empty();
      self->acks.emplace_back(mid, reason);
    }
    if (first) self->svc->post([self](svc::Service &s) { self->take_acks(s); });
  }

  void take_acks(svc::Service &s) {
    std::vector<std::pair<int, int>> batch;
    {
      std::lock_guard<std::mutex> g(acks_mutex);
      batch.swap(acks);
    }
    for (const auto &[mid, reason] : batch) {
      auto it = pending.find(mid);
      if (it == pending.end()) continue;
      // A broker that refused the message (reason 0x80 and up) gets no
      // acknowledgement passed on: the terminal sends it again.
      if (reason < 0x80 && s.ack_data(it->second.id, it->second.peer)) ++stats.acked;
      pending.erase(it);
    }
  }

  static void on_message(mosquitto *, void *obj, const mosquitto_message *msg, const mosquitto_property *props) {
    auto *self = static_cast<Impl *>(obj);
    std::string t = msg->topic ? msg->topic : "";
    std::string payload(static_cast<const char *>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
    std::string corr;
    bool has_corr = false;
    std::uint32_t expiry = 0;
    void *value = nullptr;
    std::uint16_t len = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &value, &len, false)) {
      corr.assign(static_cast<const char *>(value), len);
      has_corr = true;
      free(value);
    }
    mosquitto_property_read_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false);
    const bool retained = msg->retain;
    self->svc->post([self, t = std::move(t), payload = std::move(payload), corr = std::move(corr), has_corr, expiry,
                     retained](svc::Service &) { self->message(t, payload, corr, has_corr, expiry, retained); });
  }

  // ---- commands and statuses from the broker (loop thread) ----
  void message(const std::string &t, const std::string &payload, const std::string &corr, bool has_corr,
               std::uint32_t expiry, bool retained) {
    const Topic topic_info = parse_topic(opt.prefix, t);
    if (topic_info.kind == TopicKind::kOther) return;
    std::string id;
    const bool id_ok = id_from_text(topic_info.id_level, &id);
    if (topic_info.kind == TopicKind::kStatus) {
      if (id_ok) status_seen(id, payload, retained);
      return;
    }
    if (id_ok && !owns(id)) return;
    if (!id_ok && !opt.claim_unknown) return;
    ++stats.commands;
    DownContext ctx{topic_info.id_level, corr, has_corr};
    switch (topic_info.kind) {
      case TopicKind::kDown: return down(id_ok ? id : std::string(), ctx, payload, expiry);
      case TopicKind::kParamsGet: return params_get(id_ok ? id : std::string(), topic_info.id_level, payload);
      case TopicKind::kParamsSet: return params_set(id_ok ? id : std::string(), topic_info.id_level, payload);
      default: return;
    }
  }

  // Whether commands for `id` are this centre's: the latest status seen
  // through the broker names it (every centre sees statuses in the same
  // order); an ID no centre has reported yet is taken by the centres set
  // to claim such IDs.
  bool owns(const std::string &id) const {
    auto it = owners.find(id);
    if (it == owners.end()) return opt.claim_unknown;
    return it->second.centre == centre;
  }

  void status_seen(const std::string &id, const std::string &payload, bool retained) {
    if (payload.empty()) {
      owners.erase(id);
      return;
    }
    const json j = json::parse(payload, nullptr, false);
    if (!j.is_object() || !j.contains("centre") || !j["centre"].is_string()) return;
    Owner o;
    o.centre = j["centre"].get<std::string>();
    o.online = j.contains("online") && j["online"].is_boolean() && j["online"].get<bool>();
    o.since_ms = j.contains("since") && j["since"].is_string() ? parse_iso_time(j["since"].get<std::string>()) : 0;
    owners[id] = o;
    const svc::Terminal *t = svc->find(id);
    if (o.centre == centre) {
      // Left by an earlier life of this centre: not on line here now.
      if (retained && o.online && (t == nullptr || !t->online)) {
        Held &h = held[id];
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
    if (o.online && (!t->online || o.since_ms >= t->logon_time_ms)) hand_over(id);
  }

  // The terminal went to another centre: its queued downlinks follow it.
  void hand_over(const std::string &id) {
    held.erase(id);
    takeover.erase(id);
    for (svc::Service::HandedDownlink &d : svc->hand_over(id)) {
      mosquitto_property *props = nullptr;
      auto ctx = downs.find(d.handle);
      if (ctx != downs.end()) {
        if (ctx->second.has_corr)
          mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, ctx->second.corr.data(),
                                        static_cast<std::uint16_t>(ctx->second.corr.size()));
        downs.erase(ctx);
      }
      mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, d.expiry_s);
      mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "handed-over-by", centre.c_str());
      publish(topic(id, "down"), d.bytes.data(), d.bytes.size(), 1, false, props);
      ++stats.handed_over;
    }
  }

  void down(const std::string &id, const DownContext &ctx, const std::string &payload, std::uint32_t expiry) {
    if (id.empty()) {
      ++stats.refused;
      return down_result(ctx.level, "rejected", "bad-id", &ctx);
    }
    in_send = true;
    const svc::SendResult r = svc->send(id, payload.data(), payload.size(), expiry);
    in_send = false;
    switch (r.status) {
      case svc::SendStatus::kSent: return down_result(ctx.level, "sent", "", &ctx);
      case svc::SendStatus::kQueued:
        downs[r.handle] = ctx;
        return down_result(ctx.level, "queued", "", &ctx);
      case svc::SendStatus::kDropped: return down_result(ctx.level, "dropped", r.reason, &ctx);
      case svc::SendStatus::kRejected:
        ++stats.refused;
        return down_result(ctx.level, "rejected", r.reason, &ctx);
    }
  }

  static json param_json(const svc::ParamValue &v) {
    if (v.form == svc::ParamForm::kText || v.form == svc::ParamForm::kComposite) return utf8_text(v.text);
    return v.number;
  }

  // The request's JSON ("req" echoed back); an empty payload is {}.
  static bool request_json(const std::string &payload, json *out, json *reply) {
    if (payload.empty()) {
      *out = json::object();
      return true;
    }
    *out = json::parse(payload, nullptr, false);
    if (out->is_discarded() || !out->is_object()) {
      (*reply)["error"] = "bad-json";
      return false;
    }
    if (out->contains("req")) (*reply)["req"] = (*out)["req"];
    return true;
  }

  void params_get(const std::string &id, const std::string &level, const std::string &payload) {
    json req, reply = json::object();
    const std::string reply_topic = topic_level(level, "params/get/reply");
    if (!request_json(payload, &req, &reply) || id.empty()) {
      ++stats.refused;
      if (id.empty()) reply["error"] = "bad-id";
      return (void)publish_json(reply_topic, reply);
    }
    svc->read_params(id, [this, reply, reply_topic](const svc::ParamResult &r) mutable {
      if (r.ok) {
        json params = json::object();
        for (const svc::ParamValue &v : r.values) params[std::to_string(v.tag)] = param_json(v);
        reply["params"] = params;
      } else {
        reply["error"] = r.error;
      }
      if (connected) publish_json(reply_topic, reply);
    });
  }

  void params_set(const std::string &id, const std::string &level, const std::string &payload) {
    json req, reply = json::object();
    const std::string reply_topic = topic_level(level, "params/set/reply");
    auto refuse = [&](const std::string &why) {
      ++stats.refused;
      reply["error"] = why;
      publish_json(reply_topic, reply);
    };
    if (!request_json(payload, &req, &reply)) return refuse("bad-json");
    if (id.empty()) return refuse("bad-id");
    if (!req.contains("params") || !req["params"].is_object() || req["params"].empty())
      return refuse("no params: give {\"params\":{\"TAG\":value,...}}");
    std::vector<svc::ParamValue> values;
    for (auto &[key, value] : req["params"].items()) {
      int tag = 0;
      std::string why;
      if (!svc::parse_tag(key, &tag, &why)) return refuse("tag " + utf8_text(key) + ": " + why);
      std::string text;
      if (value.is_number_unsigned()) text = std::to_string(value.get<std::uint64_t>());
      else if (value.is_string()) text = value.get<std::string>();
      else return refuse("tag " + key + ": the value must be a string or a number not below 0");
      svc::ParamValue v;
      if (!svc::parse_param(tag, text, &v, &why)) return refuse("tag " + key + ": " + why);
      values.push_back(std::move(v));
    }
    svc->write_params(id, std::move(values), [this, reply, reply_topic](const svc::ParamResult &r) mutable {
      if (r.ok) reply["ok"] = true;
      else reply["error"] = r.error;
      if (connected) publish_json(reply_topic, reply);
    });
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
  m.mosq = mosquitto_new(nullptr, true, &m);
  if (m.mosq == nullptr) return fail("MQTT: cannot create a client");
  std::string why;
  if (!m.configure(&why)) return fail(why);
  m.svc = &service;
  service.subscribe([&m](const Event &e) { m.sink(e); });
  return true;
}

void Gateway::close(unsigned wait_ms) {
  Impl &m = *impl_;
  if (!m.thread.joinable()) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (m.up.load() && m.inflight.load() > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  m.quit.store(true);
  mosquitto_disconnect(m.mosq);
  m.wake.notify_all();
  m.thread.join();
}

bool Gateway::connected() const { return impl_->up.load(); }

}  // namespace dtu::mqtt
