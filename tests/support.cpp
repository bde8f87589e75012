#include "support.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
namespace {
int poll(pollfd *fds, unsigned long n, int timeout) { return WSAPoll(fds, n, timeout); }
int close_handle(SOCKET s) { return closesocket(s); }
// The tests' own sockets need the socket layer for the whole run.
struct SocketLayer {
  SocketLayer() {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
  }
} g_socket_layer;
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
namespace {
int close_handle(int fd) { return ::close(fd); }
}  // namespace
#endif

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/link.h"
#include "server/server.h"
#include "exports/module.h"
#include "sim/wire.h"

namespace test {

#ifdef _WIN32
const int kErrWouldBlock = WSAEWOULDBLOCK;
const int kErrMsgSize = WSAEMSGSIZE;
const int kErrAddrInUse = WSAEADDRINUSE;
const int kErrNoSocket = WSAENOTSOCK;
#else
const int kErrWouldBlock = EAGAIN;
const int kErrMsgSize = EMSGSIZE;
const int kErrAddrInUse = EADDRINUSE;
const int kErrNoSocket = EBADF;
#endif

std::uint32_t loopback_net() { return htonl(kLoopback); }

Bytes hex(const std::string &text) {
  Bytes out;
  unsigned v = 0;
  int digits = 0;
  for (char c : text) {
    if (c == ' ') continue;
    v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10);
    if (++digits == 2) {
      out.push_back(static_cast<std::uint8_t>(v));
      v = 0;
      digits = 0;
    }
  }
  return out;
}

int code_of(const Bytes &frame) { return frame.size() > 1 ? frame[1] : -1; }

std::string to_hex(const Bytes &b) {
  std::string s;
  char part[4];
  for (std::uint8_t c : b) {
    std::snprintf(part, sizeof part, "%02X ", c);
    s += part;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

// Frames come from the terminal side's own codec (tools/sim/wire), written
// apart from the library's.
Bytes head_frame(std::uint8_t code, const std::string &id, std::uint16_t length) {
  return sim::head(code, id, length);
}

Bytes logon_frame(const std::string &id, std::uint32_t addr, std::uint16_t port, bool long_form) {
  return sim::logon(id, addr, port, long_form);
}

Bytes data_frame(const std::string &id, const Bytes &payload) { return sim::user_data(id, payload); }

Bytes element(std::uint8_t tag, const Bytes &value) { return sim::encode_elements({{tag, value}}); }

Bytes text_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes param_reply(const std::string &id, const Bytes &elements) {
  return sim::frame_with_body(sim::kParamReadReply, id, elements);
}

Terminal::Terminal() {
  fd_ = static_cast<std::intptr_t>(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(kLoopback);
  if (::bind(static_cast<SocketHandle>(fd_), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) ADD_FAILURE() << "bind";
  socklen_t len = sizeof sa;
  ::getsockname(static_cast<SocketHandle>(fd_), reinterpret_cast<sockaddr *>(&sa), &len);
  port_ = ntohs(sa.sin_port);
}

Terminal::~Terminal() { close_handle(static_cast<SocketHandle>(fd_)); }

void Terminal::send(const Bytes &datagram, std::uint16_t to_port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(kLoopback);
  sa.sin_port = htons(to_port);
  ASSERT_EQ(::sendto(static_cast<SocketHandle>(fd_), reinterpret_cast<const char *>(datagram.data()), static_cast<int>(datagram.size()), 0,
                     reinterpret_cast<sockaddr *>(&sa), sizeof sa),
            static_cast<ssize_t>(datagram.size()));
}

Bytes Terminal::receive(int timeout_ms, bool *got) {
  pollfd p{};
  p.fd = static_cast<decltype(p.fd)>(fd_);
  p.events = POLLIN;
  Bytes b(2048);
  if (::poll(&p, 1, timeout_ms) == 1) {
    ssize_t n = ::recv(static_cast<SocketHandle>(fd_), reinterpret_cast<char *>(b.data()), static_cast<int>(b.size()), 0);
    if (n >= 0) {
      b.resize(static_cast<std::size_t>(n));
      if (got) *got = true;
      return b;
    }
  }
  if (got) *got = false;
  return {};
}

bool Terminal::quiet(int timeout_ms) {
  bool got = false;
  receive(timeout_ms, &got);
  return !got;
}

bool wait_readable(int timeout_ms) {
  pollfd p{};
  p.fd = static_cast<decltype(p.fd)>(dtu::server_socket());
  p.events = POLLIN;
  return ::poll(&p, 1, timeout_ms) == 1;
}

void reset_library_state() {
  dtu::reset_module();
}

void CentreTest::SetUp() {
  reset_library_state();
  SetCustomIP(loopback_net());
  SetWorkMode(1);
  ASSERT_EQ(start_gprs_server(nullptr, 0, 0, banner_), 0) << banner_;
  port_ = dtu::server_port();
  ASSERT_NE(port_, 0);
}

void CentreTest::TearDown() {
  stop_gprs_server(nullptr);
  reset_library_state();
}

int CentreTest::deliver(Terminal &t, const Bytes &datagram, DataRecord *record, int ack,
                        char *message) {
  t.send(datagram, port_);
  EXPECT_TRUE(wait_readable());
  return do_read_proc(record, message, ack);
}

void CentreTest::log_on(Terminal &t, const std::string &id) {
  DataRecord r;
  ASSERT_EQ(deliver(t, logon_frame(id), &r), 0);
  ASSERT_EQ(r.dataType, 1);
  Bytes ack = t.receive();
  ASSERT_EQ(ack.size(), 16u);
  ASSERT_EQ(ack[1], 0x81);
}

}  // namespace test
