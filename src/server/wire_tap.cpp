#include "server/wire_tap.h"

#include <atomic>

namespace dtu {
namespace {

// The context is stored before the function and read after it, so a reader
// that sees a new function also sees its context.
std::atomic<void *> g_context{nullptr};
std::atomic<DtuWireTap> g_tap{nullptr};

}  // namespace

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
