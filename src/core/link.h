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
void set_datagram_tap(DtuDatagramTap tap, void *context);
// Reports a datagram to the taps that are set.  `length` bytes are at
// `bytes`; `wire_length` is the datagram's real size (larger for a datagram
// that did not fit the receive buffer).  The datagram tap also gets the
// frame's code and ID: for one coming in, when it passes the head check.
void tap_datagram(int direction, std::uint32_t addr, std::uint16_t port, const std::uint8_t *bytes,
                  std::size_t length, std::size_t wire_length);

// The error number of the calling thread's last receive or start
// (dtu_last_error): each do_read_proc and start_gprs_server notes 0 first,
// then the system's number when its receive, socket or bind step fails.
void note_socket_error(int code);
int noted_socket_error();

}  // namespace dtu
