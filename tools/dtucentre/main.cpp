// dtucentre: the data service centre as a program.  The service core owns the
// library and its loop; this program fills the core's configuration from a
// file and flags, writes its events as text or JSON lines, takes the signals
// a service manager sends, and offers the operator's console.
#include <poll.h>
#include <unistd.h>
#include <uv.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dtucentre/console.h"
#include "dtucentre/format.h"
#include "dtucentre/input.h"
#include "dtucentre/notify.h"
#include "dtucentre/options.h"
#include "dtucentre/output.h"
#include "dtucentre/rejects.h"
#include "journal.h"
#include "service.h"
#include "sim/fleet.h"

namespace {

using centre::Options;

// The in-process fleet of --simulate, on a thread of its own (it talks to the
// centre over the loopback like any terminal).
class SimulatedFleet {
 public:
  void start(int terminals, std::uint16_t port) {
    sim::FleetOptions fo;
    fo.host = "127.0.0.1";
    fo.port = port;
    fo.terminals = terminals;
    fo.duration = 0;
    fo.rate = 1.0;
    fleet_ = std::make_unique<sim::Fleet>(fo);
    thread_ = std::thread([this] {
      fleet_->run(stop_);
      done_ = true;
    });
  }
  bool active() const { return fleet_ != nullptr; }
  // Asks the fleet to end (it waits a moment for the last answers).
  void signal() { stop_ = true; }
  bool done() const { return done_; }
  // The fleet's report, one line each.
  std::vector<std::string> stop() {
    if (!fleet_) return {};
    stop_ = true;
    thread_.join();
    char *buf = nullptr;
    std::size_t size = 0;
    std::vector<std::string> lines;
    if (std::FILE *m = open_memstream(&buf, &size)) {
      fleet_->report(m);
      std::fclose(m);
      std::string all(buf, size);
      std::free(buf);
      for (std::size_t pos = 0, nl; (nl = all.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(all.substr(pos, nl - pos));
    }
    return lines;
  }
  std::string id_of(int i) const { return fleet_ ? fleet_->id_of(i) : ""; }

 private:
  std::unique_ptr<sim::Fleet> fleet_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
};

// Ends the run: the simulated fleet first (while the centre still answers
// it), then the service.
class Stopper {
 public:
  Stopper(dtu::svc::Service &svc, SimulatedFleet &fleet, centre::Notifier &notify)
      : svc_(svc), fleet_(fleet), notify_(notify) {
    timer_.data = this;
  }
  void request() {
    notify_.stopping();
    if (!fleet_.active()) return svc_.stop();
    if (waiting_) return;
    waiting_ = true;
    fleet_.signal();
    uv_timer_init(svc_.loop(), &timer_);
    uv_timer_start(&timer_, [](uv_timer_t *t) {
      auto *self = static_cast<Stopper *>(t->data);
      if (self->fleet_.done()) {
        uv_timer_stop(t);
        self->svc_.stop();
      }
    }, 20, 20);
  }
  void close() {
    if (waiting_ && !uv_is_closing(reinterpret_cast<uv_handle_t *>(&timer_)))
      uv_close(reinterpret_cast<uv_handle_t *>(&timer_), nullptr);
  }

 private:
  dtu::svc::Service &svc_;
  SimulatedFleet &fleet_;
  centre::Notifier &notify_;
  uv_timer_t timer_{};
  bool waiting_ = false;
};

// The service manager's status line: the fleet and the health in short.
std::string status_line(const dtu::svc::Service &svc) {
  return "on line " + std::to_string(svc.counters().online) + "; " + svc.health().summary();
}

void close_handle(uv_handle_t *h) {
  if (h->loop != nullptr && !uv_is_closing(h)) uv_close(h, nullptr);
}

// Writes the service's events to the log through the operator's filter and
// the limiter of repeated rejects.
class EventLog {
 public:
  // journal: standard output goes to the journal, where error-level lines
  // are stored at error priority.
  EventLog(centre::Output &out, centre::EventFilter &filter, bool json, bool journal)
      : out_(out), filter_(filter), json_(json), journal_(journal) {}
  // What the start line adds: the journal's file (or memory only) and the
  // acknowledgement mode.
  void start_note(std::string journal_file, centre::AckMode ack) {
    journal_file_ = std::move(journal_file);
    ack_ = ack;
  }

  void attach(dtu::svc::Service &svc, std::unique_ptr<centre::Input> &input) {
    svc_ = &svc;
    svc.subscribe([this, &input](const dtu::svc::Event &e) {
      // The prompt goes before the last lines.
      if (e.type == dtu::svc::EventType::kStop && input) input->finish();
      write(e);
    });
  }
  // Once a second: the summaries of the rejects held back.
  void tick() { summaries(centre::now_ms(), false); }

  void write(const dtu::svc::Event &e) {
    // An error (the capture's disk is full, say) must not vanish into a log
    // that cannot be written either.
    if (e.type == dtu::svc::EventType::kError && out_.failing())
      std::fprintf(stderr, "dtucentre: %s\n", centre::escape_text(e.text).c_str());
    if (!filter_.shows(e)) return;
    if (e.type == dtu::svc::EventType::kStop) summaries(e.time_ms, true);
    if (!rejects_.admit(e)) return;
    print(e);
  }
  // The event's line, whatever the filter; a registered terminal's name
  // and group looked up now (events come on the loop thread).
  void print(const dtu::svc::Event &e) {
    const dtu::svc::TerminalMeta *m = svc_ != nullptr && !e.id.empty() ? svc_->meta(e.id) : nullptr;
    const std::string line = e.type == dtu::svc::EventType::kStart ? start_line(e)
                             : json_                               ? centre::dump(centre::event_json(e, m))
                                                                   : centre::event_line(e, m);
    out_.log(journal_ && std::strcmp(centre::event_level(e), "error") == 0 ? "<3>" + line : line);
  }

 private:
  std::string start_line(const dtu::svc::Event &e) const {
    if (json_) {
      centre::Json j = centre::event_json(e);
      j["journal"] = journal_file_.empty() ? centre::Json() : centre::Json(centre::json_text(journal_file_));
      j["ack"] = centre::ack_mode_name(ack_);
      return centre::dump(j);
    }
    return centre::event_line(e) + "  " +
           (journal_file_.empty() ? "memory only" : "journal=" + centre::escape_text(journal_file_)) +
           "  ack=" + centre::ack_mode_name(ack_);
  }
  void summaries(std::int64_t now, bool all) {
    for (const auto &s : rejects_.due(now, all))
      out_.log(json_ ? centre::RejectLimiter::json_line(s) : centre::RejectLimiter::line(s));
  }

  centre::Output &out_;
  centre::EventFilter &filter_;
  dtu::svc::Service *svc_ = nullptr;
  const bool json_;
  const bool journal_;
  centre::RejectLimiter rejects_;
  std::string journal_file_;
  centre::AckMode ack_ = centre::AckMode::kImmediate;
};

// A receive buffer smaller than asked (Linux's net.core.rmem_max) loses
// datagrams under load: say so at once.
void warn_small_receive_buffer(const dtu::svc::Service &svc, EventLog &log) {
  const dtu::svc::HealthRow *sock = svc.health().find("socket");
  if (sock == nullptr) return;
  const long long asked = sock->fields.value("receive_buffer_asked", 0LL);
  const long long granted = sock->fields.value("receive_buffer", 0LL);
  if (asked <= 0 || granted >= asked) return;
  dtu::svc::Event w;
  w.type = dtu::svc::EventType::kError;
  w.time_ms = centre::now_ms();
  w.reason = "receive-buffer";
  w.text = "the UDP receive buffer is " + std::to_string(granted) + " bytes, less than the " + std::to_string(asked) +
           " asked: raise net.core.rmem_max, or give the service CAP_NET_ADMIN";
  log.print(w);
}

// SIGHUP: the log and capture files are reopened and the allow-list read
// again; a list that cannot be read leaves the one in force.
void reload(centre::Output &out, dtu::svc::Service &svc, bool json) {
  std::string error;
  if (!out.reopen(&error)) std::fprintf(stderr, "dtucentre: %s\n", error.c_str());
  svc.reopen();
  const std::string &file = svc.config().allow_list;
  if (file.empty()) return;
  error.clear();
  const bool ok = svc.reload_allow_list(&error);
  const std::int64_t now = centre::now_ms();
  if (json) {
    centre::Json j{{"time", centre::utc_time(now)}, {"event", "reload"}, {"allow_list", centre::json_text(file)},
                   {"ok", ok}};
    if (!ok) j["error"] = centre::json_text(error);
    out.log(centre::dump(j));
  } else {
    out.log(centre::local_time(now) + "  reload  allow_list=" + centre::escape_text(file) +
            (ok ? "  read again" : "  not read, the list in force stays: " + centre::escape_text(error)));
  }
  if (!ok) std::fprintf(stderr, "dtucentre: allow-list not reloaded: %s\n", error.c_str());
}

// The signals a service manager sends, and the --duration timer.
class Signals {
 public:
  Signals(uv_loop_t *loop, Stopper &stopper, centre::Output &out, dtu::svc::Service &svc, bool json)
      : stopper_(stopper), out_(out), svc_(svc), json_(json) {
    for (uv_signal_t *s : {&term_, &intr_, &hup_}) {
      s->data = this;
      uv_signal_init(loop, s);
    }
    const auto stop = [](uv_signal_t *s, int) { static_cast<Signals *>(s->data)->stopper_.request(); };
    uv_signal_start(&term_, stop, SIGTERM);
    uv_signal_start(&intr_, stop, SIGINT);
    uv_signal_start(&hup_, [](uv_signal_t *s, int) {
      auto *self = static_cast<Signals *>(s->data);
      reload(self->out_, self->svc_, self->json_);
    }, SIGHUP);
  }
  void stop_after(uv_loop_t *loop, double seconds) {
    deadline_.data = this;
    uv_timer_init(loop, &deadline_);
    uv_timer_start(&deadline_, [](uv_timer_t *t) { static_cast<Signals *>(t->data)->stopper_.request(); },
                   static_cast<std::uint64_t>(seconds * 1000.0), 0);
  }
  void close() {
    for (uv_signal_t *s : {&term_, &intr_, &hup_}) close_handle(reinterpret_cast<uv_handle_t *>(s));
    close_handle(reinterpret_cast<uv_handle_t *>(&deadline_));
  }

 private:
  Stopper &stopper_;
  centre::Output &out_;
  dtu::svc::Service &svc_;
  const bool json_;
  uv_signal_t term_{}, intr_{}, hup_{};
  uv_timer_t deadline_{};
};

// Ready once the loop turns; the watchdog is fed from the loop itself, at
// half the manager's interval, so that a loop that hangs stops feeding it.
void tell_the_manager(dtu::svc::Service &svc, centre::Notifier &notify) {
  if (!notify.active()) return;
  svc.post([&notify](dtu::svc::Service &s) { notify.ready(status_line(s)); });
  if (const std::uint64_t usec = notify.watchdog_usec())
    svc.every(static_cast<unsigned>(std::max<std::uint64_t>(1, usec / 2000)),
              [&notify](dtu::svc::Service &) { notify.watchdog(); });
  svc.every(1000, [&notify](dtu::svc::Service &s) { notify.status(status_line(s)); });
}

// --simulate: a fleet on line, then a parameter read and write and a
// downlink to its first terminal, as a demonstration.
void demonstrate(dtu::svc::Service &svc, SimulatedFleet &fleet, centre::Console &console, centre::Output &out,
                 bool json) {
  auto step = std::make_shared<int>(0);
  const auto started = centre::now_ms();
  svc.every(250, [&fleet, &console, &out, json, step, started](dtu::svc::Service &) {
    static const double at[] = {1.5, 2.0, 2.5, 3.0};
    if (*step >= 4 || static_cast<double>(centre::now_ms() - started) / 1000.0 < at[*step]) return;
    const std::string first = fleet.id_of(0);
    const std::string cmds[] = {"list online", "read " + first, "set " + first + " 2=centre-demo 7=600 18=1234-5-2-2-5",
                                "send " + first + " \"hello from the centre\\r\\n\""};
    const std::string &cmd = cmds[(*step)++];
    if (!json) out.log(centre::local_time(centre::now_ms()) + "  > " + cmd);
    console.execute(cmd);
  });
}

// The last lines: what the gateway's stop threw away is said, not left to
// be guessed, then the simulated fleet's report.
void final_report(dtu::mqtt::Gateway &mqtt, SimulatedFleet &fleet, centre::Output &out, bool json) {
  const dtu::mqtt::Gateway::Loss lost = mqtt.close();
  if (lost.uplinks > 0) {
    std::fprintf(stderr, "dtucentre: %s\n", lost.text.c_str());
    if (json)
      out.log(centre::dump(centre::Json{{"time", centre::utc_time(centre::now_ms())},
                                        {"event", "mqtt_dropped"},
                                        {"uplinks", lost.uplinks},
                                        {"acknowledged", lost.acknowledged},
                                        {"text", lost.text}}));
    else out.log(lost.text);
  }
  for (const std::string &line : fleet.stop()) {
    if (json)
      out.log(centre::dump(
          centre::Json{{"time", centre::utc_time(centre::now_ms())}, {"event", "fleet"}, {"text", line}}));
    else out.log("fleet: " + line);
  }
}

int fail_start(const std::string &prefix, const std::string &why, int code = 1) {
  std::fprintf(stderr, "dtucentre: %s%s\n", prefix.c_str(), why.c_str());
  return code;
}

// --journal-check: the integrity check's verdict on standard output; 0
// sound, 3 no journal to read, 4 damaged.
int journal_check(const std::string &dir) {
  std::string report;
  const int rc = dtu::svc::Journal::check(dir, &report);
  std::printf("%s\n", report.c_str());
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  std::string why;
  switch (centre::parse_options(argc, argv, &opt, &why)) {
    case centre::ParseResult::kExit0: return 0;
    case centre::ParseResult::kBad:
      std::fprintf(stderr, "dtucentre: %s\n", why.c_str());
      std::fprintf(stderr, "dtucentre: try --help\n");
      return 2;
    default: break;
  }
  if (opt.journal_check) return journal_check(opt.service.state_dir);
  dtu::svc::use_param_names(opt.names);  // before any front end's thread
  std::signal(SIGPIPE, SIG_IGN);
  const bool json = opt.log_format == "json";

  centre::Output out;
  out.json = json;
  if (!opt.log_file.empty() && !out.open_log(opt.log_file, &why)) return fail_start("", why);
  // (The editing console wants a terminal on both sides.)
  const bool terminal = isatty(0) && isatty(1);
  if (!terminal) out.start_writer();
  dtu::svc::Service svc(opt.service);
  // The journal first: the front ends read from it, and a journal that
  // cannot be had stops the start with its own exit code.
  int journal_code = 1;
  if (!svc.open_journal(&why, &journal_code)) {
    out.finish();
    return fail_start("", why, journal_code);
  }
  centre::EventFilter filter;
  if (opt.quiet) filter.quiet();
  centre::Console console(svc, out, filter, json);
  std::unique_ptr<centre::Input> input;
  EventLog log(out, filter, json, opt.log_file.empty() && centre::Notifier::stdout_is_journal());
  log.attach(svc, input);
  log.start_note(svc.journal() ? svc.journal()->path() : "", opt.ack);

  dtu::mqtt::Gateway mqtt;  // closed (its last messages sent) when main returns
  if (opt.mqtt_on && !mqtt.attach(svc, opt.mqtt, &why)) return fail_start("", why);
  std::unique_ptr<dtu::http::Front> web;  // the HTTP side, stopped before the service
  if (!opt.http.listen.empty() && !(web = dtu::http::attach(svc, opt.http, &why)))
    return fail_start("cannot start: ", why);
  if (!svc.start(&why)) {
    out.finish();
    return fail_start("cannot start: ", why);
  }
  // Said once the terminals' port is bound too: whoever reads this line may
  // send to either at once.
  if (web) std::fprintf(stderr, "dtucentre: web console and API on %s\n", web->url().c_str());
  warn_small_receive_buffer(svc, log);

  uv_loop_t *loop = svc.loop();
  SimulatedFleet fleet;
  centre::Notifier notify;
  Stopper stopper(svc, fleet, notify);
  tell_the_manager(svc, notify);
  Signals signals(loop, stopper, out, svc, json);
  if (opt.duration > 0) signals.stop_after(loop, opt.duration);
  // Standard input: the interactive console on a terminal; with --console
  // commands from a pipe or file; otherwise it is not read at all.
  if (terminal || opt.console) input = centre::Input::create(svc, console, out, terminal);
  svc.every(1000, [&log](dtu::svc::Service &) { log.tick(); });
  if (opt.summary_interval > 0)
    svc.every(opt.summary_interval * 1000, [&](dtu::svc::Service &) { out.log(console.summary()); });
  if (opt.simulate > 0) {
    fleet.start(opt.simulate, svc.port());
    demonstrate(svc, fleet, console, out, json);
  }

  const int rc = svc.run();
  notify.stopping();
  if (input) input->finish();
  signals.close();
  stopper.close();
  uv_run(loop, UV_RUN_NOWAIT);
  final_report(mqtt, fleet, out, json);
  out.finish();
  return rc;
}
