#include "core.h"

#include <chrono>

#include "counters_json.h"
#include "text.h"

namespace dtu::mqtt {

// The one JSON writer of the host side: DEL and C1 controls as \u escapes too.
std::string dump(const json &j) { return text::dump(j); }

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int Core::publish(const std::string &t, const void *payload, std::size_t n, int qos, bool retain,
                  mosquitto_property *props) {
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

int Core::publish_json(const std::string &t, const json &j, bool retain, int qos) {
  const std::string s = dump(j);
  return publish(t, s.data(), s.size(), qos, retain);
}

void Core::publish_stats(std::size_t buffered) {
  if (!connected) return;
  const svc::Counters &c = svc->counters();
  json j = svc::counters_json(c);
  j["time"] = iso_time(now_ms());
  j["mqtt"] = {{"published", stats.published},
               {"acked", stats.acked},
               {"unsent", stats.unsent},
               {"buffered", buffered},
               {"buffer_dropped", stats.buffered_dropped},
               {"commands", stats.commands},
               {"refused", stats.refused},
               {"handed_over", stats.handed_over},
               {"reconnects", stats.reconnects}};
  publish_json(opt.prefix + "/c/" + centre + "/stats", j, true, 0);
}

}  // namespace dtu::mqtt
