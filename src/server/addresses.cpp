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

int get_filter_ip_count() {
  int count = 0;
  for (int i = 0; i < kFilterSlots; ++i) count += filter()[i] != 0;
  return count;
}

int find_filter_ip(std::uint32_t address) {
  if (address == 0 || get_filter_ip_count() == 0) {
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

int add_filter_ip(std::uint32_t address) {
  if (find_filter_ip(address) != -1) return -1;
  int free_slot = find_filter_ip(0);
  if (free_slot == -1) return -1;
  filter()[free_slot] = address;
  return 0;
}

int del_filter_ip(std::uint32_t address) {
  if (address == 0) {
    filter()[0] = 0;
    return 0;
  }
  int slot = find_filter_ip(address);
  if (slot == -1) return -1;
  filter()[slot] = 0;
  return 0;
}

std::uint32_t get_ip(int slot) { return slot >= 0 && slot < kFilterSlots ? filter()[slot] : 0; }

std::uint32_t set_custom_ip(std::uint32_t address) {
  g_centre.settings.custom_ip = address;
  return address;
}

std::uint32_t custom_ip() { return g_centre.settings.custom_ip; }

}  // namespace dtu
