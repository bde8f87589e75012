// What the pinning tests share: terminals as real UDP sockets on 127.0.0.1
// that count what they send and receive, a running service (optionally with
// its HTTP side) on a loop thread of its own, and the events it emitted.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http.h"
#include "service.h"
#include "sim/wire.h"

namespace pins {

using namespace dtu::svc;
using Bytes = std::vector<std::uint8_t>;

inline Bytes logon(const std::string &id) { return sim::logon(id, 0x0A000007, 8080, false); }
inline Bytes data(const std::string &id, const std::string &payload) {
  return sim::user_data(id, Bytes(payload.begin(), payload.end()));
}

// Datagrams and bytes every Udp has sent and received since the last reset.
struct Traffic {
  std::uint64_t sent = 0, sent_bytes = 0, received = 0, received_bytes = 0;
};
inline Traffic &traffic() {
  static Traffic t;
  return t;
}

class Udp {
 public:
  Udp() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  ~Udp() { ::close(fd_); }
  Udp(const Udp &) = delete;
  Udp &operator=(const Udp &) = delete;
  std::uint16_t port() const { return port_; }
  void send(const Bytes &b, std::uint16_t to) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(to);
    ::sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    ++traffic().sent;
    traffic().sent_bytes += b.size();
  }
  std::optional<Bytes> receive(int timeout_ms = 3000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return std::nullopt;
    Bytes b(2048);
    const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
    if (n < 0) return std::nullopt;
    b.resize(static_cast<std::size_t>(n));
    ++traffic().received;
    traffic().received_bytes += b.size();
    return b;
  }
  int next_code(int timeout_ms = 3000) {
    auto b = receive(timeout_ms);
    return b && b->size() > 1 ? (*b)[1] : -1;
  }
  // Reads whatever is waiting (and counts it).
  void drain(int quiet_ms = 150) {
    while (receive(quiet_ms)) {
    }
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A running service; construct, start(), and it stops on destruction.
class Centre {
 public:
  ~Centre() { stop(); }
  void start(Config c, bool with_http = false) {
    c.bind = "127.0.0.1";
    c.port = 0;
    svc = std::make_unique<Service>(c);
    svc->subscribe([this](const Event &e) {
      std::lock_guard<std::mutex> g(mutex_);
      events_.push_back(e);
      cv_.notify_all();
    });
    std::string why;
    if (with_http) {
      dtu::http::Options h;
      h.listen = "127.0.0.1:0";
      h.priority = "normal";
      http = dtu::http::attach(*svc, h, &why);
      ASSERT_TRUE(http) << why;
    }
    ASSERT_TRUE(svc->start(&why)) << why;
    port = svc->port();
    loop_ = std::thread([this] { svc->run(); });
  }
  void stop() {
    if (!svc) return;
    http.reset();
    svc->stop();
    loop_.join();
    svc.reset();
  }
  std::optional<Event> wait(EventType type, const std::string &id = "", int timeout_ms = 5000) {
    std::unique_lock<std::mutex> g(mutex_);
    std::optional<Event> found;
    cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
      if (taken_.size() < events_.size()) taken_.resize(events_.size());
      for (std::size_t i = 0; i < events_.size(); ++i)
        if (!taken_[i] && events_[i].type == type && (id.empty() || events_[i].id == id)) {
          taken_[i] = true;
          found = events_[i];
          return true;
        }
      return false;
    });
    return found;
  }
  std::size_t count(EventType type) {
    std::lock_guard<std::mutex> g(mutex_);
    std::size_t n = 0;
    for (const Event &e : events_) n += e.type == type;
    return n;
  }
  template <typename F>
  auto call(F f) -> decltype(f(std::declval<Service &>())) {
    using R = decltype(f(std::declval<Service &>()));
    auto p = std::make_shared<std::promise<R>>();
    auto fut = p->get_future();
    svc->post([p, f](Service &s) mutable {
      if constexpr (std::is_void_v<R>) {
        f(s);
        p->set_value();
      } else {
        p->set_value(f(s));
      }
    });
    return fut.get();
  }
  void log_on(Udp &t, const std::string &id) {
    t.send(logon(id), port);
    ASSERT_EQ(t.next_code(), 0x81) << id;
    ASSERT_TRUE(wait(EventType::kLogon, id));
  }

  std::unique_ptr<Service> svc;
  std::unique_ptr<dtu::http::Front> http;
  std::uint16_t port = 0;

 private:
  std::thread loop_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::vector<bool> taken_;
};

// The body of GET `path` from 127.0.0.1:port ("" when it fails); the status
// code in *status.
inline std::string http_get(std::uint16_t port, const std::string &path, int *status = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  std::string all;
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    (void)!::write(fd, req.data(), req.size());
    char buf[65536];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) break;
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      all.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (status) *status = all.size() > 12 ? std::atoi(all.c_str() + 9) : 0;
  const std::size_t body = all.find("\r\n\r\n");
  return body == std::string::npos ? "" : all.substr(body + 4);
}

}  // namespace pins
