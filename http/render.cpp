#include "render.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <utility>

namespace dtu::http {

std::string dump(const Json &j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {


std::string plain_hex(const std::uint8_t *p, std::size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out(n * 2, '0');
  for (std::size_t i = 0; i < n; ++i) {
    out[2 * i] = kHex[p[i] >> 4];
    out[2 * i + 1] = kHex[p[i] & 15];
  }
  return out;
}

bool valid_utf8(const std::uint8_t *p, std::size_t n) {
  for (std::size_t i = 0; i < n;) {
    const std::uint8_t c = p[i];
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k)
      if ((p[i + k] >> 6) != 2) return false;
    if (len == 2 && c < 0xC2) return false;
    i += len;
  }
  return true;
}


}  // namespace

namespace {

void append_string(std::string &out, std::string_view text) {
  // Texts here are printable ASCII (IDs as id_text writes them, addresses,
  // times, reasons); anything else is escaped all the same.
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void append_uint(std::string &out, std::uint64_t v) {
  char buf[24];
  char *p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  out.append(p, static_cast<std::size_t>(buf + sizeof buf - p));
}

struct Obj {
  std::string &out;
  bool first = true;
  Obj &key(const char *k) {
    out += first ? "" : ",";
    first = false;
    out += '"';
    out += k;
    out += "\":";
    return *this;
  }
  Obj &num(const char *k, std::uint64_t v) {
    key(k);
    append_uint(out, v);
    return *this;
  }
  Obj &str(const char *k, std::string_view v) {
    key(k);
    append_string(out, v);
    return *this;
  }
  Obj &null(const char *k) {
    key(k);
    out += "null";
    return *this;
  }
  Obj &time(const char *k, std::int64_t ms) { return ms > 0 ? str(k, iso_time(ms)) : null(k); }
  Obj &endpoint(const char *k, const svc::Endpoint &e) { return e.addr != 0 ? str(k, svc::to_string(e)) : null(k); }
};

}  // namespace

void append_row_json(std::string &out, const Row &r, std::int64_t now, const std::string &extra) {
  const RowData &t = r.t;
  out += '{';
  Obj o{out};
  o.str("id", id_text(t.id));
  o.key("online");
  out += t.online ? "true" : "false";
  if (t.online && t.slot >= 0) o.num("slot", static_cast<std::uint64_t>(t.slot));
  else o.null("slot");
  o.endpoint("peer", t.peer).endpoint("reported", t.reported);
  o.time("logon_time", t.logon_time_ms).time("first_seen", t.first_seen_ms).time("last_seen", t.last_seen_ms);
  if (t.last_seen_ms > 0) o.num("idle_seconds", static_cast<std::uint64_t>(std::max<std::int64_t>(0, (now - t.last_seen_ms) / 1000)));
  else o.null("idle_seconds");
  if (t.online || !*r.offline_reason) o.null("offline_reason");
  else o.str("offline_reason", r.offline_reason);
  o.key("in");
  out += '{';
  Obj i{out};
  i.num("datagrams", t.datagrams_in).num("bytes", t.bytes_in).num("logon", t.in.logon).num("logout", t.in.logout)
      .num("data", t.in.data).num("data_reply", t.in.data_reply).num("invalid", t.in.invalid)
      .num("param_read", t.in.param_read).num("param_set", t.in.param_set).num("id_report", t.in.id_report)
      .num("other", t.in.other);
  out += '}';
  o.key("out");
  out += '{';
  Obj u{out};
  u.num("datagrams", t.datagrams_out).num("bytes", t.bytes_out).num("acks", t.out.acks).num("downlinks", t.out.downlinks)
      .num("commands", t.out.commands).num("params", t.out.params);
  out += '}';
  o.num("addr_changes", t.addr_changes).num("duplicate_logons", t.duplicate_logons).num("queued_downlinks", t.queued_downlinks);
  out += extra;
  out += '}';
}

Json frames_json(const std::deque<svc::RecentFrame> &frames) {
  Json a = Json::array();
  for (const svc::RecentFrame &f : frames)
    a.push_back({{"time", iso_time(f.time_ms)},
                 {"direction", f.inbound ? "in" : "out"},
                 {"kind", f.kind ? f.kind : ""},
                 {"length", f.bytes.size()},
                 {"hex", plain_hex(f.bytes.data(), f.bytes.size())}});
  return a;
}

Json params_json(const std::vector<svc::ParamValue> &values) {
  Json o = Json::object();
  for (const svc::ParamValue &v : values) {
    const std::string key = std::to_string(v.tag);
    if (v.form == svc::ParamForm::kText || v.form == svc::ParamForm::kComposite)
      o[key] = svc::format_param(v);
    else
      o[key] = v.number;
  }
  return o;
}

Json event_json(const svc::Event &e) {
  using T = svc::EventType;
  Json j = {{"event", svc::event_name(e.type)}, {"time", iso_time(e.time_ms)}};
  if (!e.id.empty()) j["id"] = id_text(e.id);
  if (e.peer.addr != 0) j["peer"] = svc::to_string(e.peer);
  if (e.old_peer.addr != 0) j["old_peer"] = svc::to_string(e.old_peer);
  if (e.reported.addr != 0) j["reported"] = svc::to_string(e.reported);
  if (e.slot >= 0) j["slot"] = e.slot;
  if (!e.reason.empty()) j["reason"] = e.reason;
  if (!e.text.empty()) j["text"] = e.text;
  if (e.request != 0) j["request"] = e.request;
  if (e.type == T::kData || e.type == T::kRejected || e.type == T::kWire) {
    j["hex"] = plain_hex(e.data.data(), e.data.size());
    if (e.type == T::kData && valid_utf8(e.data.data(), e.data.size()))
      j["data"] = std::string(e.data.begin(), e.data.end());
  }
  if (e.type == T::kData) j["length"] = e.data.size();
  else if (e.length != 0) j["length"] = e.length;
  if (e.type == T::kWire) j["direction"] = e.inbound ? "in" : "out";
  if (e.type == T::kParamRead) j["params"] = params_json(e.params);
  return j;
}

Json catalogue_json() {
  Json a = Json::array();
  for (const svc::ParamInfo &p : svc::param_catalogue()) {
    Json row = {{"tag", p.tag}, {"name", p.name}, {"readable", p.readable}};
    switch (p.form) {
      case svc::ParamForm::kText:
        row["type"] = "text";
        row["min_length"] = p.min_length;
        row["max_length"] = p.max_length;
        break;
      case svc::ParamForm::kComposite: {
        row["type"] = "composite";
        Json fields = Json::array();
        const svc::CompositeField *f = svc::composite_fields();
        for (int i = 0; i < 5; ++i) fields.push_back({{"min", f[i].min}, {"max", f[i].max}});
        row["fields"] = fields;
        break;
      }
      default:
        row["type"] = p.form == svc::ParamForm::kU8 ? "u8" : p.form == svc::ParamForm::kU16 ? "u16" : "u32";
        row["min"] = 0;
        row["max"] = p.max_value;
    }
    a.push_back(std::move(row));
  }
  return a;
}

namespace {

// The process's own figures from /proc (Linux).
struct ProcessFigures {
  double cpu_seconds = 0, start_seconds = 0;
  std::uint64_t rss = 0, vsize = 0, fds = 0;
};

ProcessFigures process_figures() {
  ProcessFigures f;
  std::ifstream stat("/proc/self/stat");
  std::string line;
  if (std::getline(stat, line)) {
    const auto close = line.rfind(')');
    if (close != std::string::npos) {
      std::istringstream in(line.substr(close + 2));
      std::vector<std::string> v;
      for (std::string w; in >> w;) v.push_back(w);
      // Fields after the name start at field 3 (state) = index 0.
      const long tick = sysconf(_SC_CLK_TCK);
      const long page = sysconf(_SC_PAGESIZE);
      if (v.size() > 21 && tick > 0) {
        f.cpu_seconds = (std::stod(v[11]) + std::stod(v[12])) / static_cast<double>(tick);
        std::ifstream up("/proc/stat");
        double btime = 0;
        for (std::string l; std::getline(up, l);)
          if (l.rfind("btime ", 0) == 0) btime = std::stod(l.substr(6));
        f.start_seconds = btime + std::stod(v[19]) / static_cast<double>(tick);
        f.vsize = std::stoull(v[20]);
        f.rss = std::stoull(v[21]) * static_cast<std::uint64_t>(page);
      }
    }
  }
  if (DIR *d = opendir("/proc/self/fd")) {
    while (const dirent *e = readdir(d))
      if (e->d_name[0] != '.') ++f.fds;
    closedir(d);
    if (f.fds > 0) --f.fds;  // the one opendir holds
  }
  return f;
}

}  // namespace

std::string metrics_text(const MetricsInput &m) {
  std::ostringstream o;
  const svc::Counters &c = m.counters;
  auto head = [&](const char *name, const char *type, const char *help) {
    o << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
  };
  // A metric with one sample and no labels.
  auto one = [&](const char *name, const char *type, const char *help, const auto &value) {
    head(name, type, help);
    o << name << ' ' << value << '\n';
  };
  // A metric whose samples differ by one label.
  using Samples = std::initializer_list<std::pair<const char *, std::uint64_t>>;
  auto labelled = [&](const char *name, const char *type, const char *help, const char *label, Samples samples) {
    head(name, type, help);
    for (auto &k : samples) o << name << '{' << label << "=\"" << k.first << "\"} " << k.second << '\n';
  };
  one("dtu_terminals_online", "gauge", "Terminals on line now.", c.online);
  one("dtu_terminals_known", "gauge", "Terminals in the fleet state (heard since the start, or sent to).", m.known);
  labelled("dtu_datagrams_total", "counter", "Datagrams received and sent.", "direction",
           {{"in", c.datagrams_in}, {"out", c.datagrams_out}});
  labelled("dtu_bytes_total", "counter", "Bytes of datagrams received and sent.", "direction",
           {{"in", c.bytes_in}, {"out", c.bytes_out}});
  labelled("dtu_frames_in_total", "counter", "Frames received, by kind.", "kind",
           {{"logon", c.in.logon},
            {"logout", c.in.logout},
            {"data", c.in.data},
            {"data_reply", c.in.data_reply},
            {"invalid", c.in.invalid},
            {"param_read", c.in.param_read},
            {"param_set", c.in.param_set},
            {"id_report", c.in.id_report},
            {"other", c.in.other}});
  labelled("dtu_frames_out_total", "counter", "Frames sent, by kind.", "kind",
           {{"acks", c.out.acks}, {"downlinks", c.out.downlinks}, {"commands", c.out.commands}, {"params", c.out.params}});
  head("dtu_rejected_total", "counter", "Datagrams refused, by reason.");
  // The known reasons always (0 until one happens), then any other the service reported.
  static const char *const kKnownReasons[] = {"short",         "bad-frame",   "too-large", "bad-logon",
                                              "bad-id-report", "not-allowed", "address"};
  for (const char *r : kKnownReasons) {
    auto it = c.rejected.find(r);
    o << "dtu_rejected_total{reason=\"" << r << "\"} " << (it == c.rejected.end() ? 0 : it->second) << '\n';
  }
  for (auto &kv : c.rejected)
    if (std::find(std::begin(kKnownReasons), std::end(kKnownReasons), kv.first) == std::end(kKnownReasons))
      o << "dtu_rejected_total{reason=" << Json(kv.first).dump() << "} " << kv.second << '\n';
  labelled("dtu_downlinks_total", "counter", "Downlinks by what became of them.", "state",
           {{"queued", c.downlinks_queued},
            {"sent", c.downlinks_sent},
            {"expired", c.downlinks_expired},
            {"dropped", c.downlinks_dropped}});
  one("dtu_downlink_queue_length", "gauge", "Downlinks waiting for their terminals, all terminals together.",
      m.queued_downlinks);
  one("dtu_param_timeouts_total", "counter", "Parameter reads and writes the terminal did not answer.",
      c.param_timeouts);
  one("dtu_idle_expiries_total", "counter", "Terminals taken off line for silence.", c.idle_expiries);
  one("dtu_addr_changes_total", "counter", "Terminals heard from a new address.", c.addr_changes);
  one("dtu_duplicate_logons_total", "counter", "Logons of an ID on line at another address.", c.duplicate_logons);
  one("dtu_http_event_streams", "gauge", "Clients of /api/events now.", m.sse_clients);
  one("dtu_http_events_dropped_total", "counter", "Events dropped for event-stream clients that fell behind.",
      m.sse_dropped);
  head("dtu_http_responses_total", "counter", "HTTP responses by status code.");
  for (auto &kv : m.http_responses) o << "dtu_http_responses_total{code=\"" << kv.first << "\"} " << kv.second << '\n';

  const ProcessFigures p = process_figures();
  char cpu[32], start[32];
  std::snprintf(cpu, sizeof cpu, "%.2f", p.cpu_seconds);
  std::snprintf(start, sizeof start, "%.2f", p.start_seconds);
  one("process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.", cpu);
  one("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", p.rss);
  one("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", p.vsize);
  one("process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.", start);
  one("process_open_fds", "gauge", "Open file descriptors.", p.fds);
  return o.str();
}

}  // namespace dtu::http
