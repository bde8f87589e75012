// The banner's filter list (four slots) and the custom IP.  Addresses are in
// network order; "first two octets" are the first two bytes in memory.
#include <cstring>

#include "core/state.h"
#include "server/server.h"

namespace dtu {
namespace {

std::uint32_t *filter() { return g_centre.settings.filter; }

// The first two octets of an address, as they lie in memory.
std::uint16_t head_octets(std::uint32_t address) {
  std::uint16_t head;
  std::memcpy(&head, &address, sizeof head);
  return head;
}

}  // namespace

int filter_count() {
  int count = 0;
  for (int i = 0; i < kFilterSlots; ++i) count += filter()[i] != 0;
  return count;
}

int filter_slot_of(std::uint32_t address) {
  if (address == 0 || filter_count() == 0) {
    for (int i = 0; i < kFilterSlots; ++i)
      if (filter()[i] == address) return i;
    return -1;
  }
  const std::uint16_t key = head_octets(address);
  for (int i = 0; i < kFilterSlots; ++i) {
    const std::uint16_t head = head_octets(filter()[i]);
    if (head != 0 && head == key) return i;
  }
  return -1;
}

bool add_filter_address(std::uint32_t address) {
  if (filter_slot_of(address) != -1) return false;
  int free_slot = filter_slot_of(0);
  if (free_slot == -1) return false;
  filter()[free_slot] = address;
  return true;
}

bool remove_filter_address(std::uint32_t address) {
  if (address == 0) {
    filter()[0] = 0;
    return true;
  }
  int slot = filter_slot_of(address);
  if (slot == -1) return false;
  filter()[slot] = 0;
  return true;
}

std::uint32_t filter_address(int slot) { return slot >= 0 && slot < kFilterSlots ? filter()[slot] : 0; }

void set_custom_ip(std::uint32_t address) { g_centre.settings.custom_ip = address; }

std::uint32_t custom_ip() { return g_centre.settings.custom_ip; }

}  // namespace dtu
