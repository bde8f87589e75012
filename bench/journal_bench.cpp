// The journal's store against a plain SQLite program, side by side in one
// run and in one directory: both write the same rows (a data event of
// `--bytes` user data bytes) in transactions of the same size (256 records),
// WAL with synchronous=FULL.  The journal is driven as the loop drives it:
// one thread appends as fast as it can and never waits; its writer thread
// commits.  Rounds alternate and the medians are compared.  Also measured:
// the directory's own fsync latency (a small file, written and synced) and
// the journal's group commit latency.
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "journal.h"

namespace {

using Clock = std::chrono::steady_clock;
using dtu::svc::Event;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

Event row(std::size_t bytes) {
  Event e;
  e.type = dtu::svc::EventType::kData;
  e.time_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                  .count();
  e.id = "13900000001";
  e.peer = {0x7F000001, 4000};
  e.data.assign(bytes, 0x5A);
  return e;
}

// Records per second through the journal, with its commit latencies.
double journal_run(const std::string &dir, std::size_t records, std::size_t bytes, dtu::svc::Journal::Stats *stats) {
  std::filesystem::remove_all(dir);
  dtu::svc::JournalConfig config;
  config.dir = dir;
  std::string error;
  int code = 0;
  auto journal = dtu::svc::Journal::open(config, nullptr, &error, &code);
  if (!journal) {
    std::fprintf(stderr, "journal_bench: %s\n", error.c_str());
    std::exit(1);
  }
  const Event e = row(bytes);
  const Clock::time_point t0 = Clock::now();
  for (std::size_t i = 0; i < records; ++i)
    if (journal->append(e) == 0) {
      std::fprintf(stderr, "journal_bench: an append was refused: %s\n", journal->stats().error.c_str());
      std::exit(1);
    }
  journal->flush(std::chrono::seconds(600));
  const double rate = static_cast<double>(records) / seconds_since(t0);
  *stats = journal->stats();
  return rate;
}

void must(int rc, sqlite3 *db, const char *what) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
  std::fprintf(stderr, "journal_bench: plain SQLite: %s: %s\n", what, sqlite3_errmsg(db));
  std::exit(1);
}

// Records per second from a plain program: one connection, one prepared
// insert of the same columns, BEGIN, `batch` rows, COMMIT.
double plain_run(const std::string &dir, std::size_t records, std::size_t bytes, std::size_t batch) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  sqlite3 *db = nullptr;
  must(sqlite3_open((dir + "/plain.db").c_str(), &db), db, "open");
  must(sqlite3_exec(db,
                    "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                    "CREATE TABLE records (seq INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, type TEXT NOT NULL,"
                    " id BLOB NOT NULL, peer INTEGER NOT NULL, old_peer INTEGER NOT NULL, reported INTEGER NOT NULL,"
                    " data BLOB NOT NULL, length INTEGER NOT NULL, reason BLOB NOT NULL, text BLOB NOT NULL,"
                    " request INTEGER NOT NULL, params BLOB NOT NULL, inbound INTEGER NOT NULL,"
                    " slot INTEGER NOT NULL, check_name BLOB NOT NULL, state BLOB NOT NULL);"
                    // The journal's index for history by time.
                    "CREATE INDEX records_by_time ON records (time_ms)",
                    nullptr, nullptr, nullptr),
       db, "schema");
  sqlite3_stmt *ins = nullptr;
  must(sqlite3_prepare_v2(db, "INSERT INTO records VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", -1, &ins, nullptr),
       db, "prepare");
  const Event e = row(bytes);
  static const char kNone = 0;
  const Clock::time_point t0 = Clock::now();
  for (std::size_t done = 0; done < records;) {
    must(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), db, "begin");
    for (std::size_t i = 0; i < batch && done < records; ++i, ++done) {
      sqlite3_bind_int64(ins, 1, static_cast<sqlite3_int64>(done + 1));
      sqlite3_bind_int64(ins, 2, e.time_ms);
      sqlite3_bind_text(ins, 3, "data", -1, SQLITE_STATIC);
      sqlite3_bind_blob(ins, 4, e.id.data(), static_cast<int>(e.id.size()), SQLITE_STATIC);
      sqlite3_bind_int64(ins, 5, static_cast<sqlite3_int64>(e.peer.addr) << 16 | e.peer.port);
      sqlite3_bind_int64(ins, 6, 0);
      sqlite3_bind_int64(ins, 7, 0);
      sqlite3_bind_blob(ins, 8, e.data.data(), static_cast<int>(e.data.size()), SQLITE_STATIC);
      sqlite3_bind_int64(ins, 9, 0);
      for (int col : {10, 11, 13, 16, 17}) sqlite3_bind_blob(ins, col, &kNone, 0, SQLITE_STATIC);
      sqlite3_bind_int64(ins, 12, 0);
      sqlite3_bind_int64(ins, 14, 0);
      sqlite3_bind_int64(ins, 15, -1);
      must(sqlite3_step(ins), db, "insert");
      sqlite3_reset(ins);
    }
    must(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  }
  const double rate = static_cast<double>(records) / seconds_since(t0);
  sqlite3_finalize(ins);
  sqlite3_close(db);
  return rate;
}

// The directory's own sync: p50 and p99 of a 64-byte write and fsync, ms.
std::pair<double, double> fsync_latency(const std::string &dir, int times) {
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/fsync-probe";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::vector<double> ms;
  char block[64] = {};
  for (int i = 0; i < times; ++i) {
    block[0] = static_cast<char>(i);
    const Clock::time_point t0 = Clock::now();
    if (::pwrite(fd, block, sizeof block, 0) != static_cast<ssize_t>(sizeof block) || ::fsync(fd) != 0) {
      std::perror("fsync");
      std::exit(1);
    }
    ms.push_back(seconds_since(t0) * 1000);
  }
  ::close(fd);
  std::filesystem::remove(path);
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

}  // namespace

int main(int argc, char **argv) {
  std::string parent = "/var/tmp";
  std::size_t records = 100000, bytes = 64;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--dir") && i + 1 < argc) parent = argv[++i];
    else if (!std::strcmp(argv[i], "--records") && i + 1 < argc) records = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--bytes") && i + 1 < argc) bytes = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) rounds = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: journal_bench [--dir PARENT] [--records N] [--bytes B] [--rounds R]\n");
      return 2;
    }
  }
  std::string tmpl = parent + "/journal-bench-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    std::perror(tmpl.c_str());
    return 1;
  }
  const std::string dir = tmpl;
  const std::size_t batch = dtu::svc::JournalConfig{}.group_records;
  std::printf("journal against plain SQLite in %s: %zu records of %zu data bytes, transactions of %zu, "
              "WAL + synchronous=FULL, %d rounds\n", dir.c_str(), records, bytes, batch, rounds);
  const auto [sync50, sync99] = fsync_latency(dir, 500);
  std::vector<double> journal_rates, plain_rates, p50, p99;
  double commits = 0;
  for (int r = 0; r < rounds; ++r) {
    plain_rates.push_back(plain_run(dir + "/plain", records, bytes, batch));
    dtu::svc::Journal::Stats s;
    journal_rates.push_back(journal_run(dir + "/journal", records, bytes, &s));
    p50.push_back(s.commit_p50_ms);
    p99.push_back(s.commit_p99_ms);
    commits = static_cast<double>(s.commits);
    std::printf("  round %d: journal %.0f/s, plain %.0f/s, %llu commits (%.0f records each)\n", r + 1,
                journal_rates.back(), plain_rates.back(), static_cast<unsigned long long>(s.commits),
                static_cast<double>(records) / std::max(1.0, commits));
  }
  std::filesystem::remove_all(dir);
  const double j = median(journal_rates), p = median(plain_rates);
  std::printf("journal %.0f records/s, plain SQLite %.0f records/s, ratio %.2f (want >= 0.80); "
              "fsync p50 %.2f ms p99 %.2f ms; group commit p50 %.2f ms p99 %.2f ms\n",
              j, p, j / p, sync50, sync99, median(p50), median(p99));
  return 0;
}
