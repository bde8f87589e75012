// The broker connection: the thread that connects, reconnects with backoff
// and jitter, falls back to MQTT 3.1.1 where 5 is refused, and reads; the
// libmosquitto callbacks, which hand everything to the loop with
// Service::post(); and the "broker" health row.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core.h"

namespace dtu::mqtt {

// A message from the broker, with the properties the gateway reads.
struct Incoming {
  std::string topic, payload;
  std::string corr;  // raw correlation data
  bool has_corr = false;
  std::uint32_t expiry = 0;  // s; 0: none
  bool retained = false;
  // A downlink handed over by another centre names it and its token.
  std::string handed_by, handover_token;
};

class Connection {
 public:
  // What the loop is told (each runs on the loop thread).
  struct Handlers {
    std::function<void()> up;                                      // the broker took us (again)
    std::function<void(const Incoming &)> message;
    std::function<void(const std::vector<std::pair<int, int>> &)> acks;  // (mid, reason) PUBACKs
  };

  Connection(Core &core, Handlers handlers) : core_(core), on_(std::move(handlers)) {}

  // Options and callbacks on the client (again after a reinitialise).
  // False with a one-line reason.
  bool configure(std::string *error = nullptr);
  // The client under `client_id` with its will, and the thread.
  void start(const std::string &client_id);
  bool running() const { return thread_.joinable(); }
  // Any thread: CONNACK accepted and not lost since.
  bool up() const { return up_.load(); }

  // Waits up to `wait_ms` for the broker to acknowledge what is in flight,
  // then disconnects and joins.  The mids of PUBACKs the loop never took.
  std::vector<int> stop(unsigned wait_ms);

  // The "broker" health row, from the loop's view of the link.
  void report() const;

 private:
  void run();
  void backoff(std::mt19937 &rng);
  void report_failure(int rc);
  void failed(std::string error);  // loop thread

  static void on_connect(mosquitto *, void *obj, int rc, int, const mosquitto_property *);
  static void on_disconnect(mosquitto *, void *obj, int rc, const mosquitto_property *);
  static void on_publish(mosquitto *, void *obj, int mid, int reason, const mosquitto_property *);
  static void on_message(mosquitto *, void *obj, const mosquitto_message *msg, const mosquitto_property *props);
  void take_acks();  // loop thread

  Core &core_;
  Handlers on_;

  // ---- shared with the connection thread ----
  std::thread thread_;
  std::mutex wait_mutex_;
  std::condition_variable wake_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> up_{false};
  std::atomic<bool> fall_back_{false};  // the broker refused MQTT 5
  std::atomic<unsigned> failures_{0};
  std::mutex acks_mutex_;
  std::vector<std::pair<int, int>> acks_;  // (mid, reason) not yet taken by the loop

  // ---- loop thread: the link as the loop last heard of it ----
  std::string error_;            // the last failure; "" before any
  std::uint64_t failed_ = 0;     // connection attempts that failed
  std::uint64_t connects_ = 0;   // connections the broker accepted
};

}  // namespace dtu::mqtt
