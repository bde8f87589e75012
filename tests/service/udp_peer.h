// A terminal's end for the service tests: a UDP socket on 127.0.0.1 (a free
// port) that sends to the centre and reads what comes back.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace test {

using Bytes = std::vector<std::uint8_t>;

class Udp {
 public:
  // receive_buffer: bytes asked for the socket's receive buffer past the
  // system's limit (root); 0 leaves the system's default.
  explicit Udp(int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    if (receive_buffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer);
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
  }
  // The next datagram, or nothing within timeout_ms.
  std::optional<Bytes> receive(int timeout_ms = 3000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return std::nullopt;
    Bytes b(2048);
    const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
    if (n < 0) return std::nullopt;
    b.resize(static_cast<std::size_t>(n));
    return b;
  }
  // The code byte of the next datagram, -1 for none.
  int next_code(int timeout_ms = 3000) {
    auto b = receive(timeout_ms);
    return b && b->size() > 1 ? (*b)[1] : -1;
  }
  // How many datagrams arrive within timeout_ms of each other.
  int drain(int timeout_ms = 500) {
    int n = 0;
    while (receive(timeout_ms)) ++n;
    return n;
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace test
