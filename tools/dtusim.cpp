// dtusim: a fleet of simulated GPRS terminals against a data service centre,
// for trying a centre out without hardware and for loading it.
#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/fleet.h"

namespace {

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

void usage(std::FILE *out) {
  std::fprintf(out,
               "usage: dtusim --centre HOST:PORT [options]\n"
               "  -n, --terminals N    simulated terminals (default 10)\n"
               "      --prefix P       ID prefix; IDs are P and a number, 11 characters (default 139)\n"
               "      --first K        number of the first ID (default 1)\n"
               "      --rate R         user-data frames per second per terminal (default 1)\n"
               "      --payload B      bytes of user data per frame (default 16)\n"
               "      --duration S     stop after S seconds (default 10)\n"
               "      --count C        stop after C user-data frames in all\n"
               "      --long-logon     send 33-byte logon frames\n"
               "      --rebind S       change each terminal's source port every S seconds\n"
               "      --no-ack         the centre does not acknowledge user data\n"
               "      --progress       print a line every second\n");
}

}  // namespace

int main(int argc, char **argv) {
  sim::FleetOptions o;
  std::string centre;
  enum { kPrefix = 256, kFirst, kRate, kPayload, kDuration, kCount, kLong, kRebind, kNoAck, kProgress };
  const option longs[] = {{"centre", required_argument, nullptr, 'c'},
                          {"terminals", required_argument, nullptr, 'n'},
                          {"prefix", required_argument, nullptr, kPrefix},
                          {"first", required_argument, nullptr, kFirst},
                          {"rate", required_argument, nullptr, kRate},
                          {"payload", required_argument, nullptr, kPayload},
                          {"duration", required_argument, nullptr, kDuration},
                          {"count", required_argument, nullptr, kCount},
                          {"long-logon", no_argument, nullptr, kLong},
                          {"rebind", required_argument, nullptr, kRebind},
                          {"no-ack", no_argument, nullptr, kNoAck},
                          {"progress", no_argument, nullptr, kProgress},
                          {"help", no_argument, nullptr, 'h'},
                          {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "c:n:h", longs, nullptr)) != -1;) {
    switch (c) {
      case 'c': centre = optarg; break;
      case 'n': o.terminals = std::atoi(optarg); break;
      case kPrefix: o.prefix = optarg; break;
      case kFirst: o.first = std::atol(optarg); break;
      case kRate: o.rate = std::atof(optarg); break;
      case kPayload: o.payload = std::atoi(optarg); break;
      case kDuration: o.duration = std::atof(optarg); break;
      case kCount: o.count = std::atol(optarg); o.duration = o.duration == 10.0 ? 0 : o.duration; break;
      case kLong: o.long_logon = true; break;
      case kRebind: o.rebind = std::atof(optarg); break;
      case kNoAck: o.expect_ack = false; break;
      case kProgress: o.progress = true; break;
      case 'h': usage(stdout); return 0;
      default: usage(stderr); return 2;
    }
  }
  const auto colon = centre.rfind(':');
  if (colon == std::string::npos || o.terminals < 1 || o.terminals > 5000 || o.payload < 0 || o.payload > 1024) {
    usage(stderr);
    return 2;
  }
  o.host = centre.substr(0, colon);
  o.port = static_cast<std::uint16_t>(std::atoi(centre.c_str() + colon + 1));
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  sim::Fleet fleet(o);
  if (!fleet.run(g_stop)) {
    std::fprintf(stderr, "dtusim: cannot reach %s\n", centre.c_str());
    return 1;
  }
  fleet.report(stdout);
  const sim::Counters &c = fleet.counters();
  return (c.data_unanswered == 0 && c.logons_unanswered == 0) ? 0 : 3;
}
