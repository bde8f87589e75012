#include "connection.h"

#include <mqtt_protocol.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace dtu::mqtt {

namespace {
constexpr unsigned kBackoffFirstMs = 250;
constexpr unsigned kBackoffMaxMs = 5000;

std::string without_stop(std::string why) {
  if (!why.empty() && why.back() == '.') why.pop_back();
  return why;
}
}  // namespace

bool Connection::configure(std::string *error) {
  auto fail = [&](const std::string &text) {
    if (error) *error = text;
    return false;
  };
  mosquitto *mosq = core_.mosq;
  const Options &opt = core_.opt;
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, core_.v5.load() ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
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
  mosquitto_connect_v5_callback_set(mosq, &Connection::on_connect);
  mosquitto_disconnect_v5_callback_set(mosq, &Connection::on_disconnect);
  mosquitto_publish_v5_callback_set(mosq, &Connection::on_publish);
  mosquitto_message_v5_callback_set(mosq, &Connection::on_message);
  return true;
}

void Connection::start(const std::string &client_id) {
  mosquitto_reinitialise(core_.mosq, client_id.c_str(), true, this);
  configure();
  mosquitto_will_set_v5(core_.mosq, core_.state_topic.c_str(), 7, "offline", 1, true, nullptr);
  report();
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "dtumqtt");
    run();
  });
}

std::vector<int> Connection::stop(unsigned wait_ms) {
  std::vector<int> late;
  if (!thread_.joinable()) return late;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (up_.load() && core_.inflight.load() > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  quit_.store(true);
  mosquitto_disconnect(core_.mosq);
  wake_.notify_all();
  thread_.join();
  for (const auto &ack : acks_) late.push_back(ack.first);
  acks_.clear();
  return late;
}

// "broker": up, still connecting, or unreachable with the last error.
void Connection::report() const {
  const Options &opt = core_.opt;
  svc::HealthRow r;
  r.name = "broker";
  r.fields = {{"broker", opt.host + ":" + std::to_string(opt.port)},
              {"connected", core_.connected},
              {"reconnects", core_.stats.reconnects},
              {"failed_attempts", failed_},
              {"last_error", error_}};
  if (!core_.connected) {
    const bool starting = connects_ == 0 && failed_ == 0;
    r.state = starting ? svc::HealthState::kStarting : svc::HealthState::kDegraded;
    r.reason = starting ? "connecting" : "unreachable";
    if (!starting)
      r.detail = "MQTT broker " + opt.host + ":" + std::to_string(opt.port) + ": " + error_ +
                 (opt.ack_after_broker ? "; user data is not acknowledged until it is back"
                                       : "; uplinks wait in the buffer");
  }
  core_.svc->set_health(std::move(r));
}

void Connection::failed(std::string error) {
  ++failed_;
  error_ = std::move(error);
  if (!core_.connected) report();
}

// ---- the connection thread ----

void Connection::run() {
  std::mt19937 rng(std::random_device{}());
  mosquitto *mosq = core_.mosq;
  const Options &opt = core_.opt;
  bool first = true, need_connect = true;
  while (!quit_.load()) {
    if (need_connect) {
      if (fall_back_.exchange(false)) {
        core_.v5.store(false);
        mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
      }
      const int rc = first ? mosquitto_connect_bind_v5(mosq, opt.host.c_str(), opt.port,
                                                       static_cast<int>(opt.keepalive), nullptr, nullptr)
                           : mosquitto_reconnect(mosq);
      first = false;
      if (rc != MOSQ_ERR_SUCCESS) {
        report_failure(rc);
        backoff(rng);
        continue;
      }
      need_connect = false;
    }
    const int rc = mosquitto_loop(mosq, 200, 1);
    if (quit_.load()) break;
    if (rc != MOSQ_ERR_SUCCESS) {
      need_connect = true;
      backoff(rng);
    }
  }
}

void Connection::backoff(std::mt19937 &rng) {
  const unsigned n = failures_.fetch_add(1);
  const unsigned ceiling = std::min<unsigned>(kBackoffMaxMs, kBackoffFirstMs << std::min(n, 5u));
  std::uniform_int_distribution<unsigned> jitter(ceiling / 2, ceiling);
  std::unique_lock<std::mutex> lock(wait_mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(jitter(rng)), [this] { return quit_.load(); });
}

// A connection attempt that failed: the loop hears why.
void Connection::report_failure(int rc) {
  std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno)
                    : rc == MOSQ_ERR_EAI ? "the host name does not resolve"
                                         : mosquitto_strerror(rc);
  core_.svc->post([this, why = without_stop(std::move(why))](svc::Service &) mutable { failed(std::move(why)); });
}

// ---- libmosquitto callbacks (connection thread): hand over to the loop ----

void Connection::on_connect(mosquitto *, void *obj, int rc, int, const mosquitto_property *) {
  auto *self = static_cast<Connection *>(obj);
  if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || (rc == CONNACK_REFUSED_PROTOCOL_VERSION && self->core_.v5.load())) {
    self->fall_back_.store(true);
    return;
  }
  if (rc != 0) {
    // Refused by the broker (credentials, client ID, ...).
    std::string why = std::string("refused: ") + (rc < 128 ? mosquitto_connack_string(rc) : mosquitto_reason_string(rc));
    self->core_.svc->post([self, why = std::move(why)](svc::Service &) mutable { self->failed(std::move(why)); });
    return;
  }
  self->failures_.store(0);
  self->up_.store(true);
  self->core_.svc->post([self](svc::Service &) {
    self->core_.connected = true;
    ++self->connects_;
    self->report();
    self->on_.up();
  });
}

void Connection::on_disconnect(mosquitto *, void *obj, int rc, const mosquitto_property *) {
  auto *self = static_cast<Connection *>(obj);
  if (!self->up_.exchange(false)) return;
  std::string why = without_stop(rc == 0 ? "disconnected" : mosquitto_strerror(rc));
  self->core_.svc->post([self, why = std::move(why)](svc::Service &) mutable {
    self->core_.connected = false;
    ++self->core_.stats.reconnects;
    self->error_ = std::move(why);
    ++self->failed_;
    self->report();
  });
}

// PUBACKs are collected and handed to the loop in batches: one post while
// the loop has not taken the last one yet.
void Connection::on_publish(mosquitto *, void *obj, int mid, int reason, const mosquitto_property *) {
  auto *self = static_cast<Connection *>(obj);
  self->core_.inflight.fetch_sub(1);
  bool first;
  {
    std::lock_guard<std::mutex> g(self->acks_mutex_);
    first = self->acks_.empty();
    self->acks_.emplace_back(mid, reason);
  }
  if (first) self->core_.svc->post([self](svc::Service &) { self->take_acks(); });
}

void Connection::take_acks() {
  std::vector<std::pair<int, int>> batch;
  {
    std::lock_guard<std::mutex> g(acks_mutex_);
    batch.swap(acks_);
  }
  on_.acks(batch);
}

void Connection::on_message(mosquitto *, void *obj, const mosquitto_message *msg, const mosquitto_property *props) {
  auto *self = static_cast<Connection *>(obj);
  Incoming in;
  in.topic = msg->topic ? msg->topic : "";
  in.payload.assign(static_cast<const char *>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
  in.retained = msg->retain;
  void *value = nullptr;
  std::uint16_t len = 0;
  if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &value, &len, false)) {
    in.corr.assign(static_cast<const char *>(value), len);
    in.has_corr = true;
    free(value);
  }
  mosquitto_property_read_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &in.expiry, false);
  for (const mosquitto_property *p = props; p; p = mosquitto_property_next(p)) {
    char *name = nullptr, *text = nullptr;
    if (mosquitto_property_identifier(p) != MQTT_PROP_USER_PROPERTY ||
        !mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &text, false))
      continue;
    if (std::strcmp(name, "handed-over-by") == 0) in.handed_by = text;
    else if (std::strcmp(name, "handover") == 0) in.handover_token = text;
    free(name);
    free(text);
  }
  self->core_.svc->post([self, in = std::move(in)](svc::Service &) { self->on_.message(in); });
}

}  // namespace dtu::mqtt
