// The centre's health in one place: a small registry of named rows, one per
// part of the centre that can go wrong without a terminal noticing at once
// (the UDP socket, the terminal table, the broker link, the uplink buffer;
// later parts add their own).  Each part keeps its row current; the service
// turns every change of a row's state into a health event, and the front
// ends show the rows (stats, console summary, /metrics, /api/health).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

namespace dtu::svc {

enum class HealthState : std::uint8_t {
  kOk,        // working as it should
  kStarting,  // not known yet (a link still connecting): not ready, but no fault
  kDegraded,  // something is lost or refused now: see the reason
};
// "ok", "starting", "degraded"
const char *health_state_name(HealthState state);

struct HealthRow {
  std::string name;    // "socket", "table", "broker", "uplinks", ...
  HealthState state = HealthState::kOk;
  std::string reason;  // when not ok: one word ("unreachable", "table-full", "kernel-drops")
  std::string detail;  // for people: the last error, what to do
  nlohmann::json fields = nlohmann::json::object();  // the part's figures
  std::int64_t since_ms = 0;  // when the state or reason last changed (set by Health::set)
};

class Health {
 public:
  // Stores the row under its name (rows keep the order they were first set
  // in).  True when it is new or its state or reason changed; figures and
  // detail change freely without that.
  bool set(HealthRow row, std::int64_t now_ms);
  const HealthRow *find(std::string_view name) const;
  const std::vector<HealthRow> &rows() const { return rows_; }
  // Every row ok (a registry without rows is healthy).
  bool ok() const;
  // "name: reason" of each row that is not ok.
  std::vector<std::string> problems() const;
  // One short line: "ok", or "degraded: broker unreachable; table table-full".
  std::string summary() const;
  // {"status": "ok"|"degraded", "problems": [...], "checks": {name: {...}}}
  nlohmann::json to_json() const;

 private:
  std::vector<HealthRow> rows_;
};

// The kernel's drop counter of the IPv4 UDP socket bound to addr:port (host
// order; addr 0: bound to every address) in the text of
// /proc/net/udp, and that socket's receive queue in bytes.  False when no
// such socket is listed.
bool udp_socket_drops(std::string_view proc_net_udp, std::uint32_t addr, std::uint16_t port,
                      std::uint64_t *drops, std::uint64_t *queued = nullptr);
// The same, read from /proc/net/udp; false where there is none.
bool read_udp_socket_drops(std::uint32_t addr, std::uint16_t port, std::uint64_t *drops,
                           std::uint64_t *queued = nullptr);

// Terminals whose logon the full table refused, so that each is reported
// once and not on every retry: forgotten when it gets in, or all at once when
// the table has room again.
class RefusedLogons {
 public:
  // True the first time `id` is refused in this episode.
  bool first(const std::string &id) {
    if (ids_.size() >= kMax) return ids_.count(id) == 0;
    return ids_.insert(id).second;
  }
  void forget(const std::string &id) {
    if (!ids_.empty()) ids_.erase(id);
  }
  void clear() { ids_.clear(); }
  std::size_t size() const { return ids_.size(); }

 private:
  // Past this many refused IDs each further refusal counts as new: the set
  // never grows without bound under a flood of invented IDs.
  static constexpr std::size_t kMax = 100000;
  std::unordered_set<std::string> ids_;
};

struct Counters;

// The rows the service core keeps itself, brought up to date once a second.
//  - "socket": the kernel's drops on the centre's UDP socket (datagrams that
//    arrived while its receive buffer was full: the centre never saw them)
//    and the receive buffer asked and granted; degraded "kernel-drops" while
//    the count rose within the last minute.
//  - "table": terminals on line against the table's size and the logons the
//    full table refused; degraded "table-full" while every slot is taken.
class CoreHealth {
 public:
  static constexpr std::int64_t kDropWindowMs = 60000;
  void set_receive_buffer(int asked, int granted) {
    asked_ = asked;
    granted_ = granted;
  }
  // Reads the drop counter of the socket bound to addr:port (host order)
  // into c->kernel_drops and gives the two rows.
  std::vector<HealthRow> tick(std::int64_t now_ms, std::uint32_t addr, std::uint16_t port, int capacity,
                              Counters *c);
  // Rows from figures already read (the part of tick() after the reading).
  std::vector<HealthRow> rows(std::int64_t now_ms, bool drops_known, std::uint64_t queued, int capacity,
                              const Counters &c);
  RefusedLogons refused;

 private:
  int asked_ = 0, granted_ = 0;
  std::uint64_t last_drops_ = 0;
  std::int64_t last_drop_ms_ = 0;
};

}  // namespace dtu::svc
