// What every part of the gateway shares: the service, the options, the
// client handle, this centre's name, the broker link as the loop sees it,
// the counters, and publishing.  Everything here but the atomics belongs to
// the service's loop thread.
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "options.h"
#include "topics.h"

namespace dtu::mqtt {

using json = nlohmann::json;

// JSON text, with bytes that are not UTF-8 replaced rather than thrown on.
std::string dump(const json &j);
// The system clock in ms (statuses carry wall-clock times).
std::int64_t now_ms();

struct Core {
  svc::Service *svc = nullptr;
  Options opt;
  mosquitto *mosq = nullptr;
  std::atomic<bool> v5{true};      // false once the broker refused MQTT 5
  std::atomic<int> inflight{0};    // QoS 1 publishes not yet acknowledged

  bool connected = false;  // as the loop has heard it
  std::string centre, state_topic;

  struct {
    std::uint64_t published = 0, acked = 0, unsent = 0, buffered_dropped = 0, commands = 0, refused = 0,
                  handed_over = 0, reconnects = 0;
  } stats;

  std::string topic(const std::string &id, const char *leaf) const {
    return opt.prefix + "/t/" + id_text(id) + "/" + leaf;
  }
  std::string topic_level(const std::string &level, const char *leaf) const {
    return opt.prefix + "/t/" + level + "/" + leaf;
  }

  // mid, or -1 when it did not go.  Takes `props` (freed here).
  int publish(const std::string &t, const void *payload, std::size_t n, int qos, bool retain,
              mosquitto_property *props = nullptr);
  int publish_json(const std::string &t, const json &j, bool retain = false, int qos = 1);

  // The centre's counters and the gateway's, retained on {prefix}/c/{centre}/stats.
  void publish_stats(std::size_t buffered);
};

}  // namespace dtu::mqtt
