// The MQTT gateway's cost against the broker alone, in one run on one broker
// (a mosquitto started here on a free loopback port):
//  - throughput: 500 terminals, each sending its next user-data frame when
//    the DataAck of the last one comes (the ack follows the broker's PUBACK),
//    through the centre to a subscriber; against a plain libmosquitto QoS 1
//    publisher sending as fast as the client library lets it;
//  - latency: both paced at the same rate, from the send (the terminal's
//    datagram, or the publish call) to the subscriber's receipt.
// Prints a table; with --csv FILE also the latency distribution.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"
#include "loopback_tcp.h"
#include "service.h"
#include "sim/wire.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

using loopback_tcp::can_connect;
using loopback_tcp::free_port;

// ---- the subscriber: receipt times of payloads that carry their send time ----
struct Subscriber {
  mosquitto *m = nullptr;
  std::mutex mu;
  std::vector<std::int64_t> latency_ns;
  std::atomic<long> count{0};
  std::atomic<std::int64_t> last_ns{0};
  std::atomic<bool> ready{false};

  Subscriber(std::uint16_t port, const char *topic) {
    m = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_message_v5_callback_set(m, [](mosquitto *, void *obj, const mosquitto_message *msg,
                                            const mosquitto_property *) {
      auto *self = static_cast<Subscriber *>(obj);
      const std::int64_t t = now_ns();
      if (msg->payloadlen >= 8) {
        std::int64_t sent;
        std::memcpy(&sent, msg->payload, 8);
        std::lock_guard<std::mutex> g(self->mu);
        self->latency_ns.push_back(t - sent);
      }
      self->last_ns.store(t);
      self->count.fetch_add(1);
    });
    mosquitto_subscribe_callback_set(m, [](mosquitto *, void *obj, int, int, const int *) {
      static_cast<Subscriber *>(obj)->ready.store(true);
    });
    mosquitto_connect(m, "127.0.0.1", port, 30);
    mosquitto_subscribe(m, nullptr, topic, 1);
    mosquitto_loop_start(m);
    while (!ready.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~Subscriber() {
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
  }
  void reset() {
    std::lock_guard<std::mutex> g(mu);
    latency_ns.clear();
    count.store(0);
  }
  bool wait_for(long n, int seconds) {
    const std::int64_t end = now_ns() + std::int64_t{seconds} * 1000000000;
    while (count.load() < n && now_ns() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return count.load() >= n;
  }
};

// ---- the plain publisher ----
struct Publisher {
  mosquitto *m = nullptr;
  std::atomic<long> acked{0};
  explicit Publisher(std::uint16_t port) {
    m = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_max_inflight_messages_set(m, 0);
    mosquitto_publish_callback_set(m, [](mosquitto *, void *obj, int) {
      static_cast<Publisher *>(obj)->acked.fetch_add(1);
    });
    mosquitto_connect_callback_set(m, [](mosquitto *, void *obj, int rc) {
      if (rc == 0) static_cast<Publisher *>(obj)->up.store(true);
    });
    const int rc = mosquitto_connect(m, "127.0.0.1", port, 30);
    if (rc != MOSQ_ERR_SUCCESS) std::fprintf(stderr, "publisher: %s\n", mosquitto_strerror(rc));
    mosquitto_loop_start(m);
    while (!up.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::atomic<bool> up{false};
  ~Publisher() {
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
  }
  void publish(long seq) {
    std::uint8_t payload[32] = {};
    const std::int64_t t = now_ns();
    std::memcpy(payload, &t, 8);
    std::memcpy(payload + 8, &seq, sizeof seq);
    mosquitto_publish(m, nullptr, "bench/plain", sizeof payload, payload, 1, false);
  }
};

// ---- the terminals (frames from the simulator's codec) ----
struct Fleet {
  std::vector<int> fds;
  std::vector<std::string> ids;
  std::uint16_t centre;

  Fleet(int n, std::uint16_t port) : centre(port) {
    for (int i = 0; i < n; ++i) {
      const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in sa = loopback_tcp::address(0);
      ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
      fds.push_back(fd);
      char id[16];
      std::snprintf(id, sizeof id, "139%08d", i + 1);
      ids.push_back(id);
    }
  }
  ~Fleet() {
    for (int fd : fds) ::close(fd);
  }
  void send(std::size_t i, const Bytes &b) {
    sockaddr_in sa = loopback_tcp::address(centre);
    ::sendto(fds[i], b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  }
  void data(std::size_t i, long seq) {
    std::uint8_t payload[32] = {};
    const std::int64_t t = now_ns();
    std::memcpy(payload, &t, 8);
    std::memcpy(payload + 8, &seq, sizeof seq);
    send(i, sim::user_data(ids[i], Bytes(payload, payload + sizeof payload)));
  }
  // Logs every terminal on, fifty at a time (a burst of 500 would overrun
  // the centre's socket buffer); true when every LogonAck came.
  bool log_on() {
    std::vector<bool> on(fds.size(), false);
    for (int attempt = 0; attempt < 3; ++attempt)
      for (std::size_t first = 0; first < fds.size(); first += 50) {
        const std::size_t last = std::min(fds.size(), first + 50);
        for (std::size_t i = first; i < last; ++i) {
          if (on[i]) continue;
          send(i, sim::logon(ids[i], 0x7F000001, 0, false));  // states 127.0.0.1:0
        }
        for (std::size_t i = first; i < last; ++i) {
          pollfd p{fds[i], POLLIN, 0};
          std::uint8_t buf[64];
          if (!on[i] && ::poll(&p, 1, 1000) == 1 && ::recv(fds[i], buf, sizeof buf, 0) >= 2 && buf[1] == 0x81)
            on[i] = true;
        }
      }
    return std::count(on.begin(), on.end(), true) == static_cast<long>(fds.size());
  }
  // Closed loop: each terminal sends its next frame on its DataAck, until
  // `total` frames went.  The first frames go out fifty at a time; a frame
  // not acknowledged within a second is counted lost and the terminal goes
  // on.  The frames sent; the lost into *lost.
  long closed_loop(long total, long *lost) {
    long sent = 0;
    *lost = 0;
    std::vector<std::int64_t> last(fds.size(), 0);
    for (std::size_t i = 0; i < fds.size() && sent < total; ++i) {
      data(i, sent++);
      last[i] = now_ns();
      if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // epoll: the driver's own cost stays small beside the centre's.
    const int ep = epoll_create1(0);
    for (std::size_t i = 0; i < fds.size(); ++i) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u32 = static_cast<std::uint32_t>(i);
      epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
    }
    std::vector<epoll_event> ready(64);
    std::uint8_t buf[2048];
    std::int64_t next_scan = now_ns() + 200000000;
    while (sent < total) {
      const int n = epoll_wait(ep, ready.data(), static_cast<int>(ready.size()), 100);
      for (int k = 0; k < n && sent < total; ++k) {
        const std::size_t i = ready[static_cast<std::size_t>(k)].data.u32;
        while (::recv(fds[i], buf, sizeof buf, MSG_DONTWAIT) >= 2)
          if (buf[1] == 0x85 && sent < total) {
            data(i, sent++);
            last[i] = now_ns();
          }
      }
      const std::int64_t now = now_ns();
      if (now < next_scan) continue;
      next_scan = now + 200000000;
      for (std::size_t i = 0; i < fds.size() && sent < total; ++i)
        if (now - last[i] > 1000000000) {
          ++*lost;
          data(i, sent++);
          last[i] = now_ns();
        }
    }
    ::close(ep);
    return sent;
  }
  // Paced: `rate` frames per second over the fleet, `total` in all; the
  // acknowledgements are drained as they come.
  void paced(long total, double rate) {
    const std::int64_t start = now_ns();
    std::uint8_t buf[2048];
    for (long k = 0; k < total; ++k) {
      const std::int64_t due = start + static_cast<std::int64_t>(static_cast<double>(k) * 1e9 / rate);
      while (now_ns() < due) std::this_thread::sleep_for(std::chrono::microseconds(50));
      data(static_cast<std::size_t>(k) % fds.size(), k);
      if (k % 64 == 0)
        for (int fd : fds)
          while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
          }
    }
  }
};

void paced_publish(Publisher &pub, long total, double rate) {
  const std::int64_t start = now_ns();
  for (long k = 0; k < total; ++k) {
    const std::int64_t due = start + static_cast<std::int64_t>(static_cast<double>(k) * 1e9 / rate);
    while (now_ns() < due) std::this_thread::sleep_for(std::chrono::microseconds(50));
    pub.publish(k);
  }
}

double pct(std::vector<std::int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return static_cast<double>(v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))]) /
         1e6;
}

}  // namespace

int main(int argc, char **argv) {
  int terminals = 500;
  long total = 50000, paced_total = 20000;
  double rate = 5000;
  std::string csv;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--terminals") terminals = std::atoi(argv[i + 1]);
    else if (a == "--messages") total = std::atol(argv[i + 1]);
    else if (a == "--rate") rate = std::atof(argv[i + 1]);
    else if (a == "--csv") csv = argv[i + 1];
  }
  signal(SIGPIPE, SIG_IGN);
  char tmpl[] = "/tmp/dtumqtt-bench.XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::uint16_t port = free_port();
  {
    std::ofstream c(dir + "/mosquitto.conf");
    c << "user " << getpwuid(getuid())->pw_name << "\nallow_anonymous true\nlog_dest none\n"
      << "max_queued_messages 0\nlistener " << port << " 127.0.0.1\n";
  }
  const pid_t broker = fork();
  if (broker == 0) {
    execlp("mosquitto", "mosquitto", "-c", (dir + "/mosquitto.conf").c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 250 && !can_connect(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  mosquitto_lib_init();

  dtu::mqtt::Options o;
  o.port = port;
  o.centre = "bench";
  o.stats_interval = 0;
  dtu::svc::Config cfg;
  cfg.port = 0;
  cfg.recent_frames = 0;
  dtu::mqtt::adjust(&cfg, o);
  dtu::svc::Service svc(cfg);
  dtu::mqtt::Gateway gw;
  std::string why;
  if (!gw.attach(svc, o, &why) || !svc.start(&why)) {
    std::fprintf(stderr, "mqtt_bench: %s\n", why.c_str());
    return 1;
  }
  std::thread loop([&] {
    pthread_setname_np(pthread_self(), "centre loop");
    svc.run();
  });
  while (!gw.connected()) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  Subscriber centre_sub(port, "dtu/t/+/up");
  Subscriber plain_sub(port, "bench/plain");
  Publisher pub(port);
  Fleet fleet(terminals, svc.port());
  if (!fleet.log_on()) {
    std::fprintf(stderr, "mqtt_bench: not every terminal logged on\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // Throughput, five rounds each, alternating (the machine is shared); the
  // best of each.
  double best_plain = 0, best_centre = 0;
  long lost_total = 0;
  for (int round = 0; round < 5; ++round) {
    plain_sub.reset();
    std::int64_t t0 = now_ns();
    for (long k = 0; k < total; ++k) pub.publish(k);
    if (!plain_sub.wait_for(total, 60)) std::fprintf(stderr, "plain: %ld of %ld\n", plain_sub.count.load(), total);
    best_plain = std::max(best_plain, static_cast<double>(plain_sub.count.load()) * 1e9 /
                                          static_cast<double>(plain_sub.last_ns.load() - t0));
    centre_sub.reset();
    t0 = now_ns();
    long lost = 0;
    const long sent = fleet.closed_loop(total, &lost);
    centre_sub.wait_for(sent, 5);
    (void)lost;
    lost_total += sent - centre_sub.count.load();
    best_centre = std::max(best_centre, static_cast<double>(centre_sub.count.load()) * 1e9 /
                                            static_cast<double>(centre_sub.last_ns.load() - t0));
  }

  // Latency at a paced rate.
  plain_sub.reset();
  paced_publish(pub, paced_total, rate);
  plain_sub.wait_for(paced_total, 30);
  centre_sub.reset();
  fleet.paced(paced_total, rate);
  centre_sub.wait_for(paced_total, 30);
  std::vector<std::int64_t> lp, lc;
  {
    std::lock_guard<std::mutex> g(plain_sub.mu);
    lp = plain_sub.latency_ns;
  }
  {
    std::lock_guard<std::mutex> g(centre_sub.mu);
    lc = centre_sub.latency_ns;
  }

  std::printf("MQTT gateway benchmark: %d terminals, 32-byte payloads, QoS 1, one mosquitto on 127.0.0.1\n",
              terminals);
  std::printf("throughput (best of 5 x %ld messages):\n", total);
  std::printf("  plain libmosquitto publisher -> subscriber   %9.0f msg/s\n", best_plain);
  std::printf("  terminals -> centre -> broker -> subscriber   %9.0f msg/s  (DataAck after PUBACK)\n", best_centre);
  std::printf("  ratio centre / plain                          %9.2f\n", best_centre / best_plain);
  // The system's drop counter of the centre's socket: frames lost before
  // the centre could see them (its receive buffer full).
  std::uint64_t drops = 0;
  dtu::svc::read_udp_socket_drops(svc.bound_address(), svc.port(), &drops);
  std::printf("  (frames that never reached the subscriber: %ld of %ld; dropped by the system at the\n"
              "   centre's UDP socket, its receive buffer full: %llu)\n",
              lost_total, 5 * total, static_cast<unsigned long long>(drops));
  std::printf("latency at %.0f msg/s (%ld messages), send -> subscriber receipt:\n", rate, paced_total);
  std::printf("  plain publisher      p50 %7.3f ms  p99 %7.3f ms  (%zu received)\n", pct(lp, 0.5), pct(lp, 0.99),
              lp.size());
  std::printf("  through the centre   p50 %7.3f ms  p99 %7.3f ms  (%zu received)\n", pct(lc, 0.5), pct(lc, 0.99),
              lc.size());
  if (!csv.empty()) {
    // Cumulative distribution: percentile, plain ms, centre ms.
    std::sort(lp.begin(), lp.end());
    std::sort(lc.begin(), lc.end());
    std::ofstream out(csv);
    out << "percentile,plain_ms,centre_ms\n";
    for (int i = 1; i <= 1000; ++i) {
      const double p = i / 1000.0;
      out << p * 100 << "," << pct(lp, p - 1e-9) << "," << pct(lc, p - 1e-9) << "\n";
    }
    std::printf("wrote %s\n", csv.c_str());
  }

  svc.stop();
  loop.join();
  gw.close(1000);
  kill(broker, SIGTERM);
  waitpid(broker, nullptr, 0);
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
