#include "health.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "service.h"

namespace dtu::svc {

const char *health_state_name(HealthState state) {
  switch (state) {
    case HealthState::kOk: return "ok";
    case HealthState::kStarting: return "starting";
    case HealthState::kDegraded: return "degraded";
  }
  return "degraded";
}

bool Health::set(HealthRow row, std::int64_t now_ms) {
  for (HealthRow &r : rows_) {
    if (r.name != row.name) continue;
    const bool changed = r.state != row.state || r.reason != row.reason;
    row.since_ms = changed ? now_ms : r.since_ms;
    r = std::move(row);
    return changed;
  }
  row.since_ms = now_ms;
  rows_.push_back(std::move(row));
  return true;
}

const HealthRow *Health::find(std::string_view name) const {
  for (const HealthRow &r : rows_)
    if (r.name == name) return &r;
  return nullptr;
}

bool Health::ok() const {
  for (const HealthRow &r : rows_)
    if (r.state != HealthState::kOk) return false;
  return true;
}

std::vector<std::string> Health::problems() const {
  std::vector<std::string> v;
  for (const HealthRow &r : rows_)
    if (r.state != HealthState::kOk) v.push_back(r.name + ": " + (r.reason.empty() ? health_state_name(r.state) : r.reason));
  return v;
}

std::string Health::summary() const {
  std::string s;
  bool degraded = false;
  for (const HealthRow &r : rows_) {
    if (r.state == HealthState::kOk) continue;
    degraded = degraded || r.state == HealthState::kDegraded;
    s += (s.empty() ? "" : "; ") + r.name + " " + (r.reason.empty() ? health_state_name(r.state) : r.reason);
  }
  if (s.empty()) return "ok";
  return std::string(degraded ? "degraded" : "starting") + ": " + s;
}

nlohmann::json Health::to_json() const {
  nlohmann::json checks = nlohmann::json::object();
  bool degraded = false;
  for (const HealthRow &r : rows_) {
    degraded = degraded || r.state == HealthState::kDegraded;
    nlohmann::json j = {{"status", health_state_name(r.state)}, {"since", iso_time(r.since_ms)}};
    if (!r.reason.empty()) j["reason"] = r.reason;
    if (!r.detail.empty()) j["detail"] = r.detail;
    for (auto &[k, v] : r.fields.items()) j[k] = v;
    checks[r.name] = std::move(j);
  }
  return {{"status", ok() ? "ok" : degraded ? "degraded" : "starting"}, {"problems", problems()}, {"checks", checks}};
}

// /proc/net/udp: a header line, then per socket
//   "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops"
// with local as AAAAAAAA:PPPP, the address as the kernel's 32-bit word in
// hex (network order read as a little-endian number) and the port in hex.
bool udp_socket_drops(std::string_view text, std::uint32_t addr, std::uint16_t port, std::uint64_t *drops,
                      std::uint64_t *queued) {
  std::istringstream in{std::string(text)};
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string sl, local, rem, st, queues, timer, retr, uid, timeout, inode, ref, pointer, dropped;
    if (!(f >> sl >> local >> rem >> st >> queues >> timer >> retr >> uid >> timeout >> inode >> ref >> pointer >>
          dropped))
      continue;
    const std::size_t colon = local.find(':');
    if (colon != 8 || local.size() != 13) continue;
    const unsigned long word = std::strtoul(local.substr(0, 8).c_str(), nullptr, 16);
    const unsigned long p = std::strtoul(local.substr(9).c_str(), nullptr, 16);
    // The word holds the address's bytes in memory order: first octet lowest.
    const std::uint32_t a = static_cast<std::uint32_t>((word & 0xFF) << 24 | (word >> 8 & 0xFF) << 16 |
                                                       (word >> 16 & 0xFF) << 8 | (word >> 24 & 0xFF));
    if (p != port || a != addr) continue;
    *drops = std::strtoull(dropped.c_str(), nullptr, 10);
    if (queued != nullptr) {
      const std::size_t c = queues.find(':');
      *queued = c == std::string::npos ? 0 : std::strtoull(queues.substr(c + 1).c_str(), nullptr, 16);
    }
    return true;
  }
  return false;
}

bool read_udp_socket_drops(std::uint32_t addr, std::uint16_t port, std::uint64_t *drops, std::uint64_t *queued) {
  std::ifstream f("/proc/net/udp");
  if (!f) return false;
  std::stringstream ss;
  ss << f.rdbuf();
  return udp_socket_drops(ss.str(), addr, port, drops, queued);
}

std::vector<HealthRow> CoreHealth::tick(std::int64_t now_ms, std::uint32_t addr, std::uint16_t port, int capacity,
                                        Counters *c) {
  std::uint64_t drops = 0, queued = 0;
  const bool known = port != 0 && read_udp_socket_drops(addr, port, &drops, &queued);
  if (known) c->kernel_drops = drops;
  return rows(now_ms, known, queued, capacity, *c);
}

std::vector<HealthRow> CoreHealth::rows(std::int64_t now_ms, bool drops_known, std::uint64_t queued, int capacity,
                                        const Counters &c) {
  if (c.kernel_drops > last_drops_) {
    last_drops_ = c.kernel_drops;
    last_drop_ms_ = now_ms;
  }
  HealthRow sock;
  sock.name = "socket";
  sock.fields = {{"kernel_drops", c.kernel_drops},
                 {"receive_buffer", granted_},
                 {"receive_buffer_asked", asked_},
                 {"receive_queue", queued},
                 {"receive_errors", c.receive_errors}};
  if (!drops_known) sock.fields["kernel_drops"] = nullptr;
  if (last_drop_ms_ != 0 && now_ms - last_drop_ms_ < kDropWindowMs) {
    sock.state = HealthState::kDegraded;
    sock.reason = "kernel-drops";
    sock.detail = "the system dropped datagrams for the centre within the last minute (" +
                  std::to_string(c.kernel_drops) + " in all): its receive buffer (" + std::to_string(granted_) +
                  " bytes) was full";
  }

  HealthRow table;
  table.name = "table";
  nlohmann::json by_reason = nlohmann::json::object();
  for (const auto &[reason, n] : c.logons_refused) by_reason[reason] = n;
  table.fields = {{"online", c.online},
                  {"capacity", capacity},
                  {"logons_refused", by_reason},
                  {"refused_logon_attempts", c.refused_logon_attempts}};
  if (c.online >= capacity) {
    table.state = HealthState::kDegraded;
    table.reason = "table-full";
    table.detail = "every slot of the table is taken: new terminals get no answer to their logon";
  } else {
    refused.clear();  // room again: the next refusal is news
  }
  return {sock, table};
}

}  // namespace dtu::svc
