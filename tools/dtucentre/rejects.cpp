#include "dtucentre/rejects.h"

#include <tuple>

#include "dtucentre/format.h"

namespace centre {
namespace {

std::string address(std::uint32_t a) {
  if (a == 0) return "(other sources)";
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
         std::to_string(a & 255);
}

}  // namespace

bool RejectLimiter::admit(const dtu::svc::Event &e) {
  if (e.type != dtu::svc::EventType::kRejected || burst_ == 0) return true;
  std::pair<std::string, std::uint32_t> key{e.reason, e.peer.addr};
  auto it = windows_.find(key);
  if (it == windows_.end()) {
    if (windows_.size() >= sources_) key.second = 0;
    bool fresh = false;
    std::tie(it, fresh) = windows_.try_emplace(key);
    if (fresh) it->second.start_ms = e.time_ms;
  }
  Window &w = it->second;
  if (e.time_ms - w.start_ms >= window_ms_) {
    if (w.suppressed > 0) ready_.push_back({key.first, key.second, w.suppressed, w.bytes, w.start_ms, e.time_ms});
    w = Window{e.time_ms, 0, 0, 0};
  }
  if (w.shown < burst_) {
    ++w.shown;
    return true;
  }
  ++w.suppressed;
  w.bytes += e.length;
  return false;
}

std::vector<RejectLimiter::Summary> RejectLimiter::due(std::int64_t now_ms, bool all) {
  std::vector<Summary> out;
  out.swap(ready_);
  for (auto it = windows_.begin(); it != windows_.end();) {
    Window &w = it->second;
    if (!all && now_ms - w.start_ms < window_ms_) {
      ++it;
      continue;
    }
    if (w.suppressed > 0) out.push_back({it->first.first, it->first.second, w.suppressed, w.bytes, w.start_ms, now_ms});
    it = windows_.erase(it);  // a source heard again starts a new window
  }
  return out;
}

std::string RejectLimiter::line(const Summary &s) {
  std::string t = local_time(s.to_ms) + "  rejected_summary";
  t.resize(43, ' ');
  t += " " + address(s.addr) + "  reason=" + s.reason + "  suppressed=" + std::to_string(s.suppressed) +
       "  bytes=" + std::to_string(s.bytes) + "  seconds=" + std::to_string((s.to_ms - s.from_ms + 500) / 1000);
  return t;
}

std::string RejectLimiter::json_line(const Summary &s) {
  Json j{{"time", utc_time(s.to_ms)}, {"event", "rejected_summary"}};
  if (s.addr != 0) j["peer"] = address(s.addr);
  j["reason"] = s.reason;
  j["suppressed"] = s.suppressed;
  j["bytes"] = s.bytes;
  j["seconds"] = (s.to_ms - s.from_ms + 500) / 1000;
  return dump(j);
}

}  // namespace centre
