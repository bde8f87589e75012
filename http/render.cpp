#include "render.h"

#include <cctype>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <utility>

#include "param_names.h"

namespace dtu::http {

void append_row_json(std::string &out, const Row &r, std::int64_t now, const std::string &extra) {
  svc::append_terminal_json(out, r.t, r.offline_reason, now, extra);
}

namespace {

// What the deployment says of a tag: its name under "label", and the
// unit, range (narrowing the built-in one), choices and help it gave.
void deployment_fields(int tag, Json &row) {
  const svc::ParamNames *names = svc::param_names();
  const svc::ParamMeaning *m = names ? names->by_tag(tag) : nullptr;
  if (m == nullptr) return;
  if (!m->name.empty()) row["label"] = m->name;
  if (!m->unit.empty()) row["unit"] = m->unit;
  if (m->has_min) row["min"] = m->min;
  if (m->has_max) row["max"] = m->max;
  if (!m->choices.empty()) {
    Json c = Json::array();
    for (const auto &[value, label] : m->choices) c.push_back({{"value", value}, {"label", label}});
    row["choices"] = std::move(c);
  }
  if (!m->help.empty()) row["help"] = m->help;
}

}  // namespace

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
    deployment_fields(p.tag, row);
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

namespace {

// Writes metrics in the Prometheus text format.
struct Metrics {
  std::ostringstream o;
  using Samples = std::initializer_list<std::pair<const char *, std::uint64_t>>;

  void head(const char *name, const char *type, const char *help) {
    o << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
  }
  // A metric with one sample and no labels.
  template <class V>
  void one(const char *name, const char *type, const char *help, const V &value) {
    head(name, type, help);
    o << name << ' ' << value << '\n';
  }
  // A metric whose samples differ by one label.
  void labelled(const char *name, const char *type, const char *help, const char *label, Samples samples) {
    head(name, type, help);
    for (auto &k : samples) o << name << '{' << label << "=\"" << k.first << "\"} " << k.second << '\n';
  }
};

void traffic_metrics(Metrics &w, const MetricsInput &m) {
  const svc::Counters &c = m.counters;
  w.one("dtu_terminals_online", "gauge", "Terminals on line now.", c.online);
  w.one("dtu_terminals_known", "gauge", "Terminals in the fleet state (on line, with work under way, or off line and not yet forgotten).", m.known);
  w.labelled("dtu_datagrams_total", "counter", "Datagrams received and sent.", "direction",
             {{"in", c.datagrams_in}, {"out", c.datagrams_out}});
  w.labelled("dtu_bytes_total", "counter", "Bytes of datagrams received and sent.", "direction",
             {{"in", c.bytes_in}, {"out", c.bytes_out}});
  w.labelled("dtu_frames_in_total", "counter", "Frames received, by kind.", "kind",
             {{"logon", c.in.logon},
              {"logout", c.in.logout},
              {"data", c.in.data},
              {"data_reply", c.in.data_reply},
              {"invalid", c.in.invalid},
              {"param_read", c.in.param_read},
              {"param_set", c.in.param_set},
              {"id_report", c.in.id_report},
              {"other", c.in.other}});
  w.labelled("dtu_frames_out_total", "counter", "Frames sent, by kind.", "kind",
             {{"acks", c.out.acks}, {"downlinks", c.out.downlinks}, {"commands", c.out.commands}, {"params", c.out.params}});
}

void rejected_metrics(Metrics &w, const svc::Counters &c) {
  std::ostringstream &o = w.o;
  w.head("dtu_rejected_total", "counter", "Datagrams refused, by reason.");
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
}

void logon_refusal_metrics(Metrics &w, const svc::Counters &c) {
  std::ostringstream &o = w.o;
  w.head("dtu_logons_refused_total", "counter", "Terminals whose logon was refused, by reason (each once until it got in).");
  o << "dtu_logons_refused_total{reason=\"table-full\"} "
    << (c.logons_refused.count("table-full") ? c.logons_refused.at("table-full") : 0) << '\n';
  for (auto &kv : c.logons_refused)
    if (kv.first != "table-full") o << "dtu_logons_refused_total{reason=" << Json(kv.first).dump() << "} " << kv.second << '\n';
  w.one("dtu_refused_logon_attempts_total", "counter", "Logon frames the full table refused, retries included.",
      c.refused_logon_attempts);
}

void downlink_metrics(Metrics &w, const MetricsInput &m) {
  const svc::Counters &c = m.counters;
  w.labelled("dtu_downlinks_total", "counter", "Downlinks by what became of them.", "state",
             {{"queued", c.downlinks_queued},
              {"sent", c.downlinks_sent},
              {"expired", c.downlinks_expired},
              {"dropped", c.downlinks_dropped},
              {"delivered", c.downlinks_delivered},
              {"unconfirmed", c.downlinks_unconfirmed}});
  w.one("dtu_downlinks_resent_total", "counter", "Downlinks written again for want of a DataReply.",
      c.downlinks_resent);
  w.one("dtu_terminals_forgotten_total", "counter",
      "Fleet entries let go: off line, nothing waiting, silent too long or past fleet_max.", c.terminals_forgotten);
  w.one("dtu_downlink_queue_length", "gauge", "Downlinks waiting for their terminals, all terminals together.",
      m.queued_downlinks);
  w.one("dtu_param_timeouts_total", "counter", "Parameter reads and writes the terminal did not answer.",
      c.param_timeouts);
  w.one("dtu_idle_expiries_total", "counter", "Terminals taken off line for silence.", c.idle_expiries);
  w.one("dtu_addr_changes_total", "counter", "Terminals heard from a new address.", c.addr_changes);
  w.one("dtu_duplicate_logons_total", "counter", "Logons of an ID on line at another address.", c.duplicate_logons);
  w.one("dtu_kernel_drops_total", "counter",
      "Datagrams the system dropped because the centre's UDP receive buffer was full.", c.kernel_drops);
}

void health_metrics(Metrics &w, const svc::Health &health) {
  std::ostringstream &o = w.o;
  // The health rows: one state per part, and each part's figures as gauges
  // named dtu_PART_FIGURE (a part added later brings its own).
  w.head("dtu_health_ok", "gauge", "1 while a part of the centre is well, 0 while it is starting or degraded.");
  for (const svc::HealthRow &r : health.rows())
    o << "dtu_health_ok{check=" << Json(r.name).dump() << "} " << (r.state == svc::HealthState::kOk ? 1 : 0) << '\n';
  w.head("dtu_health_since_seconds", "gauge", "When a part of the centre last changed state, seconds since the epoch.");
  for (const svc::HealthRow &r : health.rows())
    o << "dtu_health_since_seconds{check=" << Json(r.name).dump() << "} " << r.since_ms / 1000 << '\n';
  auto metric_name = [](const std::string &part, const std::string &field) {
    std::string n = "dtu_" + part + "_" + field;
    for (char &ch : n)
      if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
  };
  for (const svc::HealthRow &r : health.rows())
    for (auto &[k, v] : r.fields.items()) {
      if (!v.is_number() && !v.is_boolean()) continue;
      const std::string n = metric_name(r.name, k);
      o << "# TYPE " << n << " gauge\n" << n << ' ' << (v.is_boolean() ? (v.get<bool>() ? "1" : "0") : v.dump()) << '\n';
    }
}

void process_metrics(Metrics &w, const MetricsInput &m) {
  std::ostringstream &o = w.o;
  w.one("dtu_http_event_streams", "gauge", "Clients of /api/events now.", m.sse_clients);
  w.one("dtu_http_events_dropped_total", "counter", "Events dropped for event-stream clients that fell behind.",
      m.sse_dropped);
  w.one("dtu_http_events_replayed_total", "counter",
      "Journal records sent to event-stream clients that came back with Last-Event-ID.", m.sse_replayed);
  w.head("dtu_http_responses_total", "counter", "HTTP responses by status code.");
  for (auto &kv : m.http_responses) o << "dtu_http_responses_total{code=\"" << kv.first << "\"} " << kv.second << '\n';

  const ProcessFigures p = process_figures();
  char cpu[32], start[32];
  std::snprintf(cpu, sizeof cpu, "%.2f", p.cpu_seconds);
  std::snprintf(start, sizeof start, "%.2f", p.start_seconds);
  w.one("process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.", cpu);
  w.one("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", p.rss);
  w.one("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", p.vsize);
  w.one("process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.", start);
  w.one("process_open_fds", "gauge", "Open file descriptors.", p.fds);
}

}  // namespace

std::string metrics_text(const MetricsInput &m) {
  Metrics w;
  traffic_metrics(w, m);
  rejected_metrics(w, m.counters);
  downlink_metrics(w, m);
  logon_refusal_metrics(w, m.counters);
  health_metrics(w, m.health);
  process_metrics(w, m);
  return w.o.str();
}

}  // namespace dtu::http
