// The platform layer: what the centre needs of the operating system, behind
// one small interface.  One implementation per system (posix/, win32/); CMake
// picks the folder.  Subsystem code includes only this header.
//
// Contract:
//  - Results: 0 or a count for success, -1 for failure; after a failure,
//    last_error() gives the system's socket error code (errno on POSIX,
//    WSAGetLastError() on Windows).  No function allocates per call except
//    resolve_host (called at start only).
//  - Addresses passed as `net` are IPv4 values in network byte order; those
//    passed as `host` are in host byte order.
//  - The lock is recursive and usable from load to process exit; it is
//    never destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/thread_annotations.h"

namespace dtu::platform {

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// Starts and releases the socket layer (a no-op pair on POSIX).
int net_startup();
int net_cleanup();
int last_error();
// Sets the value last_error() reports (used when the layer itself detects a
// failure, such as a datagram too large for the caller's area).
void set_last_error(int code);

// A UDP socket, non-blocking from birth when asked (so that no reader can
// ever block on it before the start has set it up).
Socket udp_open(bool nonblocking);
int set_buffer_sizes(Socket s, int bytes);  // receive, then send buffer
// Sets the receive buffer alone, past the system's ordinary cap where the
// process may; the size the socket then has (in the units asked), or -1.
int set_receive_buffer(Socket s, int bytes);
int bind_ipv4(Socket s, std::uint32_t addr_net, std::uint16_t port_host);
int set_nonblocking(Socket s, bool on);
// Asks for `message` to reach `window` whenever a datagram waits on `s`.
int register_window(Socket s, void *window, unsigned message);
// Shuts the socket down, which wakes a thread blocked in recv_from on it
// (that receive fails with the interrupted-call error), then closes it.
int close_socket(Socket s);
// The port the socket is bound to (host order), 0 when unknown.
std::uint16_t local_port(Socket s);

// Receives one datagram into buf[0..cap).  Returns its size, or -1 on
// failure; a datagram larger than `cap` is consumed and counts as a failure
// with the system's message-size error code.  A receive error that does not
// stand for a datagram (a stale ICMP report on Windows) is skipped.
// `wire_size`, when given, is set to 0, or for a datagram larger than `cap`
// to its real size (cap + 1 where the system does not tell), with the source
// and buf[0..cap) filled.
int recv_from(Socket s, void *buf, std::size_t cap, std::uint32_t *addr_host,
              std::uint16_t *port_host, std::size_t *wire_size = nullptr);
// Sends one datagram; 0 when the socket accepted it, -1 otherwise.
int send_to(Socket s, const void *buf, std::size_t len, std::uint32_t addr_host,
            std::uint16_t port_host);

// Local host name, NUL-terminated within `size` bytes.
int host_name(char *name, std::size_t size);
// Resolves `name` to its IPv4 addresses in the resolver's order; stores up to
// `cap` of them and returns how many there are in all, or -1 on failure.
int resolve_host(const char *name, std::uint32_t *addrs_net, int cap);
// Dotted text of an address; `out` holds at least 16 bytes.
void format_ipv4(std::uint32_t addr_net, char *out);

// Seconds since 1970-01-01 00:00 UTC, cut to 32 bits.
std::uint32_t now_seconds();
// "%Y-%m-%d %H:%M:%S" of `seconds` in local time: 19 characters and a NUL.
void format_local_time(std::uint32_t seconds, char out[20]);

// format_local_time with the last second's text kept per thread: datagrams
// that arrive within one second share one conversion.
inline void local_time_text(std::uint32_t seconds, char out[20]) {
  thread_local std::uint32_t cached_seconds = 0;
  thread_local char cached[20] = {};
  if (seconds != cached_seconds || cached[0] == '\0') {
    format_local_time(seconds, cached);
    cached_seconds = seconds;
  }
  std::memcpy(out, cached, 20);
}

// The server lock: recursive.  Made when the module loads and never torn
// down, so that it may be taken at any time, during the process's exit too.
class CAPABILITY("mutex") Lock {
 public:
  Lock();
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;
  void lock() ACQUIRE();
  void unlock() RELEASE();
  // For the few unlocked operations whose caller has the state to itself by
  // the host's contract (the interface's one-host-thread rules): tells the
  // checker so, and marks the place in the code.
  void assume_exclusive() const ASSERT_CAPABILITY(this) {}

 private:
  alignas(std::max_align_t) unsigned char storage_[64];  // the system's lock object
};

class SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Lock &lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~LockGuard() RELEASE() { lock_.unlock(); }
  LockGuard(const LockGuard &) = delete;
  LockGuard &operator=(const LockGuard &) = delete;

 private:
  Lock &lock_;
};

}  // namespace dtu::platform
