// Shared test support: a terminal on a real UDP socket, a running centre on
// 127.0.0.1 with an ephemeral port, and frame builders from the terminal
// side's codec (tools/sim/wire), written apart from the library's.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dtucentre.h"

namespace test {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;  // host order

// The socket error codes the library reports on this platform.
extern const int kErrWouldBlock;
extern const int kErrMsgSize;
extern const int kErrAddrInUse;
extern const int kErrNoSocket;  // a receive with no socket open
std::uint32_t loopback_net();                     // network order

Bytes hex(const std::string &text);  // "7B 81 00 10" -> bytes
std::string to_hex(const Bytes &b);
// The code byte of a received frame, -1 when nothing arrived.
int code_of(const Bytes &frame);

// Frames as a terminal builds them (tools/sim/wire).
Bytes head_frame(std::uint8_t code, const std::string &id, std::uint16_t length = 16);
Bytes logon_frame(const std::string &id, std::uint32_t addr = 0xC0A80102, std::uint16_t port = 8080,
                  bool long_form = false);
Bytes data_frame(const std::string &id, const Bytes &payload);
// A ParamReadReply carrying the given elements (already tag|elen|value).
Bytes param_reply(const std::string &id, const Bytes &elements);
Bytes element(std::uint8_t tag, const Bytes &value);
Bytes text_bytes(const std::string &s);

// A field terminal: its own UDP socket on 127.0.0.1.
class Terminal {
 public:
  Terminal();
  ~Terminal();
  Terminal(const Terminal &) = delete;
  Terminal &operator=(const Terminal &) = delete;

  std::uint16_t port() const { return port_; }
  void send(const Bytes &datagram, std::uint16_t to_port);
  // The next datagram within timeout_ms, or an empty vector with *got false.
  Bytes receive(int timeout_ms = 2000, bool *got = nullptr);
  // True when nothing arrives within timeout_ms.
  bool quiet(int timeout_ms = 100);

 private:
  std::intptr_t fd_ = -1;
  std::uint16_t port_ = 0;
};

// Waits until the server socket is readable (up to timeout_ms).
bool wait_readable(int timeout_ms = 2000);

// Starts the centre on 127.0.0.1, port 0, in non-blocking mode with the
// built-in handlers and an empty table; stops it at the end.
class CentreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sends from `t` and runs do_read_proc once the datagram is there.
  int deliver(Terminal &t, const Bytes &datagram, DataRecord *record, int ack = 1,
              char *message = nullptr);
  // Logs `id` on from `t` and consumes the LogonAck.
  void log_on(Terminal &t, const std::string &id);

  std::uint16_t port_ = 0;
  char banner_[DTU_MAX_BANNER_BYTES] = {};
};

// Puts the built-in handlers back and clears the library's module state.
void reset_library_state();

}  // namespace test
