// dtucentre: the data service centre as a Linux console program.  It is built
// on the public header and the shared library alone, and doubles as the
// worked example of a host: see run_message_mode() for the POSIX notifier in
// a poll loop, and Console::describe() for reading each DataRecord.
#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "output.h"
#include "dtucentre.h"
#include "sim/fleet.h"

namespace {

constexpr int kDefaultPort = 5002;
constexpr unsigned kReadMessage = 0x0400 + 1;  // the "window message" number

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

struct Options {
  int port = kDefaultPort;
  int mode = 2;
  std::string bind = "127.0.0.1";
  std::vector<std::string> filters;
  bool ack = false;
  bool json = false;
  int simulate = 0;
  double duration = 0;
};

void usage(std::FILE *out) {
  std::fprintf(out,
               "usage: dtucentre [options]\n"
               "  -p, --port PORT        UDP port (default %d)\n"
               "      --mode MODE        blocking, nonblocking or message (default message)\n"
               "      --bind ADDR        address to bind (default 127.0.0.1; 0.0.0.0 for all)\n"
               "      --filter ADDR      leave a local address out of the banner (repeatable)\n"
               "      --ack              acknowledge user data (on with --simulate)\n"
               "      --json             one JSON object per event\n"
               "      --simulate N       run N simulated terminals against this centre\n"
               "      --duration S       stop after S seconds\n"
               "Commands on standard input: type help.\n",
               kDefaultPort);
}

bool parse_options(int argc, char **argv, Options *o) {
  enum { kMode = 256, kBind, kFilter, kAck, kJson, kSimulate, kDuration };
  const option longs[] = {{"port", required_argument, nullptr, 'p'},
                          {"mode", required_argument, nullptr, kMode},
                          {"bind", required_argument, nullptr, kBind},
                          {"filter", required_argument, nullptr, kFilter},
                          {"ack", no_argument, nullptr, kAck},
                          {"json", no_argument, nullptr, kJson},
                          {"simulate", required_argument, nullptr, kSimulate},
                          {"duration", required_argument, nullptr, kDuration},
                          {"help", no_argument, nullptr, 'h'},
                          {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "p:h", longs, nullptr)) != -1;) {
    switch (c) {
      case 'p': o->port = std::atoi(optarg); break;
      case kMode:
        if (!std::strcmp(optarg, "blocking")) o->mode = 0;
        else if (!std::strcmp(optarg, "nonblocking")) o->mode = 1;
        else if (!std::strcmp(optarg, "message")) o->mode = 2;
        else return false;
        break;
      case kBind: o->bind = optarg; break;
      case kFilter: o->filters.push_back(optarg); break;
      case kAck: o->ack = true; break;
      case kJson: o->json = true; break;
      case kSimulate: o->simulate = std::atoi(optarg); break;
      case kDuration: o->duration = std::atof(optarg); break;
      case 'h': usage(stdout); std::exit(0);
      default: return false;
    }
  }
  if (o->simulate > 0) o->ack = true;
  return optind == argc && o->port > 0 && o->port < 65536 && o->simulate >= 0 && o->simulate <= 500;
}

class Centre {
 public:
  Centre(const Options &o, console::Log &log) : opt_(o), log_(log), console_(log) {}

  int run() {
    if (!configure()) return 2;
    DtuNotifier *notifier = opt_.mode == 2 ? dtu_notifier_create() : nullptr;
    char banner[DTU_MAX_BANNER_BYTES];
    SetWorkMode(opt_.mode);
    if (start_gprs_server(notifier, kReadMessage, opt_.port, banner) != 0) {
      log_.line("error", console::gbk_to_utf8(banner));
      stop_gprs_server(nullptr);
      if (notifier) dtu_notifier_destroy(notifier);
      return 1;
    }
    log_.line("start", console::gbk_to_utf8(banner));
    start_fleet();
    switch (opt_.mode) {
      case 0: run_blocking_mode(); break;
      case 1: run_polling_mode(); break;
      default: run_message_mode(notifier); break;
    }
    stop_fleet();
    char text[64];
    stop_gprs_server(text);
    std::string t = console::gbk_to_utf8(text);
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    log_.line("stop", t);
    if (notifier) dtu_notifier_destroy(notifier);
    return 0;
  }

 private:
  bool configure() {
    for (const std::string &f : opt_.filters) {
      in_addr a{};
      if (inet_pton(AF_INET, f.c_str(), &a) != 1 || AddFilterIP(a.s_addr) != 0) {
        log_.line("error", "error: cannot filter " + f);
        return false;
      }
    }
    in_addr a{};
    if (inet_pton(AF_INET, opt_.bind.c_str(), &a) != 1) {
      log_.line("error", "error: bad bind address " + opt_.bind);
      return false;
    }
    SetCustomIP(a.s_addr);
    return true;
  }

  // One datagram: receive it, describe it.  False when nothing was waiting.
  bool read_one() {
    DataRecord r;
    char msg[128] = {};
    const int rc = do_read_proc(&r, msg, opt_.ack ? 1 : 0);
    if (rc == 0) {
      console_.describe(r);
      return true;
    }
    if (std::strncmp(msg, "Error packet", 12) == 0) log_.line("bad-frame", "rejected a malformed frame");
    else if (r.userId[0] != 0) log_.line("bad-frame", "rejected a frame from " + std::string(r.userId));
    else if (msg[0] != 0 && std::strstr(msg, std::to_string(EAGAIN).c_str()) == nullptr)
      log_.line("error", msg);
    return msg[0] == 0 || std::strncmp(msg, "Error packet", 12) == 0;
  }

  // Window-message mode: the notifier's descriptor and standard input in one
  // poll loop; each message means one do_read_proc.
  void run_message_mode(DtuNotifier *notifier) {
    pollfd fds[2] = {{dtu_notifier_fd(notifier), POLLIN, 0}, {input_fd(), POLLIN, 0}};
    while (!finished()) {
      if (poll(fds, 2, 50) <= 0) continue;
      unsigned message = 0;
      while (dtu_notifier_wait(notifier, 0, &message) == 1 && message == kReadMessage) read_one();
      if (fds[1].revents) take_input(&fds[1]);
    }
  }

  // Non-blocking mode: drain the socket, then wait a little on the input.
  void run_polling_mode() {
    pollfd in{input_fd(), POLLIN, 0};
    while (!finished()) {
      while (read_one()) {
      }
      if (poll(&in, 1, 5) > 0) take_input(&in);
    }
  }

  // Blocking mode: a reader thread waits in do_read_proc; the main thread
  // takes the commands.  A short datagram to ourselves wakes the reader.
  void run_blocking_mode() {
    std::atomic<bool> done{false};
    std::thread reader([&] {
      while (!done) read_one();
    });
    pollfd in{input_fd(), POLLIN, 0};
    while (!finished())
      if (poll(&in, 1, 50) > 0) take_input(&in);
    done = true;
    wake_reader();
    reader.join();
  }

  void wake_reader() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(opt_.port));
    sa.sin_addr.s_addr = GetCurrentIP() != 0 ? GetCurrentIP() : htonl(INADDR_LOOPBACK);
    sendto(fd, "wake", 4, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    close(fd);
  }

  int input_fd() const { return input_open_ ? 0 : -1; }

  void take_input(pollfd *p) {
    char buf[4096];
    const ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) {
      input_open_ = false;
      p->fd = -1;
      // End of input stops an interactive centre; a timed or simulated run
      // goes on to its end.
      if (opt_.duration <= 0 && opt_.simulate == 0) g_stop = true;
      return;
    }
    pending_.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
      const std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      if (!console_.execute(line)) g_stop = true;
    }
  }

  bool finished() {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (opt_.duration > 0 && elapsed >= opt_.duration) g_stop = true;
    if (opt_.simulate > 0) demo(elapsed);
    return g_stop.load();
  }

  // With --simulate: show a parameter read and write and a downlink once
  // the fleet is on line.
  void demo(double elapsed) {
    const std::string first = fleet_ ? fleet_->id_of(0) : "";
    const char *steps[] = {"list", "read ", "set ", "send "};
    const double at[] = {1.5, 2.0, 2.5, 3.0};
    if (demo_step_ >= 4 || elapsed < at[demo_step_]) return;
    std::string cmd = steps[demo_step_++];
    if (cmd == "read ") cmd += first;
    if (cmd == "set ") cmd += first + " 2=centre-demo 7=600 18=1234-5-2-2-5";
    if (cmd == "send ") cmd += first + " hello from the centre";
    log_.line("command", "> " + cmd);
    console_.execute(cmd);
  }

  void start_fleet() {
    if (opt_.simulate <= 0) return;
    sim::FleetOptions fo;
    fo.port = static_cast<std::uint16_t>(opt_.port);
    in_addr a{};
    a.s_addr = GetCurrentIP();
    fo.host = a.s_addr != 0 ? inet_ntoa(a) : "127.0.0.1";
    fo.terminals = opt_.simulate;
    fo.duration = 0;
    fo.rate = 1.0;
    fleet_ = std::make_unique<sim::Fleet>(fo);
    fleet_thread_ = std::thread([this] { fleet_->run(fleet_stop_); });
  }

  void stop_fleet() {
    if (!fleet_) return;
    fleet_stop_ = true;
    fleet_thread_.join();
    std::string report;
    char *buf = nullptr;
    std::size_t size = 0;
    if (std::FILE *m = open_memstream(&buf, &size)) {
      fleet_->report(m);
      std::fclose(m);
      report.assign(buf, size);
      std::free(buf);
    }
    while (!report.empty() && report.back() == '\n') report.pop_back();
    log_.line("fleet", "simulated terminals:\n" + report);
  }

  const Options &opt_;
  console::Log &log_;
  console::Console console_;
  bool input_open_ = true;
  std::string pending_;
  int demo_step_ = 0;
  std::unique_ptr<sim::Fleet> fleet_;
  std::thread fleet_thread_;
  std::atomic<bool> fleet_stop_{false};
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parse_options(argc, argv, &o)) {
    usage(stderr);
    return 2;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::signal(SIGPIPE, SIG_IGN);
  console::Log log(stdout, o.json);
  Centre centre(o, log);
  return centre.run();
}
