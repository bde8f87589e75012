// What the journal costs a terminal: DataAck round trips through a service
// core that acknowledges once the frame's group is on disk (ack "journal")
// against one that keeps memory only and acknowledges at once ("immediate"),
// both in this run, beside the disk's own fsync latency measured in the same
// directory before and after.  500 terminals each keep one frame in flight
// (bench/loadgen.h), the two services alternate round by round and the
// medians are compared.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "loadgen.h"
#include "journal.h"
#include "service.h"

using namespace bench;

namespace {

struct Options {
  double seconds = 3.0;
  int rounds = 5;
  int terminals = 500;
  unsigned group_ms = 5;          // the journal's grouping, as journal_group_ms
  std::size_t group_records = 256;  // and journal_group_records
  std::string dir;  // where the journal and the fsync probe write; a fresh folder in the working directory
};

// The disk's own price of durability: 4 KiB appended and fdatasync'ed, as
// one small commit of the WAL does, `n` times; microseconds.
Result fsync_latency(const std::string &dir, int n) {
  const std::string path = dir + "/fsync-probe";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<double> us;
  std::vector<char> page(4096, 'j');
  const auto start = Clock::now();
  for (int i = 0; fd >= 0 && i < n; ++i) {
    const auto t = Clock::now();
    if (::write(fd, page.data(), page.size()) != static_cast<ssize_t>(page.size()) || ::fdatasync(fd) != 0) break;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
  }
  Result r;
  r.rate = static_cast<double>(us.size()) / std::chrono::duration<double>(Clock::now() - start).count();
  r.p50_us = percentile(us, 50);
  r.p99_us = percentile(us, 99);
  if (fd >= 0) ::close(fd);
  std::filesystem::remove(path);
  return r;
}

// The journal's own figures: groups committed and the highest seq on disk
// (their difference over a round gives records per group), a group's
// commit latency over recent groups.
struct Commits {
  std::uint64_t commits = 0, records = 0;
  double p50_ms = 0, p99_ms = 0;
};

// A service core on its own loop thread, with one sink that does nothing.
class Running {
 public:
  explicit Running(dtu::svc::Config config) : service_(std::move(config)) {
    service_.subscribe([](const dtu::svc::Event &) {});
  }
  bool start() {
    std::string why;
    if (!service_.start(&why)) return std::fprintf(stderr, "cannot start: %s\n", why.c_str()), false;
    thread_ = std::thread([this] { service_.run(); });
    return true;
  }
  ~Running() {
    service_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::uint16_t port() const { return service_.port(); }
  // Asked on the loop thread, which owns the journal.
  Commits commit_stats() {
    std::atomic<bool> done{false};
    Commits c;
    service_.post([&](dtu::svc::Service &s) {
      if (dtu::svc::Journal *j = s.journal()) {
        const dtu::svc::Journal::Stats st = j->stats();
        c = Commits{st.commits, j->committed(), st.commit_p50_ms, st.commit_p99_ms};
      }
      done = true;
    });
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return c;
  }

 private:
  dtu::svc::Service service_;
  std::thread thread_;
};

Result median(const std::vector<Result> &v) {
  std::vector<double> rate, p50, p99;
  for (const Result &x : v) rate.push_back(x.rate), p50.push_back(x.p50_us), p99.push_back(x.p99_us);
  Result m;
  m.rate = percentile(rate, 50), m.p50_us = percentile(p50, 50), m.p99_us = percentile(p99, 50);
  return m;
}

void line(const char *what, const Result &j, const Result &m) {
  std::printf("%-22s journal %8.0f/s  p50 %7.1f us  p99 %7.1f us | immediate %8.0f/s  p50 %6.1f us  p99 %6.1f us"
              " | ratio %.3f\n",
              what, j.rate, j.p50_us, j.p99_us, m.rate, m.p50_us, m.p99_us, m.rate > 0 ? j.rate / m.rate : 0.0);
  std::fflush(stdout);
}

// One measurement: a service started with `config`, the terminals logged
// on, a short warm-up, then `seconds` of round trips.  (The library serves
// one centre per process, so the two services take turns.)
bool round_trips(const Options &o, const dtu::svc::Config &config, Result *out, Commits *commits = nullptr) {
  Running service(config);
  if (!service.start()) return false;
  Load load(service.port());
  load.log_on(0, o.terminals);
  load.run(0x09, 0, o.terminals, o.terminals, 0.3);
  const Commits before = service.commit_stats();
  *out = load.run(0x09, 0, o.terminals, o.terminals, o.seconds);
  if (commits) {
    *commits = service.commit_stats();
    commits->commits -= before.commits;
    commits->records -= before.records;
  }
  return true;
}

// The two services in alternating rounds, so that a slow moment of the
// machine hits both, and the medians.
bool measure(const Options &o, const dtu::svc::Config &journaled, const dtu::svc::Config &memory) {
  std::printf("journal (%s) against memory only on 127.0.0.1: %d terminals, one frame in flight each, %.1f s per "
              "measurement, %d rounds\n", journaled.state_dir.c_str(), o.terminals, o.seconds, o.rounds);
  std::vector<Result> j_runs(static_cast<std::size_t>(o.rounds)), m_runs(j_runs.size());
  std::vector<double> p50, p99, per_group;
  for (std::size_t r = 0; r < j_runs.size(); ++r) {
    Commits c;
    if (!round_trips(o, journaled, &j_runs[r], &c) || !round_trips(o, memory, &m_runs[r])) return false;
    line("round:", j_runs[r], m_runs[r]);
    p50.push_back(c.p50_ms), p99.push_back(c.p99_ms);
    per_group.push_back(c.commits ? static_cast<double>(c.records) / static_cast<double>(c.commits) : 0);
  }
  line("median of the rounds:", median(j_runs), median(m_runs));
  std::printf("the journal's group commit (median of the rounds): p50 %.2f ms, p99 %.2f ms, about %.0f records a "
              "group (group_ms %u, group_records %zu)\n", percentile(p50, 50), percentile(p99, 50),
              percentile(per_group, 50), o.group_ms, o.group_records);
  return true;
}

bool parse(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) o->seconds = std::atof(argv[++i]);
    else if (a == "--rounds" && i + 1 < argc) o->rounds = std::atoi(argv[++i]);
    else if (a == "--terminals" && i + 1 < argc) o->terminals = std::atoi(argv[++i]);
    else if (a == "--dir" && i + 1 < argc) o->dir = argv[++i];
    else if (a == "--group-ms" && i + 1 < argc) o->group_ms = static_cast<unsigned>(std::atoi(argv[++i]));
    else if (a == "--group-records" && i + 1 < argc) o->group_records = std::strtoul(argv[++i], nullptr, 10);
    else return false;
  }
  return o->rounds > 0 && o->terminals > 0 && o->terminals <= 5000 && o->seconds > 0 && o->group_records > 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr, "usage: journal_ack_bench [--seconds S] [--rounds N] [--terminals N] [--dir DIR]\n"
                         "                         [--group-ms MS] [--group-records N]\n");
    return 2;
  }
  const bool own_dir = o.dir.empty();
  if (own_dir) {
    char name[] = "journal-ack-bench.XXXXXX";
    if (!::mkdtemp(name)) return std::perror("mkdtemp"), 1;
    o.dir = std::filesystem::absolute(name).string();
  }
  const Result disk_before = fsync_latency(o.dir, 500);

  dtu::svc::Config journaled, memory;
  journaled.port = memory.port = 0;
  journaled.idle_timeout = memory.idle_timeout = 300;
  journaled.state_dir = o.dir + "/state";
  journaled.ack_on_commit = true;  // ack "journal"
  journaled.journal_group_ms = o.group_ms;
  journaled.journal_group_records = o.group_records;
  memory.ack_on_commit = false;    // ack "immediate", and no state directory
  if (!measure(o, journaled, memory)) return 1;
  const Result disk_after = fsync_latency(o.dir, 500);
  std::printf("the disk: 4 KiB write + fdatasync, p50 %.1f us, p99 %.1f us before; p50 %.1f us, p99 %.1f us after\n",
              disk_before.p50_us, disk_before.p99_us, disk_after.p50_us, disk_after.p99_us);
  if (own_dir) std::filesystem::remove_all(o.dir);
  return 0;
}
