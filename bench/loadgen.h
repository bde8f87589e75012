// The load generator and the raw socket loop of the round-trip benchmarks:
// user-data frames from many terminal IDs kept in flight over 127.0.0.1,
// each timed to its acknowledgement.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Result {
  double rate = 0;  // round trips per second
  double p50_us = 0, p99_us = 0;
};

inline std::string id_of(int i) {
  char b[12];
  std::snprintf(b, sizeof b, "139%08d", i);
  return b;
}

inline std::vector<unsigned char> frame(unsigned char code, int terminal, std::size_t payload) {
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

inline int index_of(const unsigned char *reply) {
  char id[12] = {};
  std::memcpy(id, reply + 4, 11);
  return std::atoi(id + 3);
}

inline double percentile(std::vector<double> &v, double p) {
  if (v.empty()) return 0;
  const std::size_t k = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

// `window` frames in flight from the terminals in [first, first + count),
// each timed to its reply, for `seconds`.
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
  Load(const Load &) = delete;
  Load &operator=(const Load &) = delete;

  void send(const std::vector<unsigned char> &f) {
    sendto(fd_, f.data(), f.size(), 0, reinterpret_cast<const sockaddr *>(&to_), sizeof to_);
  }
  int receive(unsigned char *buf, int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return 0;
    return static_cast<int>(recv(fd_, buf, 64, 0));
  }
  // Terminals [from, to) log on, each waiting for its LogonAck.
  void log_on(int from, int to) {
    unsigned char buf[64];
    for (int i = from; i < to; ++i) {
      send(frame(0x01, i, 0));
      receive(buf, 1000);
    }
  }

  Result run(unsigned char code, int first, int count, int window, double seconds) {
    std::vector<std::vector<unsigned char>> frames;
    for (int i = 0; i < count; ++i) frames.push_back(frame(code, first + i, 32));
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

inline void print(const char *what, const char *name, const Result &a, const Result &raw) {
  std::printf("%-34s %s %9.0f/s  p50 %6.1f us  p99 %6.1f us | limit %9.0f/s  p50 %6.1f us  p99 %6.1f us | "
              "ratio %.3f  p99 ratio %.2f\n",
              what, name, a.rate, a.p50_us, a.p99_us, raw.rate, raw.p50_us, raw.p99_us, a.rate / raw.rate,
              raw.p99_us > 0 ? a.p99_us / raw.p99_us : 0.0);
  std::fflush(stdout);
}

}  // namespace bench
