// Round trips on 127.0.0.1: the library's receive path against the raw
// socket limit, measured side by side in one run.
//
//  library: a host thread in blocking do_read_proc with the built-in
//           handlers and ackFlag 1, 500 terminals on line;
//  limit:   a plain loop of one recvfrom and one 16-byte sendto.
// One load generator drives both: it keeps a window of user-data frames in
// flight, from all 500 IDs in turn (or from the terminal in the last slot),
// and times each frame to its acknowledgement.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dtucentre.h"
#include "server/server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  double rate = 0;  // round trips per second
  double p50_us = 0, p99_us = 0;
};

std::string id_of(int i) {
  char b[12];
  std::snprintf(b, sizeof b, "139%08d", i);
  return b;
}

std::vector<unsigned char> frame(unsigned char code, int terminal, std::size_t payload) {
  const std::string id = id_of(terminal);
  std::vector<unsigned char> f(code == 0x01 ? 22 : 16 + payload, 0x41);
  f[0] = 0x7B;
  f[1] = code;
  f[2] = 0;
  f[3] = code == 0x01 ? 22 : 16;
  std::memcpy(&f[4], id.data(), 11);
  f[15] = 0x7B;
  f.back() = 0x7B;
  return f;
}

int index_of(const unsigned char *reply) {
  char id[12] = {};
  std::memcpy(id, reply + 4, 11);
  return std::atoi(id + 3);
}

double percentile(std::vector<double> &v, double p) {
  if (v.empty()) return 0;
  const std::size_t k = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

// The load generator: `window` frames in flight from the terminals in
// [first, first + count), each timed to its reply, for `seconds`.
class Load {
 public:
  explicit Load(std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 1 << 21;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to_.sin_port = htons(port);
  }
  ~Load() { close(fd_); }

  void send(const std::vector<unsigned char> &f) {
    sendto(fd_, f.data(), f.size(), 0, reinterpret_cast<const sockaddr *>(&to_), sizeof to_);
  }
  // Waits for one reply; its bytes, or 0 on timeout.
  int receive(unsigned char *buf, int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return 0;
    return static_cast<int>(recv(fd_, buf, 64, 0));
  }

  Result run(unsigned char code, int first, int count, int window, double seconds) {
    std::vector<std::vector<unsigned char>> frames;
    for (int i = 0; i < count; ++i) frames.push_back(frame(code, first + i, 32));
    std::vector<Clock::time_point> sent_at(static_cast<std::size_t>(first + count));
    std::vector<std::vector<Clock::time_point>> queue(static_cast<std::size_t>(first + count));
    std::vector<double> rtts;
    rtts.reserve(1 << 20);
    int in_flight = 0, next = 0;
    long done = 0;
    unsigned char buf[64];
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      while (in_flight < window) {
        const int t = next;
        next = (next + 1) % count;
        queue[static_cast<std::size_t>(first + t)].push_back(Clock::now());
        send(frames[static_cast<std::size_t>(t)]);
        ++in_flight;
      }
      if (receive(buf, 1000) < 16) break;  // a lost reply ends the run
      const int t = index_of(buf);
      if (t < 0 || t >= first + count || queue[static_cast<std::size_t>(t)].empty()) continue;
      auto &q = queue[static_cast<std::size_t>(t)];
      rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - q.front()).count());
      q.erase(q.begin());
      --in_flight;
      ++done;
    }
    // Let the last replies in before the next measurement.
    while (in_flight > 0 && receive(buf, 200) > 0) --in_flight;
    Result r;
    r.rate = static_cast<double>(done) / std::chrono::duration<double>(Clock::now() - start).count();
    r.p50_us = percentile(rtts, 50);
    r.p99_us = percentile(rtts, 99);
    return r;
  }

 private:
  int fd_ = -1;
  sockaddr_in to_{};
};

// The raw limit: one recvfrom and one 16-byte sendto per datagram.
class RawLoop {
 public:
  RawLoop() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 65535;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] {
      unsigned char buf[1040];
      while (true) {
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
        if (n == 4 && std::memcmp(buf, "stop", 4) == 0) return;
        if (n < 16) continue;
        buf[1] = 0x85;
        sendto(fd_, buf, 16, 0, reinterpret_cast<sockaddr *>(&from), fl);
      }
    });
  }
  ~RawLoop() {
    Load(port_).send({'s', 't', 'o', 'p'});
    thread_.join();
    close(fd_);
  }
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

// The library in blocking mode with a host thread in do_read_proc.
class Centre {
 public:
  Centre() {
    SetWorkMode(0);
    SetCustomIP(htonl(INADDR_LOOPBACK));
    if (start_gprs_server(nullptr, 0, 0, nullptr) != 0) std::exit(1);
    port_ = dtu::server_port();
    thread_ = std::thread([this] {
      DataRecord r;
      while (!stop_) do_read_proc(&r, nullptr, 1);
    });
  }
  ~Centre() {
    stop_ = true;
    Load(port_).send({0, 0, 0});  // a short datagram wakes the reader
    thread_.join();
    stop_gprs_server(nullptr);
  }
  std::uint16_t port() const { return port_; }

 private:
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void print(const char *what, const Result &lib, const Result &raw) {
  std::printf("%-34s library %9.0f/s  p50 %6.1f us  p99 %6.1f us | limit %9.0f/s  p50 %6.1f us  p99 %6.1f us | "
              "ratio %.3f  p99 ratio %.2f\n",
              what, lib.rate, lib.p50_us, lib.p99_us, raw.rate, raw.p50_us, raw.p99_us, lib.rate / raw.rate,
              raw.p99_us > 0 ? lib.p99_us / raw.p99_us : 0.0);
  std::fflush(stdout);
}

// Logs terminals [from, to) on through `load`, as terminals do: each waits
// for its LogonAck.
void log_on(Load &load, int from, int to) {
  unsigned char buf[64];
  for (int i = from; i < to; ++i) {
    load.send(frame(0x01, i, 0));
    load.receive(buf, 1000);
  }
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 3.0;
  int window = 16;
  const char *sweep_file = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--window") && i + 1 < argc) window = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--sweep") && i + 1 < argc) sweep_file = argv[++i];
    else {
      std::fprintf(stderr, "usage: roundtrip_bench [--seconds S] [--window W] [--sweep FILE.csv]\n");
      return 2;
    }
  }
  std::printf("round trips on 127.0.0.1, %d in flight, %.1f s per measurement\n", window, seconds);
  RawLoop raw;
  Load raw_load(raw.port());
  {
    // The logon storm: 500 logons into an empty table, each acknowledged.
    Centre centre;
    Load load(centre.port());
    const auto t0 = Clock::now();
    log_on(load, 0, 500);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("%-34s %d logons in %.1f ms (%.1f us each, one at a time)\n", "logon storm:", get_online_user_amount(),
                s * 1000, s * 1e6 / 500);
  }
  Centre centre;
  Load load(centre.port());
  log_on(load, 0, 500);
  if (get_online_user_amount() != 500) {
    std::fprintf(stderr, "the table did not fill\n");
    return 1;
  }
  // Warm both paths, then measure them back to back.
  load.run(0x09, 0, 500, window, 0.3);
  raw_load.run(0x09, 0, 500, window, 0.3);
  const Result lib_all = load.run(0x09, 0, 500, window, seconds);
  const Result raw_all = raw_load.run(0x09, 0, 500, window, seconds);
  print("user data from all 500 terminals:", lib_all, raw_all);
  const Result lib_last = load.run(0x09, 499, 1, window, seconds);
  const Result raw_last = raw_load.run(0x09, 499, 1, window, seconds);
  print("terminal in the last slot:", lib_last, raw_last);

  if (sweep_file != nullptr) {
    // Throughput as the table fills: user data from the terminal logged on
    // last (at 0 the sender is not on line and gets NotLoggedOn).
    std::FILE *csv = std::fopen(sweep_file, "w");
    std::fprintf(csv, "terminals,library,limit\n");
    DeleteAllUser();
    int on_line = 0;
    for (int n = 0; n <= 500; n += 50) {
      log_on(load, on_line, n);
      on_line = n;
      const int sender = n == 0 ? 0 : n - 1;
      const Result l = load.run(0x09, sender, 1, window, seconds / 3);
      const Result r = raw_load.run(0x09, sender, 1, window, seconds / 3);
      std::fprintf(csv, "%d,%.0f,%.0f\n", n, l.rate, r.rate);
      std::printf("  %3d on line: library %9.0f/s  limit %9.0f/s\n", n, l.rate, r.rate);
    }
    std::fclose(csv);
  }
  return 0;
}
