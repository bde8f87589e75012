// The server endpoint: start and stop, local addresses and the banner's
// filter list, and the receive path.
#pragma once

#include <cstdint>

#include "dtucentre.h"
#include "platform/platform.h"

namespace dtu {

// Port the server socket is bound to, 0 when none is open (for tests and
// tools that start on port 0).
std::uint16_t server_port();

// Start and stop: true on success, with the banner, the stopped text or an
// error text in `buffer` (may be NULL).
bool start_server(void *window, unsigned message, int port, char *buffer);
bool stop_server(char *buffer);
void set_work_mode(int mode);
// Stores the receive buffer size for every later start (0: the default) and
// applies it to the open socket; the size the socket has now, 0 without one.
int set_receive_buffer(int bytes);
// The local host name in name[0..size); false with an error text in
// `buffer` when there is none to give (NULL name, size 0 or less included).
bool read_host_name(char *name, int size, char *buffer);

// The filter list of the banner (four slots, network order) and the custom
// IP.  Slots match by their first two octets; see addresses.cpp.
bool add_filter_address(std::uint32_t address);
bool remove_filter_address(std::uint32_t address);
int filter_slot_of(std::uint32_t address);  // -1 when none
int filter_count();
std::uint32_t filter_address(int slot);     // 0 for an empty slot or a bad number
void set_custom_ip(std::uint32_t address);
std::uint32_t custom_ip();
std::uint32_t bound_address();              // what the last start bound to

// Clears bytes 0-1058 of a record; byte 1059 is never touched.
void reset_data_record(DataRecord *record);
// Receives one datagram into `record` (not NULL) and dispatches it; false
// with a text in `message` (may be NULL) for a receive error or a refused frame.
bool read_datagram(DataRecord *record, char *message, int ack_flag);
// The part of read_datagram that follows the receive: one datagram of `size`
// bytes from addr:port (host order).  True for a datagram under 16 bytes.
bool dispatch_datagram(const std::uint8_t *datagram, int size, std::uint32_t addr,
                      std::uint16_t port, DataRecord *record, char *message, int ack_flag);

}  // namespace dtu
