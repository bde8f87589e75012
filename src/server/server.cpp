// Start and stop of the UDP endpoint, its work modes and the start banner.
#include "server/server.h"

#include <cstdio>
#include <cstring>

#include "core/link.h"
#include "core/state.h"
#include "core/texts.h"
#include "users/user_table.h"

namespace dtu {
namespace {

Settings &settings() { return g_centre.settings; }

constexpr int kModeBlocking = 0;
constexpr int kModeNonBlocking = 1;
constexpr int kSocketBufferBytes = 65535;
constexpr int kHostNameSize = 128;

void copy_text(char *buffer, const char *text) {
  if (buffer != nullptr) std::strcpy(buffer, text);
}

// Where an append writes: the end of the text already in `buffer`.
char *text_end(char *buffer) { return buffer + std::strlen(buffer); }

// The banner: started text, port, "---", host name, "(", then every
// unfiltered local address with two spaces and ")" -- or, with a custom IP,
// nothing more here: the bind step appends the custom IP and ")".
bool build_banner(int port, char *buffer) {
  if (buffer != nullptr) buffer[0] = '\0';
  char host[kHostNameSize];
  if (!read_host_name(host, kHostNameSize, buffer)) return false;

  std::uint32_t addresses[DTU_MAX_BANNER_ADDRESSES];
  int total = platform::resolve_host(host, addresses, DTU_MAX_BANNER_ADDRESSES);
  if (total < 0) {
    copy_text(buffer, text::kCantGetHost);
    return false;
  }
  if (buffer != nullptr) std::sprintf(text_end(buffer), "%s%d---%s(", text::kStarted, port, host);
  const bool listing = custom_ip() == 0;
  const int listed = total < DTU_MAX_BANNER_ADDRESSES ? total : DTU_MAX_BANNER_ADDRESSES;
  for (int i = 0; i < listed; ++i) {
    if (filter_slot_of(addresses[i]) != -1 || !listing) continue;
    char dotted[16];
    platform::format_ipv4(addresses[i], dotted);
    if (buffer != nullptr) std::sprintf(text_end(buffer), "%s  ", dotted);
  }
  if (listing && buffer != nullptr) std::strcat(buffer, ")");
  if (total == 0) {
    copy_text(buffer, text::kNoAddress);
    return false;
  }
  return true;
}

void close_server_socket() {
  platform::Socket s = exchange_server_socket(platform::kNoSocket);
  if (s != platform::kNoSocket) platform::close_socket(s);
}

}  // namespace

std::uint16_t server_port() {
  platform::Socket s = server_socket();
  return s == platform::kNoSocket ? 0 : platform::local_port(s);
}

std::uint32_t bound_address() { return settings().bound_address; }

void set_work_mode(int mode) { settings().work_mode = mode; }

int set_receive_buffer(int bytes) {
  settings().receive_buffer = bytes;
  platform::Socket s = server_socket();
  if (s == platform::kNoSocket) return 0;
  const int granted = platform::set_receive_buffer(s, bytes);
  return granted < 0 ? 0 : granted;
}

bool read_host_name(char *name, int size, char *buffer) {
  if (name == nullptr || size <= 0 || platform::host_name(name, static_cast<std::size_t>(size)) != 0) {
    copy_text(buffer, text::kNoHostName);
    return false;
  }
  return true;
}

bool start_server(void *window, unsigned message, int port, char *buffer) {
  note_socket_error(0);
  copy_text(buffer, text::kNotInitialized);
  // The server lock lives as long as the process; nothing to create here.
  if (platform::net_startup() != 0) {
    copy_text(buffer, text::kNotInitialized);
    return false;
  }
  const int mode = settings().work_mode;
  const bool window_mode = mode != kModeBlocking && mode != kModeNonBlocking;
  if (mode >= 2 && window == nullptr) return false;
  if (!build_banner(port, buffer)) return false;

  // A second start without a stop would otherwise leak the first socket.
  close_server_socket();
  // The socket is published (made the server socket that receives and sends
  // use) only once this start is done with it, so that no reader on another
  // thread picks it up half set up; it is born non-blocking unless the mode
  // is blocking.  A socket that failed to bind or to reach its window is
  // published all the same: it stays the server socket until the stop.
  platform::Socket s = platform::udp_open(mode != kModeBlocking);
  if (s == platform::kNoSocket) {
    note_socket_error(platform::last_error());
    copy_text(buffer, text::kSocketFailed);
    return false;
  }
  platform::set_buffer_sizes(s, kSocketBufferBytes);
  if (settings().receive_buffer > 0) platform::set_receive_buffer(s, settings().receive_buffer);

  const std::uint32_t custom = custom_ip();
  settings().bound_address = custom;
  if (custom != 0) {
    char dotted[16];
    platform::format_ipv4(custom, dotted);
    if (buffer != nullptr) std::sprintf(text_end(buffer), "%s)", dotted);
  }
  if (platform::bind_ipv4(s, custom, static_cast<std::uint16_t>(port)) != 0) {
    const int error = platform::last_error();
    note_socket_error(error);
    if (buffer != nullptr) std::sprintf(buffer, text::kBindFailed, error);
    exchange_server_socket(s);
    return false;
  }

  if (!window_mode) {
    if (platform::set_nonblocking(s, mode == kModeNonBlocking) != 0) {
      platform::close_socket(s);
      platform::net_cleanup();
      return false;
    }
  } else if (platform::register_window(s, window, message) != 0) {
    copy_text(buffer, text::kInitFailed);
    exchange_server_socket(s);
    return false;
  }
  end_all_sessions();
  exchange_server_socket(s);
  return true;
}

bool stop_server(char *buffer) {
  copy_text(buffer, text::kStopped);
  // Closing leaves no handle behind: a later send fails instead of reaching
  // whatever reuses the descriptor number.
  close_server_socket();
  if (platform::net_cleanup() != 0) {
    if (buffer != nullptr) std::sprintf(buffer, text::kStopError, platform::last_error());
    return false;
  }
  return true;
}

}  // namespace dtu
