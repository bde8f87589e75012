#include "core/link.h"

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

void tap_datagram(int direction, std::uint32_t addr, std::uint16_t port, const std::uint8_t *bytes,
                  std::size_t length, std::size_t wire_length) {
  const DtuWireTap tap = g_centre.link.tap.load(std::memory_order_acquire);
  if (tap == nullptr) return;
  tap(g_centre.link.tap_context.load(std::memory_order_acquire), direction, addr, port, bytes,
      static_cast<int>(length), static_cast<int>(wire_length));
}

}  // namespace dtu
