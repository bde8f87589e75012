#include "core/link.h"

#include <cstring>

#include "core/state.h"
#include "frame/frame.h"

namespace dtu {
platform::Socket server_socket() { return g_centre.link.socket.load(std::memory_order_relaxed); }

platform::Socket exchange_server_socket(platform::Socket s) { return g_centre.link.socket.exchange(s); }

bool send_frame(const std::uint8_t *frame, std::size_t size, std::uint32_t ip, int port) {
  const auto port16 = static_cast<std::uint16_t>(port);
  if (platform::send_to(server_socket(), frame, size, ip, port16) != 0) return false;
  tap_datagram(DTU_WIRE_OUT, ip, port16, frame, size, size);
  return true;
}

bool send_command_frame(std::uint32_t ip, int port, const UserInfo &user, int kind) {
  std::uint8_t frame[kHeadSize];
  build_cmd_frame(frame, user, kind);
  return send_frame(frame, sizeof frame, ip, port);
}

bool send_user_data_frame(std::uint32_t ip, int port, const char *terminal_id, const void *data,
                          std::size_t length) {
  std::uint8_t frame[kMaxDatagram];
  const std::size_t size = build_data_frame(frame, terminal_id, data, length);
  return send_frame(frame, size, ip, port);
}

void set_wire_tap(DtuWireTap tap, void *context) {
  g_centre.link.tap.store(nullptr, std::memory_order_release);
  g_centre.link.tap_context.store(context, std::memory_order_release);
  g_centre.link.tap.store(tap, std::memory_order_release);
}

void set_datagram_tap(DtuDatagramTap tap, void *context) {
  g_centre.link.datagram_tap.store(nullptr, std::memory_order_release);
  g_centre.link.datagram_tap_context.store(context, std::memory_order_release);
  g_centre.link.datagram_tap.store(tap, std::memory_order_release);
}

namespace {

// The code and ID the datagram tap reports.  A datagram in carries them
// when it came whole and passes the same head check as the dispatch; every
// frame the library sends was built with a head, so its code and ID field
// are read as they stand.
void describe_head(DtuDatagram &d, const std::uint8_t *bytes, std::size_t length,
                   std::size_t wire_length) {
  d.code = DTU_WIRE_NO_CODE;
  std::memset(d.terminalId, 0, sizeof d.terminalId);
  if (d.direction == DTU_WIRE_IN) {
    if (wire_length > length) return;  // too large: never dispatched
    std::uint16_t field = 0;
    const int code = check_frame(bytes, length, d.terminalId, &field);
    if (code < 0) {
      std::memset(d.terminalId, 0, sizeof d.terminalId);
      return;
    }
    d.code = code;
  } else if (length >= kHeadSize) {
    d.code = bytes[FrameHeader::kCode];
    get_id_field(bytes + kIdOffset, d.terminalId);
  }
}

}  // namespace

void tap_datagram(int direction, std::uint32_t addr, std::uint16_t port, const std::uint8_t *bytes,
                  std::size_t length, std::size_t wire_length) {
  const DtuWireTap tap = g_centre.link.tap.load(std::memory_order_acquire);
  if (tap != nullptr) {
    tap(g_centre.link.tap_context.load(std::memory_order_acquire), direction, addr, port, bytes,
        static_cast<int>(length), static_cast<int>(wire_length));
  }
  const DtuDatagramTap datagram_tap = g_centre.link.datagram_tap.load(std::memory_order_acquire);
  if (datagram_tap == nullptr) return;
  DtuDatagram d;
  d.direction = direction;
  d.addr = addr;
  d.port = port;
  d.bytes = bytes;
  d.length = static_cast<int>(length);
  d.wireLength = static_cast<int>(wire_length);
  describe_head(d, bytes, length, wire_length);
  datagram_tap(g_centre.link.datagram_tap_context.load(std::memory_order_acquire), &d);
}

namespace {
// Per thread, like errno: readers on several threads each see their own.
thread_local int t_socket_error = 0;
}  // namespace

void note_socket_error(int code) { t_socket_error = code; }
int noted_socket_error() { return t_socket_error; }

}  // namespace dtu
