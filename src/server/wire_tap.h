// The wire tap: an optional host function that sees every datagram the
// server socket receives and every one the library sends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dtucentre.h"

namespace dtu {

void set_wire_tap(DtuWireTap tap, void *context);
// Reports a datagram to the tap, if one is set.  `length` bytes are at
// `bytes`; `wire_length` is the datagram's real size (larger for a datagram
// that did not fit the receive buffer).
void tap_datagram(int direction, std::uint32_t addr, std::uint16_t port, const std::uint8_t *bytes,
                  std::size_t length, std::size_t wire_length);

}  // namespace dtu
