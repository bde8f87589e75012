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

int start_gprs_server(void *window, unsigned message, int port, char *buffer);
int stop_gprs_server(char *buffer);
int set_work_mode(int mode);
int get_server_name(char *name, int size, char *buffer);

int add_filter_ip(std::uint32_t address);
int del_filter_ip(std::uint32_t address);
int find_filter_ip(std::uint32_t address);
int get_filter_ip_count();
std::uint32_t get_ip(int slot);
std::uint32_t set_custom_ip(std::uint32_t address);
std::uint32_t custom_ip();
std::uint32_t get_current_ip();

// Clears bytes 0-1058 of a record; byte 1059 is never touched.
void reset_data_record(DataRecord *record);
int do_read_proc(DataRecord *record, char *message, int ack_flag);
// The part of do_read_proc that follows the receive: one datagram of `size`
// bytes from addr:port (host order).
int dispatch_datagram(const std::uint8_t *datagram, int size, std::uint32_t addr,
                      std::uint16_t port, DataRecord *record, char *message, int ack_flag);

}  // namespace dtu
