#include "core/link.h"

#include <atomic>

#include "frame/frame.h"

namespace dtu {
namespace {

// Written by start and stop only; atomic so that senders on other threads
// read it cleanly.
std::atomic<platform::Socket> g_socket{platform::kNoSocket};

// The context is stored before the function and read after it, so a reader
// that sees a new function also sees its context.
std::atomic<void *> g_context{nullptr};
std::atomic<DtuWireTap> g_tap{nullptr};

}  // namespace

platform::Socket server_socket() { return g_socket.load(std::memory_order_relaxed); }

platform::Socket exchange_server_socket(platform::Socket s) { return g_socket.exchange(s); }

int send_frame(const std::uint8_t *frame, std::size_t size, std::uint32_t ip, int port) {
  const auto port16 = static_cast<std::uint16_t>(port);
  const int rc = platform::send_to(server_socket(), frame, size, ip, port16);
  if (rc == 0) tap_datagram(DTU_WIRE_OUT, ip, port16, frame, size, size);
  return rc;
}

int send_command_frame(std::uint32_t ip, int port, const UserInfo *user, int kind) {
  if (user == nullptr) return -1;
  std::uint8_t frame[kHeadSize];
  build_cmd_frame(frame, *user, kind);
  return send_frame(frame, sizeof frame, ip, port);
}

int send_user_data_frame(std::uint32_t ip, int port, const char *terminal_id, const void *data,
                         std::uint32_t length) {
  if (terminal_id == nullptr || length > kMaxUserData) return -1;
  if (data == nullptr && length != 0) return -1;
  std::uint8_t frame[kMaxDatagram];
  const std::size_t size = build_data_frame(frame, terminal_id, data, length);
  return send_frame(frame, size, ip, port);
}

void set_wire_tap(DtuWireTap tap, void *context) {
  g_tap.store(nullptr, std::memory_order_release);
  g_context.store(context, std::memory_order_release);
  g_tap.store(tap, std::memory_order_release);
}

void tap_datagram(int direction, std::uint32_t addr, std::uint16_t port, const std::uint8_t *bytes,
                  std::size_t length, std::size_t wire_length) {
  const DtuWireTap tap = g_tap.load(std::memory_order_acquire);
  if (tap == nullptr) return;
  tap(g_context.load(std::memory_order_acquire), direction, addr, port, bytes,
      static_cast<int>(length), static_cast<int>(wire_length));
}

}  // namespace dtu
