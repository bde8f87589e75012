// dtusim: a fleet of simulated GPRS terminals against a data service centre,
// for trying a centre out without hardware and for loading it.
#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/args.h"
#include "sim/fleet.h"

#ifndef DTUCENTRE_VERSION
#define DTUCENTRE_VERSION "unknown"
#endif

namespace {

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

void usage(std::FILE *out) {
  std::fprintf(out,
               "usage: dtusim --centre HOST:PORT [options]\n"
               "  -n, --terminals N    simulated terminals, 1 to 5000 (default 10)\n"
               "      --prefix P       ID prefix, at most 10 characters; IDs are P and a number,\n"
               "                       11 characters in all (default 139)\n"
               "      --first K        number of the first ID (default 1)\n"
               "      --rate R         user-data frames per second per terminal (default 1)\n"
               "      --payload B      bytes of user data per frame, 0 to 1024 (default 16)\n"
               "      --duration S     stop after S seconds (default 10; 0 with --count)\n"
               "      --count C        stop after C user-data frames in all\n"
               "      --long-logon     send 33-byte logon frames\n"
               "      --rebind S       change each terminal's source port every S seconds\n"
               "      --no-ack         the centre does not acknowledge user data\n"
               "      --retry N        resend user data not acknowledged in time, up to N times\n"
               "      --ack-timeout S  seconds to wait for an acknowledgement (default 2)\n"
               "      --window N       at most N user-data frames awaiting an answer per terminal;\n"
               "                       with 1 every answer is known to be the frame's own (default 0: no limit)\n"
               "      --show-downlink  print each UserDataDown a terminal receives, with its bytes\n"
               "      --no-data-reply  do not answer a UserDataDown with a DataReply\n"
               "      --acked FILE     write each acknowledged frame's ID and user data (hex) to FILE,\n"
               "                       a line each; the user data is the ID, # and a running number\n"
               "      --progress       print a line every second\n"
               "      --version        print the version and exit\n"
               "Numbers are decimal. Exit codes: 0 all answered, 1 cannot run, 2 bad arguments,\n"
               "3 something went unanswered.\n");
}

int bad(const std::string &why) {
  std::fprintf(stderr, "dtusim: %s\n", why.c_str());
  return 2;
}

int digits(long long n) { return static_cast<int>(std::to_string(n).size()); }

}  // namespace

int main(int argc, char **argv) {
  sim::FleetOptions o;
  std::string centre;
  bool duration_given = false;
  enum {
    kPrefix = 256, kFirst, kRate, kPayload, kDuration, kCount, kLong, kRebind, kNoAck, kProgress, kRetry,
    kAckTimeout, kShowDownlink, kNoDataReply, kAcked, kWindow, kVersion
  };
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
                          {"retry", required_argument, nullptr, kRetry},
                          {"ack-timeout", required_argument, nullptr, kAckTimeout},
                          {"show-downlink", no_argument, nullptr, kShowDownlink},
                          {"no-data-reply", no_argument, nullptr, kNoDataReply},
                          {"acked", required_argument, nullptr, kAcked},
                          {"window", required_argument, nullptr, kWindow},
                          {"progress", no_argument, nullptr, kProgress},
                          {"version", no_argument, nullptr, kVersion},
                          {"help", no_argument, nullptr, 'h'},
                          {nullptr, 0, nullptr, 0}};
  std::string why, acked;
  for (int c; (c = getopt_long(argc, argv, "c:n:h", longs, nullptr)) != -1;) {
    const std::string a = optarg ? optarg : "";
    bool ok = true;
    switch (c) {
      case 'c': centre = a; break;
      case 'n': ok = args::integer("--terminals", a, 1, 5000, &o.terminals, &why); break;
      case kPrefix: o.prefix = a; break;
      case kFirst: ok = args::integer("--first", a, 0, 99999999999LL, &o.first, &why); break;
      case kRate: ok = args::real("--rate", a, 0, 1e6, &o.rate, &why); break;
      case kPayload: ok = args::integer("--payload", a, 0, 1024, &o.payload, &why); break;
      case kDuration:
        ok = args::real("--duration", a, 0, 1e9, &o.duration, &why);
        duration_given = true;
        break;
      case kCount: ok = args::integer("--count", a, 0, 1000000000000LL, &o.count, &why); break;
      case kLong: o.long_logon = true; break;
      case kRebind: ok = args::real("--rebind", a, 0, 1e9, &o.rebind, &why); break;
      case kNoAck: o.expect_ack = false; break;
      case kRetry: ok = args::integer("--retry", a, 0, 1000, &o.retry, &why); break;
      case kAckTimeout: ok = args::real("--ack-timeout", a, 0.001, 3600, &o.ack_timeout, &why); break;
      case kShowDownlink: o.show_downlink = stdout; break;
      case kNoDataReply: o.data_reply = false; break;
      case kAcked: acked = a; break;
      case kWindow: ok = args::integer("--window", a, 0, 100000, &o.window, &why); break;
      case kProgress: o.progress = true; break;
      case kVersion: std::printf("dtusim %s\n", DTUCENTRE_VERSION); return 0;
      case 'h': usage(stdout); return 0;
      default: usage(stderr); return 2;
    }
    if (!ok) return bad(why);
  }
  if (optind < argc) return bad(std::string("unexpected argument \"") + argv[optind] + "\"");
  if (o.count > 0 && !duration_given) o.duration = 0;
  if (centre.empty()) return bad("--centre HOST:PORT is required");
  const auto colon = centre.rfind(':');
  if (colon == std::string::npos || colon == 0)
    return bad("--centre: \"" + centre + "\" is not HOST:PORT");
  if (!args::port("--centre port", centre.substr(colon + 1), false, &o.port, &why)) return bad(why);
  o.host = centre.substr(0, colon);
  // Every ID is the prefix, zeros and the terminal's number, 11 characters.
  if (o.prefix.size() > 10) return bad("--prefix: \"" + o.prefix + "\" is longer than 10 characters");
  if (static_cast<int>(o.prefix.size()) + digits(o.first + o.terminals - 1) > 11)
    return bad("--prefix and --first: the IDs of " + std::to_string(o.terminals) +
               " terminals do not fit in 11 characters");
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> acked_file(nullptr, std::fclose);
  if (!acked.empty()) {
    acked_file.reset(std::fopen(acked.c_str(), "w"));
    if (!acked_file) return std::fprintf(stderr, "dtusim: --acked: cannot write %s\n", acked.c_str()), 1;
    o.acked = acked_file.get();
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  sim::Fleet fleet(o);
  if (!fleet.run(g_stop)) {
    std::fprintf(stderr, "dtusim: %s\n", fleet.error().c_str());
    return 1;
  }
  fleet.report(stdout);
  const sim::Counters &c = fleet.counters();
  return (c.data_unanswered == 0 && c.logons_unanswered == 0 && c.data_given_up == 0) ? 0 : 3;
}
