// Windows implementation of the platform layer: Windows Sockets 2, a
// critical section as the server lock, and the system clock.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace dtu::platform {
namespace {

SOCKET sock_of(Socket s) { return static_cast<SOCKET>(s); }

sockaddr_in make_addr(std::uint32_t addr_net, std::uint16_t port_host) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port_host);
  sa.sin_addr.s_addr = addr_net;
  return sa;
}

CRITICAL_SECTION *section(unsigned char *storage) { return reinterpret_cast<CRITICAL_SECTION *>(storage); }

// Host-name calls need the socket layer even before a start; each takes its
// own reference so that a host may ask for the name at any time.
class SocketLayerRef {
 public:
  SocketLayerRef() {
    WSADATA data;
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~SocketLayerRef() {
    if (ok_) {
      const int saved = WSAGetLastError();
      WSACleanup();
      WSASetLastError(saved);
    }
  }

 private:
  bool ok_ = false;
};

}  // namespace

int net_startup() {
  WSADATA data;
  const int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) WSASetLastError(rc);
  return rc == 0 ? 0 : -1;
}

int net_cleanup() { return WSACleanup() == 0 ? 0 : -1; }
int last_error() { return WSAGetLastError(); }
void set_last_error(int code) { WSASetLastError(code); }

Socket udp_open(bool nonblocking) {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return kNoSocket;
  u_long on = nonblocking ? 1 : 0;
  ioctlsocket(s, FIONBIO, &on);
  // Keep ICMP port-unreachable reports from surfacing as receive errors.
  BOOL report = FALSE;
  DWORD bytes = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &bytes, nullptr, nullptr);
  return static_cast<Socket>(s);
}

int set_buffer_sizes(Socket s, int bytes) {
  const char *v = reinterpret_cast<const char *>(&bytes);
  int a = ::setsockopt(sock_of(s), SOL_SOCKET, SO_RCVBUF, v, sizeof bytes);
  int b = ::setsockopt(sock_of(s), SOL_SOCKET, SO_SNDBUF, v, sizeof bytes);
  return (a == 0 && b == 0) ? 0 : -1;
}

int set_receive_buffer(Socket s, int bytes) {
  if (::setsockopt(sock_of(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes) != 0)
    return -1;
  int granted = 0;
  int len = sizeof granted;
  if (::getsockopt(sock_of(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char *>(&granted), &len) != 0) return -1;
  return granted;
}

int bind_ipv4(Socket s, std::uint32_t addr_net, std::uint16_t port_host) {
  sockaddr_in sa = make_addr(addr_net, port_host);
  return ::bind(sock_of(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int set_nonblocking(Socket s, bool on) {
  u_long arg = on ? 1 : 0;
  return ::ioctlsocket(sock_of(s), FIONBIO, &arg) == 0 ? 0 : -1;
}

int register_window(Socket s, void *window, unsigned message) {
  return ::WSAAsyncSelect(sock_of(s), static_cast<HWND>(window), message, FD_READ) == 0 ? 0 : -1;
}

int close_socket(Socket s) {
  if (s == kNoSocket) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  return ::closesocket(sock_of(s)) == 0 ? 0 : -1;
}

std::uint16_t local_port(Socket s) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (::getsockname(sock_of(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

int recv_from(Socket s, void *buf, std::size_t cap, std::uint32_t *addr_host,
              std::uint16_t *port_host, std::size_t *wire_size) {
  if (wire_size != nullptr) *wire_size = 0;
  if (s == kNoSocket) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  for (;;) {
    sockaddr_in sa{};
    int len = sizeof sa;
    const int n = ::recvfrom(sock_of(s), static_cast<char *>(buf), static_cast<int>(cap), 0,
                             reinterpret_cast<sockaddr *>(&sa), &len);
    if (n == SOCKET_ERROR) {
      // A report of an earlier send to an unreachable terminal is no
      // datagram: skip it.  A datagram too large fails with WSAEMSGSIZE.
      const int error = WSAGetLastError();
      if (error == WSAECONNRESET) continue;
      if (error == WSAEMSGSIZE) {
        // The first `cap` bytes and the source are there; the real size is not told.
        *addr_host = ntohl(sa.sin_addr.s_addr);
        *port_host = ntohs(sa.sin_port);
        if (wire_size != nullptr) *wire_size = cap + 1;
        WSASetLastError(error);
      }
      return -1;
    }
    *addr_host = ntohl(sa.sin_addr.s_addr);
    *port_host = ntohs(sa.sin_port);
    return n;
  }
}

int send_to(Socket s, const void *buf, std::size_t len, std::uint32_t addr_host,
            std::uint16_t port_host) {
  if (s == kNoSocket) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  sockaddr_in sa = make_addr(htonl(addr_host), port_host);
  const int n = ::sendto(sock_of(s), static_cast<const char *>(buf), static_cast<int>(len), 0,
                         reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  return n == SOCKET_ERROR ? -1 : 0;
}

int host_name(char *name, std::size_t size) {
  if (name == nullptr || size == 0) {
    WSASetLastError(WSAEFAULT);
    return -1;
  }
  SocketLayerRef layer;
  if (::gethostname(name, static_cast<int>(size)) != 0) return -1;
  name[size - 1] = '\0';
  return 0;
}

int resolve_host(const char *name, std::uint32_t *addrs_net, int cap) {
  SocketLayerRef layer;
  const hostent *he = ::gethostbyname(name);
  if (he == nullptr || he->h_addrtype != AF_INET) return -1;
  int total = 0;
  for (char **p = he->h_addr_list; *p != nullptr; ++p, ++total) {
    if (total < cap) std::memcpy(&addrs_net[total], *p, 4);
  }
  return total;
}

void format_ipv4(std::uint32_t addr_net, char *out) {
  unsigned char b[4];
  std::memcpy(b, &addr_net, 4);
  std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

std::uint32_t now_seconds() { return static_cast<std::uint32_t>(std::time(nullptr)); }

void format_local_time(std::uint32_t seconds, char out[20]) {
  // Seconds since 1970 to a FILETIME (100 ns since 1601), then to the local
  // time of the system's time zone, daylight saving of that date included.
  const ULONGLONG ticks = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  SYSTEMTIME utc, local;
  if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    std::memset(out, 0, 20);
    return;
  }
  std::snprintf(out, 20, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear % 10000u, local.wMonth, local.wDay,
                local.wHour, local.wMinute, local.wSecond);
}

// The lock's storage holds a critical section, initialised while the module
// loads and never deleted, so it can be taken before a start and after a stop.
static_assert(sizeof(CRITICAL_SECTION) <= 64 && alignof(CRITICAL_SECTION) <= alignof(std::max_align_t),
              "the lock's storage holds the critical section");
Lock::Lock() { InitializeCriticalSection(section(storage_)); }
void Lock::lock() { EnterCriticalSection(section(storage_)); }
void Lock::unlock() { LeaveCriticalSection(section(storage_)); }

}  // namespace dtu::platform
