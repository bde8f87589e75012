// Round trips on 127.0.0.1 through the whole service core against the raw
// socket loop, side by side in one run: the service's loop thread owns the
// library (notifier, do_read_proc, built-in handlers, DataAck at once) and
// keeps the fleet state, counters, recent frames and idle expiry, and every
// event goes to a sink that only counts it.  500 terminals on line send user
// data in turn; the raw loop answers each datagram with one 16-byte sendto.
#include <atomic>
#include <cstdio>
#include <thread>

#include "loadgen.h"
#include "service.h"

using namespace bench;

int main(int argc, char **argv) {
  double seconds = 3.0;
  int window = 16, rounds = 5;
  const char *pcap = nullptr;  // a capture of everything as well
  bool trace = false;          // a wire event per datagram as well
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--window") && i + 1 < argc) window = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) rounds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--pcap") && i + 1 < argc) pcap = argv[++i];
    else if (!std::strcmp(argv[i], "--trace")) trace = true;
    else {
      std::fprintf(stderr, "usage: service_roundtrip_bench [--seconds S] [--window W] [--rounds N] "
                           "[--pcap FILE] [--trace]\n");
      return 2;
    }
  }
  dtu::svc::Config config;
  config.port = 0;          // 127.0.0.1, a free port
  config.idle_timeout = 300;  // on: the tick scans the fleet every second
  if (pcap) {
    config.pcap = pcap;
    config.pcap_rotate_mb = 64;
    config.pcap_keep = 1;
  }
  config.trace = trace;
  std::atomic<unsigned long> events{0};
  dtu::svc::Service service(config);
  service.subscribe([&](const dtu::svc::Event &) { events.fetch_add(1, std::memory_order_relaxed); });
  std::string why;
  if (!service.start(&why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  std::thread loop([&] { service.run(); });

  RawLoop raw;
  Load raw_load(raw.port());
  Load load(service.port());
  load.log_on(0, 500);
  std::printf("service core against the raw loop on 127.0.0.1: 500 terminals, %d in flight, %.1f s per "
              "measurement, %d rounds%s%s\n", window, seconds, rounds, pcap ? ", capture on" : "",
              trace ? ", trace events on" : "");
  load.run(0x09, 0, 500, window, 0.3);
  raw_load.run(0x09, 0, 500, window, 0.3);
  // Alternate the two, so that a slow moment of the machine hits both, and
  // take the median of the rounds.
  std::vector<Result> svc_runs, raw_runs;
  for (int r = 0; r < rounds; ++r) {
    svc_runs.push_back(load.run(0x09, 0, 500, window, seconds));
    raw_runs.push_back(raw_load.run(0x09, 0, 500, window, seconds));
    print("user data from all 500 terminals:", "service", svc_runs.back(), raw_runs.back());
  }
  auto median = [](std::vector<Result> v) {
    Result m;
    std::vector<double> rate, p50, p99;
    for (const Result &x : v) rate.push_back(x.rate), p50.push_back(x.p50_us), p99.push_back(x.p99_us);
    m.rate = percentile(rate, 50), m.p50_us = percentile(p50, 50), m.p99_us = percentile(p99, 50);
    return m;
  };
  print("median of the rounds:", "service", median(svc_runs), median(raw_runs));

  unsigned long online = 0;
  std::atomic<bool> got{false};
  service.post([&](dtu::svc::Service &s) {
    online = static_cast<unsigned long>(s.counters().online);
    got = true;
  });
  while (!got) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::printf("terminals on line %lu, events delivered %lu\n", online, events.load());
  service.stop();
  loop.join();
  return 0;
}
