// What a history client costs the terminals: DataAck round trips through a
// centre with a journal holding a month of records for 500 terminals, while
// an HTTP client pulls that month (every record, NDJSON, streamed) and its
// summary over and over, against the same centre with no client, both in
// this run: rounds alternate and the medians are compared.  The journal is
// seeded by SQL straight into its file before the centre opens it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "http.h"
#include "journal.h"
#include "loadgen.h"
#include "service.h"
#include "text.h"

using namespace bench;

namespace {

constexpr std::int64_t kDayMs = 86400 * 1000ll;

// A month of records for `terminals` terminals: a data record from each
// every `every_s` seconds and a logon every hour.  The number of records.
long seed(const std::string &dir, int terminals, int every_s, std::int64_t now) {
  {
    dtu::svc::JournalConfig jc;
    jc.dir = dir;
    std::string error;
    int code = 0;
    if (!dtu::svc::Journal::open(jc, nullptr, &error, &code)) return std::fprintf(stderr, "%s\n", error.c_str()), -1;
  }
  sqlite3 *db = nullptr;
  sqlite3_open((dir + "/journal.db").c_str(), &db);
  sqlite3_exec(db, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO records (seq, time_ms, type, id, peer, old_peer, reported, data, length, reason, "
                     "text, request, params, inbound, slot, check_name, state) "
                     "VALUES (?1, ?2, ?3, ?4, 2130706433 << 16 | 5000, 0, 0, ?5, ?6, x'', x'', 0, x'', 0, 0, x'', x'')",
                     -1, &st, nullptr);
  const std::int64_t from = now - 30 * kDayMs;
  const std::string payload(32, 'A');
  long seq = 0;
  for (std::int64_t t = from; t < now - 60000; t += every_s * 1000ll) {
    const bool logon = (t - from) % 3600000 < every_s * 1000ll;
    for (int i = 0; i < terminals; ++i) {
      const std::string id = id_of(i);
      for (int k = logon ? 0 : 1; k < 2; ++k) {
        sqlite3_bind_int64(st, 1, ++seq);
        sqlite3_bind_int64(st, 2, t + i);
        sqlite3_bind_text(st, 3, k == 0 ? "logon" : "data", -1, SQLITE_STATIC);
        sqlite3_bind_blob(st, 4, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
        sqlite3_bind_blob(st, 5, payload.data(), k == 0 ? 0 : static_cast<int>(payload.size()), SQLITE_STATIC);
        sqlite3_bind_int(st, 6, k == 0 ? 0 : static_cast<int>(payload.size()));
        sqlite3_step(st);
        sqlite3_reset(st);
      }
    }
  }
  sqlite3_finalize(st);
  sqlite3_exec(db, "UPDATE bookkeeping SET records = (SELECT COUNT(*) FROM records); COMMIT", nullptr, nullptr,
               nullptr);
  sqlite3_close(db);
  return seq;
}

// One GET on 127.0.0.1, read to the end, its bytes counted as they come;
// the answer's first line.
std::string get(std::uint16_t port, const std::string &path, const std::atomic<bool> &stop,
                std::atomic<long long> *got) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  std::string head;
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, req.data(), req.size(), 0) == static_cast<ssize_t>(req.size())) {
      char buf[65536];
      ssize_t n;
      while (!stop && (n = recv(fd, buf, sizeof buf, 0)) > 0) {
        if (head.empty()) head.assign(buf, static_cast<std::size_t>(std::min<ssize_t>(n, 40)));
        *got += n;
      }
    }
  }
  close(fd);
  return head.substr(0, head.find('\r'));
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 3.0;
  int rounds = 5, every_s = 600, window = 16;
  bool on_commit = true;  // --immediate: DataAck at once, so the CPU rather than the disk sets the pace
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) rounds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--every") && i + 1 < argc) every_s = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--window") && i + 1 < argc) window = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--immediate")) on_commit = false;
    else {
      std::fprintf(stderr, "usage: history_load_bench [--seconds S] [--rounds N] [--every S] [--window W] [--immediate]\n");
      return 2;
    }
  }
  const std::string dir = std::filesystem::current_path().string() + "/history-load-bench." + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::int64_t now = dtu::text::now_ms();
  const auto seeding = Clock::now();
  const long records = seed(dir, 500, every_s, now);
  if (records < 0) return 1;
  std::printf("journal seeded with %ld records (500 terminals, a month, data every %d s, logon every hour) in %.1f s\n",
              records, every_s, std::chrono::duration<double>(Clock::now() - seeding).count());
  {
    dtu::svc::Config config;
    config.port = 0;
    config.state_dir = dir;
    config.journal_retention = 0;  // the month stays
    config.ack_on_commit = on_commit;
    dtu::svc::Service service(config);
    std::string why;
    if (!service.start(&why)) return std::fprintf(stderr, "cannot start: %s\n", why.c_str()), 1;
    std::thread loop([&] { service.run(); });
    dtu::http::Options ho;
    ho.listen = "127.0.0.1:0";
    auto front = dtu::http::attach(service, ho, &why);
    if (!front) return std::fprintf(stderr, "http: %s\n", why.c_str()), 1;

    // The client: the whole month, then its summary, in a loop, while `pulling`.
    std::atomic<bool> pulling{false}, stop{false};
    std::atomic<long long> bytes{0};
    std::atomic<long> pulls{0}, summaries{0};  // pulls: months read whole
    std::thread client([&] {
      const std::string month = std::to_string(now - 30 * kDayMs);
      while (!stop) {
        if (!pulling) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          continue;
        }
        const std::string b = get(front->port(), "/api/history/summary?from=" + month + "&bucket=3600", stop, &bytes);
        if (stop) break;
        ++summaries;
        const std::string a = get(front->port(), "/api/history?from=" + month + "&limit=100000000&format=ndjson", stop, &bytes);
        if (stop) break;
        ++pulls;
        if (a != "HTTP/1.1 200 OK" || b != "HTTP/1.1 200 OK") std::fprintf(stderr, "client: %s / %s\n", a.c_str(), b.c_str());
      }
    });

    Load load(service.port());
    load.log_on(0, 500);
    load.run(0x09, 0, 500, window, 0.3);
    std::printf("DataAck round trips, 500 terminals, %d in flight, acknowledged %s, %.1f s per measurement, "
                "%d rounds\n", window, on_commit ? "on commit" : "at once", seconds, rounds);
    std::vector<double> quiet, loaded, quiet_p50, loaded_p50;
    for (int r = 0; r < rounds; ++r) {
      pulling = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const Result q = load.run(0x09, 0, 500, window, seconds);
      pulling = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const Result l = load.run(0x09, 0, 500, window, seconds);
      quiet.push_back(q.rate), loaded.push_back(l.rate), quiet_p50.push_back(q.p50_us), loaded_p50.push_back(l.p50_us);
      std::printf("  round %d: no client %.0f/s (p50 %.0f us, p99 %.0f us), history client %.0f/s (p50 %.0f us, "
                  "p99 %.0f us)\n", r + 1, q.rate, q.p50_us, q.p99_us, l.rate, l.p50_us, l.p99_us);
    }
    const double qm = percentile(quiet, 50), lm = percentile(loaded, 50);
    std::printf("median: no client %.0f/s, history client %.0f/s: ratio %.2f (p50 %.0f us against %.0f us); "
                "the client read %.1f MB (%ld summaries, %ld whole months)\n",
                qm, lm, lm / qm, percentile(loaded_p50, 50), percentile(quiet_p50, 50), bytes.load() / 1e6,
                summaries.load(), pulls.load());
    stop = true;
    front.reset();  // cuts the client's answer
    client.join();
    service.stop();
    loop.join();
  }
  std::filesystem::remove_all(dir);
  return 0;
}
