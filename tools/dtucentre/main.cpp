// dtucentre: the data service centre as a program.  The service core owns the
// library and its loop; this program fills the core's configuration from a
// file and flags, writes its events as text or JSON lines, takes the signals
// a service manager sends, and offers the operator's console.
#include <poll.h>
#include <unistd.h>
#include <uv.h>

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
#include "dtucentre/options.h"
#include "dtucentre/output.h"
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
  Stopper(dtu::svc::Service &svc, SimulatedFleet &fleet) : svc_(svc), fleet_(fleet) { timer_.data = this; }
  void request() {
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
  uv_timer_t timer_{};
  bool waiting_ = false;
};

struct Signals {
  uv_signal_t term{}, intr{}, hup{};
};

void close_handle(uv_handle_t *h) {
  if (h->loop != nullptr && !uv_is_closing(h)) uv_close(h, nullptr);
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
  std::signal(SIGPIPE, SIG_IGN);
  const bool json = opt.log_format == "json";

  centre::Output out;
  if (!opt.log_file.empty() && !out.open_log(opt.log_file, &why)) {
    std::fprintf(stderr, "dtucentre: %s\n", why.c_str());
    return 1;
  }
  // (The editing console wants a terminal on both sides.)
  const bool terminal = isatty(0) && isatty(1);
  if (!terminal) out.start_writer();
  dtu::svc::Service svc(opt.service);
  centre::EventFilter filter;
  if (opt.quiet) filter.quiet();
  centre::Console console(svc, out, filter, json);

  std::unique_ptr<centre::Input> input;
  svc.subscribe([&](const dtu::svc::Event &e) {
    // The prompt goes before the last lines.
    if (e.type == dtu::svc::EventType::kStop && input) input->finish();
    if (!filter.shows(e)) return;
    out.log(json ? centre::dump(centre::event_json(e)) : centre::event_line(e));
  });

  std::unique_ptr<dtu::http::Front> web;  // the HTTP side, stopped before the service
  if (!opt.http.listen.empty() && !(web = dtu::http::attach(svc, opt.http, &why))) {
    std::fprintf(stderr, "dtucentre: cannot start: %s\n", why.c_str());
    return 1;
  }
  if (web) std::fprintf(stderr, "dtucentre: web console and API on %s\n", web->url().c_str());

  if (!svc.start(&why)) {
    out.finish();
    std::fprintf(stderr, "dtucentre: cannot start: %s\n", why.c_str());
    return 1;
  }

  uv_loop_t *loop = svc.loop();
  SimulatedFleet fleet;
  Stopper stopper(svc, fleet);
  Signals sig;
  sig.term.data = sig.intr.data = &stopper;
  uv_signal_init(loop, &sig.term);
  uv_signal_init(loop, &sig.intr);
  uv_signal_start(&sig.term, [](uv_signal_t *s, int) { static_cast<Stopper *>(s->data)->request(); }, SIGTERM);
  uv_signal_start(&sig.intr, [](uv_signal_t *s, int) { static_cast<Stopper *>(s->data)->request(); }, SIGINT);
  struct Hup {
    centre::Output *out;
    dtu::svc::Service *svc;
  } hup{&out, &svc};
  sig.hup.data = &hup;
  uv_signal_init(loop, &sig.hup);
  uv_signal_start(
      &sig.hup,
      [](uv_signal_t *s, int) {
        auto *h = static_cast<Hup *>(s->data);
        std::string error;
        if (!h->out->reopen(&error)) std::fprintf(stderr, "dtucentre: %s\n", error.c_str());
        h->svc->reopen();
      },
      SIGHUP);

  // Standard input: the interactive console on a terminal; with --console
  // commands from a pipe or file; otherwise it is not read at all.
  if (terminal || opt.console) input = centre::Input::create(svc, console, out, terminal);

  uv_timer_t deadline{};
  if (opt.duration > 0) {
    deadline.data = &stopper;
    uv_timer_init(loop, &deadline);
    uv_timer_start(&deadline, [](uv_timer_t *t) { static_cast<Stopper *>(t->data)->request(); },
                   static_cast<std::uint64_t>(opt.duration * 1000.0), 0);
  }
  if (opt.summary_interval > 0)
    svc.every(opt.summary_interval * 1000, [&](dtu::svc::Service &) { out.log(console.summary()); });

  // --simulate: a fleet on line, then a parameter read and write and a
  // downlink to its first terminal, as a demonstration.
  if (opt.simulate > 0) {
    fleet.start(opt.simulate, svc.port());
    auto step = std::make_shared<int>(0);
    const auto started = centre::now_ms();
    svc.every(250, [&, step, started](dtu::svc::Service &) {
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

  const int rc = svc.run();
  if (input) input->finish();
  close_handle(reinterpret_cast<uv_handle_t *>(&sig.term));
  close_handle(reinterpret_cast<uv_handle_t *>(&sig.intr));
  close_handle(reinterpret_cast<uv_handle_t *>(&sig.hup));
  if (opt.duration > 0) close_handle(reinterpret_cast<uv_handle_t *>(&deadline));
  stopper.close();
  uv_run(loop, UV_RUN_NOWAIT);

  for (const std::string &line : fleet.stop()) {
    if (json)
      out.log(centre::dump(
          centre::Json{{"time", centre::utc_time(centre::now_ms())}, {"event", "fleet"}, {"text", line}}));
    else out.log("fleet: " + line);
  }
  out.finish();
  return rc;
}
