// The server socket and everything that goes out through it: the frame
// sends of every subsystem, and the wire tap that sees the traffic both ways.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dtucentre.h"
#include "platform/platform.h"

namespace dtu {

// The server socket; kNoSocket while none is open.  Read by any thread.
platform::Socket server_socket();
// Makes `s` the server socket (start) and returns the one it replaces.
platform::Socket exchange_server_socket(platform::Socket s);

// Sends a finished frame over the server socket to ip:port (host order);
// true when the socket accepted it.
bool send_frame(const std::uint8_t *frame, std::size_t size, std::uint32_t ip, int port);
// A 16-byte command frame of `kind` carrying user.userId.
bool send_command_frame(std::uint32_t ip, int port, const UserInfo &user, int kind);
// A UserDataDown frame; `length` is at most 1024 and `data` holds it.
bool send_user_data_frame(std::uint32_t ip, int port, const char *terminal_id, const void *data,
                          std::size_t length);

void set_wire_tap(DtuWireTap tap, void *context);
// Reports a datagram to the tap, if one is set.  `length` bytes are at
// `bytes`; `wire_length` is the datagram's real size (larger for a datagram
// that did not fit the receive buffer).
void tap_datagram(int direction, std::uint32_t addr, std::uint16_t port, const std::uint8_t *bytes,
                  std::size_t length, std::size_t wire_length);

}  // namespace dtu
