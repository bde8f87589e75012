// POSIX implementation of the platform layer: BSD sockets, a recursive
// mutex, time(2) and localtime_r.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <new>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/posix/notifier.h"

namespace dtu::platform {
namespace {

int fd_of(Socket s) { return static_cast<int>(s); }

sockaddr_in make_addr(std::uint32_t addr_net, std::uint16_t port_host) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port_host);
  sa.sin_addr.s_addr = addr_net;
  return sa;
}

}  // namespace

int net_startup() { return 0; }
int net_cleanup() { return 0; }
int last_error() { return errno; }
void set_last_error(int code) { errno = code; }

Socket udp_open(bool nonblocking) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  return fd < 0 ? kNoSocket : fd;
}

int set_buffer_sizes(Socket s, int bytes) {
  int a = ::setsockopt(fd_of(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  int b = ::setsockopt(fd_of(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  return (a == 0 && b == 0) ? 0 : -1;
}

int set_receive_buffer(Socket s, int bytes) {
  bool set = false;
#if defined(SO_RCVBUFFORCE)
  // Only a privileged process may pass net.core.rmem_max; others fall back.
  set = ::setsockopt(fd_of(s), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0;
#endif
  if (!set && ::setsockopt(fd_of(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return -1;
  int granted = 0;
  socklen_t len = sizeof granted;
  if (::getsockopt(fd_of(s), SOL_SOCKET, SO_RCVBUF, &granted, &len) != 0) return -1;
#if defined(__linux__)
  granted /= 2;  // Linux reports twice the size, its bookkeeping included
#endif
  return granted;
}

int bind_ipv4(Socket s, std::uint32_t addr_net, std::uint16_t port_host) {
  sockaddr_in sa = make_addr(addr_net, port_host);
  return ::bind(fd_of(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int set_nonblocking(Socket s, bool on) {
  int flags = ::fcntl(fd_of(s), F_GETFL);
  if (flags < 0) return -1;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd_of(s), F_SETFL, flags) == 0 ? 0 : -1;
}

int register_window(Socket s, void *window, unsigned message) {
  // As with a window message, a registered socket never blocks a receive.
  if (notifier_watch(static_cast<DtuNotifier *>(window), fd_of(s), message) != 0) return -1;
  return set_nonblocking(s, true);
}

int close_socket(Socket s) {
  if (s == kNoSocket) {
    errno = EBADF;
    return -1;
  }
  // Without the shutdown, a thread blocked in a receive would keep the
  // socket (and its port) alive after the close and handle the next
  // datagram.  On an unconnected socket shutdown reports ENOTCONN, but it
  // still wakes the receivers.
  ::shutdown(fd_of(s), SHUT_RDWR);
  return ::close(fd_of(s)) == 0 ? 0 : -1;
}

std::uint16_t local_port(Socket s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd_of(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

int recv_from(Socket s, void *buf, std::size_t cap, std::uint32_t *addr_host,
              std::uint16_t *port_host, std::size_t *wire_size) {
  if (wire_size != nullptr) *wire_size = 0;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  // MSG_TRUNC makes the kernel report the datagram's real size.
  ssize_t n = ::recvfrom(fd_of(s), buf, cap, MSG_TRUNC, reinterpret_cast<sockaddr *>(&sa), &len);
  if (n < 0) return -1;
  if (n == 0 && len == 0) {
    // No datagram, no source: the socket was shut down under the receive.
    errno = EINTR;
    return -1;
  }
  *addr_host = ntohl(sa.sin_addr.s_addr);
  *port_host = ntohs(sa.sin_port);
  if (static_cast<std::size_t>(n) > cap) {
    if (wire_size != nullptr) *wire_size = static_cast<std::size_t>(n);
    errno = EMSGSIZE;
    return -1;
  }
  return static_cast<int>(n);
}

int send_to(Socket s, const void *buf, std::size_t len, std::uint32_t addr_host,
            std::uint16_t port_host) {
  if (s == kNoSocket) {
    errno = EBADF;
    return -1;
  }
  sockaddr_in sa = make_addr(htonl(addr_host), port_host);
  ssize_t n = ::sendto(fd_of(s), buf, len, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  return n < 0 ? -1 : 0;
}

int host_name(char *name, std::size_t size) {
  if (name == nullptr || size == 0) {
    errno = EINVAL;
    return -1;
  }
  if (::gethostname(name, size) != 0) return -1;
  name[size - 1] = '\0';
  return 0;
}

int resolve_host(const char *name, std::uint32_t *addrs_net, int cap) {
  hostent entry{};
  hostent *result = nullptr;
  char work[8192];
  int herr = 0;
  if (::gethostbyname_r(name, &entry, work, sizeof work, &result, &herr) != 0 ||
      result == nullptr || result->h_addrtype != AF_INET) {
    errno = herr == 0 ? EINVAL : herr;
    return -1;
  }
  int total = 0;
  for (char **p = result->h_addr_list; *p != nullptr; ++p, ++total) {
    if (total < cap) std::memcpy(&addrs_net[total], *p, 4);
  }
  return total;
}

void format_ipv4(std::uint32_t addr_net, char *out) {
  in_addr a{};
  a.s_addr = addr_net;
  if (::inet_ntop(AF_INET, &a, out, INET_ADDRSTRLEN) == nullptr) out[0] = '\0';
}

std::uint32_t now_seconds() { return static_cast<std::uint32_t>(::time(nullptr)); }

void format_local_time(std::uint32_t seconds, char out[20]) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (::localtime_r(&t, &tm) == nullptr ||
      std::strftime(out, 20, "%Y-%m-%d %H:%M:%S", &tm) != 19) {
    std::memset(out, 0, 20);
  }
}

// The lock's storage holds a std::recursive_mutex, built in place and never
// destroyed.
static_assert(sizeof(std::recursive_mutex) <= 64 && alignof(std::recursive_mutex) <= alignof(std::max_align_t),
              "the lock's storage holds the mutex");
Lock::Lock() { new (storage_) std::recursive_mutex(); }
void Lock::lock() { std::launder(reinterpret_cast<std::recursive_mutex *>(storage_))->lock(); }
void Lock::unlock() { std::launder(reinterpret_cast<std::recursive_mutex *>(storage_))->unlock(); }

}  // namespace dtu::platform
