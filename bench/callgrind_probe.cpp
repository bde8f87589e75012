// A fixed workload for instruction counting: user data from the terminal in
// the last slot of a full table, and from terminals spread over the table,
// through do_read_proc with the built-in handlers and acknowledgements.
// Run under `valgrind --tool=callgrind --toggle-collect=do_read_proc`; the
// count of instructions inside do_read_proc divided by the datagrams gives
// the work per datagram around the receive and the send.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dtucentre.h"
#include "core/link.h"
#include "server/server.h"

namespace {

std::vector<unsigned char> frame(unsigned char code, const std::string &id, std::size_t payload) {
  std::vector<unsigned char> f(16 + payload, 0x20);
  f[0] = 0x7B;
  f[1] = code;
  f[2] = 0;
  f[3] = code == 0x01 ? 22 : 16;
  std::memset(&f[4], 0, 11);
  std::memcpy(&f[4], id.data(), id.size());
  f[15] = 0x7B;
  if (code == 0x01) {
    f.resize(22, 0);
    f[21] = 0x7B;
  }
  return f;
}

std::string id_of(int i) {
  char b[12];
  std::snprintf(b, sizeof b, "139%08d", i);
  return b;
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  const bool spread = argc > 2 && std::strcmp(argv[2], "spread") == 0;
  SetWorkMode(1);
  in_addr lo{};
  lo.s_addr = htonl(INADDR_LOOPBACK);
  SetCustomIP(lo.s_addr);
  if (start_gprs_server(nullptr, 0, 0, nullptr) != 0) return 1;
  sockaddr_in centre{};
  centre.sin_family = AF_INET;
  centre.sin_addr = lo;
  centre.sin_port = htons(dtu::server_port());
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int big = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  auto send = [&](const std::vector<unsigned char> &f) {
    sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&centre), sizeof centre);
  };
  auto drain_replies = [&] {
    unsigned char b[64];
    while (recv(fd, b, sizeof b, MSG_DONTWAIT) > 0) {
    }
  };
  DataRecord r;
  auto read_all = [&](int n) {
    for (int i = 0; i < n; ++i) {
      pollfd p{static_cast<int>(dtu::server_socket()), POLLIN, 0};
      poll(&p, 1, 1000);
      do_read_proc(&r, nullptr, 1);
    }
  };
  for (int i = 0; i < 500; ++i) {
    send(frame(0x01, id_of(i), 0));
    if (i % 50 == 49) {
      read_all(50);
      drain_replies();
    }
  }
  if (get_online_user_amount() != 500) return 2;
  const int batch = 50;
  int k = 0;
  for (int round = 0; round < rounds / batch; ++round) {
    for (int i = 0; i < batch; ++i, ++k) send(frame(0x09, id_of(spread ? (k * 7) % 500 : 499), 32));
    read_all(batch);
    drain_replies();
  }
  stop_gprs_server(nullptr);
  std::printf("%d datagrams\n", rounds / batch * batch);
  return 0;
}
