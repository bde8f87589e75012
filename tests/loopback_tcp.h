// TCP ports on 127.0.0.1 for tests and benchmarks that start a server of
// their own (a broker): a free port to give it, and whether it listens yet.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace loopback_tcp {

inline sockaddr_in address(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

// A port nothing listens on now (the kernel's choice for port 0).
inline std::uint16_t free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = address(0);
  ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  ::close(fd);
  return ntohs(sa.sin_port);
}

inline bool can_connect(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = address(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
  ::close(fd);
  return ok;
}

}  // namespace loopback_tcp
