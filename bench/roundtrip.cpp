// Round trips on 127.0.0.1: the library's receive path against the raw
// socket limit, measured side by side in one run.
//
//  library: a host thread in blocking do_read_proc with the built-in
//           handlers and ackFlag 1, 500 terminals on line;
//  limit:   a plain loop of one recvfrom and one 16-byte sendto.
// One load generator drives both: it keeps a window of user-data frames in
// flight, from all 500 IDs in turn (or from the terminal in the last slot),
// and times each frame to its acknowledgement.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dtucentre.h"
#include "loadgen.h"
#include "server/server.h"

namespace {

using bench::Clock;
using bench::Load;
using bench::RawLoop;
using bench::Result;
using bench::id_of;
using bench::frame;

// The library in blocking mode with a host thread in do_read_proc.
class Centre {
 public:
  Centre() {
    SetWorkMode(0);
    SetCustomIP(htonl(INADDR_LOOPBACK));
    if (start_gprs_server(nullptr, 0, 0, nullptr) != 0) std::exit(1);
    port_ = dtu::server_port();
    thread_ = std::thread([this] {
      DataRecord r;
      while (!stop_) do_read_proc(&r, nullptr, 1);
    });
  }
  ~Centre() {
    stop_ = true;
    Load(port_).send({0, 0, 0});  // a short datagram wakes the reader
    thread_.join();
    stop_gprs_server(nullptr);
  }
  std::uint16_t port() const { return port_; }

 private:
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void print(const char *what, const Result &lib, const Result &raw) {
  bench::print(what, "library", lib, raw);
}

// Logs terminals [from, to) on through `load`, as terminals do: each waits
// for its LogonAck.
void log_on(Load &load, int from, int to) {
  unsigned char buf[64];
  for (int i = from; i < to; ++i) {
    load.send(frame(0x01, i, 0));
    load.receive(buf, 1000);
  }
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 3.0;
  int window = 16;
  const char *sweep_file = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--window") && i + 1 < argc) window = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--sweep") && i + 1 < argc) sweep_file = argv[++i];
    else {
      std::fprintf(stderr, "usage: roundtrip_bench [--seconds S] [--window W] [--sweep FILE.csv]\n");
      return 2;
    }
  }
  std::printf("round trips on 127.0.0.1, %d in flight, %.1f s per measurement\n", window, seconds);
  RawLoop raw;
  Load raw_load(raw.port());
  {
    // The logon storm: 500 logons into an empty table, each acknowledged.
    Centre centre;
    Load load(centre.port());
    const auto t0 = Clock::now();
    log_on(load, 0, 500);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("%-34s %d logons in %.1f ms (%.1f us each, one at a time)\n", "logon storm:", get_online_user_amount(),
                s * 1000, s * 1e6 / 500);
  }
  Centre centre;
  Load load(centre.port());
  log_on(load, 0, 500);
  if (get_online_user_amount() != 500) {
    std::fprintf(stderr, "the table did not fill\n");
    return 1;
  }
  // Warm both paths, then measure them back to back.
  load.run(0x09, 0, 500, window, 0.3);
  raw_load.run(0x09, 0, 500, window, 0.3);
  const Result lib_all = load.run(0x09, 0, 500, window, seconds);
  const Result raw_all = raw_load.run(0x09, 0, 500, window, seconds);
  print("user data from all 500 terminals:", lib_all, raw_all);
  const Result lib_last = load.run(0x09, 499, 1, window, seconds);
  const Result raw_last = raw_load.run(0x09, 499, 1, window, seconds);
  print("terminal in the last slot:", lib_last, raw_last);

  if (sweep_file != nullptr) {
    // Throughput as the table fills: user data from the terminal logged on
    // last (at 0 the sender is not on line and gets NotLoggedOn).
    std::FILE *csv = std::fopen(sweep_file, "w");
    std::fprintf(csv, "terminals,library,limit\n");
    DeleteAllUser();
    int on_line = 0;
    for (int n = 0; n <= 500; n += 50) {
      log_on(load, on_line, n);
      on_line = n;
      const int sender = n == 0 ? 0 : n - 1;
      const Result l = load.run(0x09, sender, 1, window, seconds / 3);
      const Result r = raw_load.run(0x09, sender, 1, window, seconds / 3);
      std::fprintf(csv, "%d,%.0f,%.0f\n", n, l.rate, r.rate);
      std::printf("  %3d on line: library %9.0f/s  limit %9.0f/s\n", n, l.rate, r.rate);
    }
    std::fclose(csv);
  }
  return 0;
}
