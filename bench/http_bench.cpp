// The HTTP side under load, beside the UDP receive path, in one run:
//
//  raw:  the centre (service loop + HTTP side attached, no requests) answering
//        a closed-loop load of user data from 500 terminals (16 frames in
//        flight, round robin over the IDs): round trips per second;
//  api:  the same, while wrk fetches GET /api/terminals as fast as it can:
//        the UDP rate again, and wrk's requests per second and p99;
//  lag:  an open-loop fleet (500 terminals, --lag-rate frames/s in all) with a
//        page-like event-stream client (?fleet=true): the time from sending a
//        datagram on 127.0.0.1 to reading its data event, p50/p99/max; once
//        idle and once with wrk running.
// raw and api alternate (--rounds times) and the ratio is of their medians.
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
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http.h"
#include "service.h"
#include "sim/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
double now_s() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

struct Args {
  int terminals = 500;
  double seconds = 5;
  int window = 16;
  int lag_rate = 2000;
  std::string wrk = "wrk -t2 -c8";
  std::string path = "/api/terminals";
  std::string priority = "nice";
  int rounds = 3;
};

std::string id_of(int i) {
  char b[12];
  std::snprintf(b, sizeof b, "139%08d", i + 1);
  return b;
}

int udp_socket(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  int big = 1 << 22;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  return fd;
}

bool wait_code(int fd, std::uint8_t code, int ms) {
  std::uint8_t buf[2048];
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    sim::Frame f;
    if (n > 0 && sim::parse(buf, static_cast<std::size_t>(n), &f) && f.code == code) return true;
  }
  return false;
}

// Closed loop: `window` frames in flight; the number answered in `seconds`.
double round_trips(int fd, const std::vector<sim::Bytes> &frames, int window, double seconds) {
  std::uint8_t buf[2048];
  std::size_t next = 0;
  for (int i = 0; i < window; ++i, ++next) send(fd, frames[next % frames.size()].data(), frames[next % frames.size()].size(), 0);
  long answered = 0;
  const double start = now_s(), end = start + seconds;
  while (now_s() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) {
      // A lost datagram: top the window up again.
      for (int i = 0; i < window; ++i, ++next) send(fd, frames[next % frames.size()].data(), frames[next % frames.size()].size(), 0);
      continue;
    }
    while (true) {
      const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      if (buf[1] == sim::kDataAck) {
        ++answered;
        const sim::Bytes &f = frames[next++ % frames.size()];
        send(fd, f.data(), f.size(), 0);
      }
    }
  }
  const double rate = static_cast<double>(answered) / (now_s() - start);
  // Drain what is still in flight.
  while (wait_code(fd, sim::kDataAck, 100)) {
  }
  return rate;
}

struct WrkResult {
  double rps = 0;
  std::string p50, p99;
};

WrkResult parse_wrk(const std::string &out) {
  WrkResult r;
  std::size_t at = out.find("Requests/sec:");
  if (at != std::string::npos) r.rps = std::atof(out.c_str() + at + 13);
  auto pick = [&](const char *label) {
    std::size_t p = out.find(label);
    if (p == std::string::npos) return std::string("?");
    p += std::strlen(label);
    while (out[p] == ' ') ++p;
    std::size_t e = out.find('\n', p);
    return out.substr(p, e - p);
  };
  r.p50 = pick("     50%");
  r.p99 = pick("     99%");
  return r;
}

std::future<std::string> start_wrk(const Args &a, std::uint16_t http_port, double seconds) {
  char cmd[512];
  std::snprintf(cmd, sizeof cmd, "%s -d%ds --latency http://127.0.0.1:%u%s 2>&1", a.wrk.c_str(),
                static_cast<int>(seconds), http_port, a.path.c_str());
  std::string c = cmd;
  return std::async(std::launch::async, [c] {
    std::string out;
    if (FILE *p = popen(c.c_str(), "r")) {
      char buf[4096];
      for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
      pclose(p);
    }
    return out;
  });
}

// Event-stream client: the arrival time of each data event, by sequence
// number (the payload is "L<seq>").
class LagReader {
 public:
  LagReader(std::uint16_t port, std::size_t capacity) : seen_(capacity, 0.0) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) std::perror("connect");
    const std::string req = "GET /api/events?fleet=true HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    send(fd_, req.data(), req.size(), 0);
    thread_ = std::thread([this] { read(); });
  }
  ~LagReader() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  double seen(std::size_t seq) const { return seq < seen_.size() ? seen_[seq] : 0; }

 private:
  void read() {
    std::string buf;
    char chunk[65536];
    for (;;) {
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      const double t = now_s();
      buf.append(chunk, static_cast<std::size_t>(n));
      std::size_t pos = 0;
      while (true) {
        const std::size_t at = buf.find("\"data\":\"L", pos);
        if (at == std::string::npos) break;
        const std::size_t seq = std::strtoull(buf.c_str() + at + 9, nullptr, 10);
        if (seq < seen_.size() && seen_[seq] == 0) seen_[seq] = t;
        pos = at + 9;
      }
      const std::size_t keep = buf.rfind('\n');
      if (keep != std::string::npos) buf.erase(0, keep + 1);
    }
  }
  int fd_ = -1;
  std::vector<double> seen_;
  std::thread thread_;
};

struct Lag {
  double p50 = 0, p99 = 0, max = 0;
  std::size_t sent = 0, seen = 0;
};

// Open loop: `rate` frames per second over all terminals for `seconds`.
Lag lag_run(int fd, std::uint16_t http_port, const std::vector<std::string> &ids, int rate, double seconds) {
  const std::size_t total = static_cast<std::size_t>(rate * seconds);
  LagReader reader(http_port, total);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<double> sent(total);
  std::atomic<bool> stop{false};
  std::thread drain([&] {
    std::uint8_t buf[2048];
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) recv(fd, buf, sizeof buf, 0);
    }
  });
  const double start = now_s();
  for (std::size_t i = 0; i < total; ++i) {
    const double due = start + static_cast<double>(i) / rate;
    while (now_s() < due) std::this_thread::sleep_for(std::chrono::microseconds(100));
    const std::string payload = "L" + std::to_string(i);
    const sim::Bytes f = sim::user_data(ids[i % ids.size()], sim::Bytes(payload.begin(), payload.end()));
    sent[i] = now_s();
    send(fd, f.data(), f.size(), 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  stop = true;
  drain.join();
  std::vector<double> lags;
  for (std::size_t i = 0; i < total; ++i)
    if (reader.seen(i) > 0) lags.push_back(reader.seen(i) - sent[i]);
  Lag l;
  l.sent = total;
  l.seen = lags.size();
  if (lags.empty()) return l;
  std::sort(lags.begin(), lags.end());
  l.p50 = lags[lags.size() / 2] * 1000;
  l.p99 = lags[std::min(lags.size() - 1, lags.size() * 99 / 100)] * 1000;
  l.max = lags.back() * 1000;
  return l;
}

}  // namespace

int main(int argc, char **argv) {
  Args a;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--terminals") a.terminals = std::atoi(v.c_str());
    else if (k == "--seconds") a.seconds = std::atof(v.c_str());
    else if (k == "--window") a.window = std::atoi(v.c_str());
    else if (k == "--lag-rate") a.lag_rate = std::atoi(v.c_str());
    else if (k == "--wrk") a.wrk = v;
    else if (k == "--path") a.path = v;
    else if (k == "--priority") a.priority = v;
    else if (k == "--rounds") a.rounds = std::max(1, std::atoi(v.c_str()));
    else {
      std::fprintf(stderr, "usage: http_bench [--terminals N] [--seconds S] [--window W] [--lag-rate R] [--wrk 'wrk -t2 -c8'] [--path /api/terminals] [--priority idle|nice|normal] [--rounds N]\n");
      return 2;
    }
  }

  dtu::svc::Config cfg;
  cfg.port = 0;
  cfg.idle_timeout = 0;
  dtu::svc::Service svc(cfg);
  std::promise<std::uint16_t> http_port;
  std::unique_ptr<dtu::http::Front> web;
  std::thread loop([&] {
    std::string why;
    dtu::http::Options ho;
    ho.listen = "127.0.0.1:0";
    ho.priority = a.priority;
    web = dtu::http::attach(svc, ho, &why);
    if (!web || !svc.start(&why)) {
      std::fprintf(stderr, "http_bench: %s\n", why.c_str());
      std::exit(1);
    }
    http_port.set_value(web->port());
    svc.run();
  });
  const std::uint16_t hport = http_port.get_future().get();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::uint16_t uport = 0;
  {
    std::promise<std::uint16_t> p;
    svc.post([&](dtu::svc::Service &s) { p.set_value(s.port()); });
    uport = p.get_future().get();
  }

  const int fd = udp_socket(uport);
  std::vector<std::string> ids;
  std::vector<sim::Bytes> frames;
  for (int i = 0; i < a.terminals; ++i) {
    ids.push_back(id_of(i));
    const sim::Bytes logon = sim::logon(ids.back(), 0x7F000001, 0, false);
    bool ok = false;
    for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
      send(fd, logon.data(), logon.size(), 0);
      ok = wait_code(fd, sim::kLogonAck, 500);
    }
    if (!ok) {
      std::fprintf(stderr, "http_bench: terminal %s got no LogonAck\n", ids.back().c_str());
      return 1;
    }
    frames.push_back(sim::user_data(ids.back(), sim::Bytes(16, 'x')));
  }
  std::printf("%d terminals on line; centre UDP %u, HTTP %u (server threads %s); %.0f s per phase, %d frames in flight; wrk: %s\n",
              a.terminals, uport, hport, a.priority.c_str(), a.seconds, a.window, a.wrk.c_str());

  std::vector<double> raws, apis, rps;
  for (int round = 0; round < a.rounds; ++round) {
    const double raw = round_trips(fd, frames, a.window, a.seconds);
    std::printf("raw: %.0f round trips/s\n", raw);
    auto w = start_wrk(a, hport, a.seconds + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double api = round_trips(fd, frames, a.window, a.seconds);
    const WrkResult wr = parse_wrk(w.get());
    std::printf("api: %.0f round trips/s; GET %s %.0f requests/s, p50 %s, p99 %s\n", api, a.path.c_str(), wr.rps,
                wr.p50.c_str(), wr.p99.c_str());
    raws.push_back(raw);
    apis.push_back(api);
    rps.push_back(wr.rps);
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("medians of %d rounds: raw %.0f/s, api %.0f/s, ratio api/raw %.3f; %.0f requests/s\n", a.rounds,
              median(raws), median(apis), median(apis) / median(raws), median(rps));

  const Lag idle = lag_run(fd, hport, ids, a.lag_rate, a.seconds);
  std::printf("lag (%d frames/s, no API load): p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu of %zu events seen)\n",
              a.lag_rate, idle.p50, idle.p99, idle.max, idle.seen, idle.sent);
  auto w = start_wrk(a, hport, a.seconds + 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Lag busy = lag_run(fd, hport, ids, a.lag_rate, a.seconds);
  const WrkResult wr = parse_wrk(w.get());
  std::printf("lag (%d frames/s, wrk on the API, %.0f requests/s): p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu of %zu)\n",
              a.lag_rate, wr.rps, busy.p50, busy.p99, busy.max, busy.seen, busy.sent);

  svc.stop();
  loop.join();
  web.reset();
  close(fd);
  return 0;
}
