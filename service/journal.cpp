// The journal: the lock on the state directory, the open group the loop
// thread adds to, and the writer thread that commits groups, keeps
// retention going and rides out a failing disk.
#include "journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "journal_db.h"

namespace dtu::svc {
namespace {

using Clock = std::chrono::steady_clock;

// Seqs are reserved on disk this many ahead of the last one handed out, so
// that those of groups a crash lost are never given out again.  It also
// bounds the records waiting in memory.
constexpr std::uint64_t kSeqBlock = std::uint64_t{1} << 20;
constexpr std::size_t kLatenciesKept = 1024;  // recent commit times for the percentiles
constexpr auto kRetryFirst = std::chrono::milliseconds(50);
constexpr auto kRetryMost = std::chrono::milliseconds(2000);
constexpr auto kStopPatience = std::chrono::seconds(3);  // retries of a failing disk at the close
constexpr auto kTrimIdle = std::chrono::seconds(1);      // retention looked at when nothing else happens

std::int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string failure_text(int rc) {
  const int primary = rc & 0xFF;
  const char *what = primary == SQLITE_FULL    ? "the disk is full"
                     : primary == SQLITE_IOERR ? "the disk fails"
                                               : "the journal cannot be written";
  return std::string(what) + " (" + sqlite3_errstr(rc) + "); appends refused, retrying";
}

// The lock file, held while the journal is open.
struct LockFile {
  int fd = -1;
  ~LockFile() {
    if (fd >= 0) ::close(fd);
  }
};

// What on_commit needs on the loop thread, shared with the posted calls so
// that one arriving after the journal closed finds it gone.
struct Notifier {
  std::atomic<std::uint64_t> committed{0};
  std::atomic<bool> posted{false};
  std::function<void(std::uint64_t)> fn;  // loop thread
  bool alive = true;                      // loop thread
  std::uint64_t told = 0;                 // loop thread
};

}  // namespace

struct Journal::Impl {
  explicit Impl(const JournalConfig &c) : config(c) {}

  const JournalConfig config;
  std::string path;
  LockFile lock;  // declared first: released after the connections close
  JournalDb db;   // the writer thread's (open() uses it before the thread starts)

  std::mutex read_mutex;
  JournalDb reader;  // guarded by read_mutex
  // History pages have a connection of their own: a front end's page never
  // holds up the loop's read().
  std::mutex history_mutex;
  JournalDb history_reader;  // guarded by history_mutex

  // The open group and its bookkeeping, shared with the writer.
  std::mutex mutex;
  std::condition_variable wake;  // the writer waits on it
  std::condition_variable done;  // flush() waits on it
  JournalGroup pending;          // guarded by mutex
  Clock::time_point pending_since;  // guarded by mutex: the open group's first change
  std::uint64_t next_seq = 1;       // guarded by mutex
  std::uint64_t seq_limit = 0;      // guarded by mutex: seqs reserved on disk
  std::uint64_t given = 0, written = 0;  // guarded by mutex: changes made, and on disk
  bool stopping = false, urgent = false;  // guarded by mutex

  std::atomic<bool> failing{false}, full{false}, closing{false};
  std::atomic<std::uint64_t> refused{0}, oldest_seq{1};
  std::shared_ptr<Notifier> notifier = std::make_shared<Notifier>();
  std::map<std::string, std::uint64_t> cursors;  // loop thread: as last set

  mutable std::mutex stats_mutex;
  Stats stats;                     // guarded by stats_mutex (refused and full aside)
  std::vector<double> latencies;   // guarded by stats_mutex: ring of recent commit times, ms
  std::size_t latency_next = 0;    // guarded by stats_mutex

  // The writer thread's own.
  std::thread thread;
  JournalGroup taken;
  std::map<std::string, std::uint64_t> writer_cursors;  // as committed
  bool trimming = false;  // past max_mb: deleting down to 90% of it
  Clock::time_point trim_due;

  bool lock_dir(std::string *error);
  void start(const JournalState &state);
  // Under `mutex`: one change was added to the open group.
  void changed(bool was_empty);
  // One change to the open group's state (downlinks, requests, terminals,
  // cursors, the next handle), made under `mutex`.
  template <class Edit>
  void add(Edit edit) {
    std::lock_guard<std::mutex> lk(mutex);
    const bool was_empty = pending.empty();
    edit(pending);
    changed(was_empty);
  }

  void writer_main();
  // Commits `taken` in transactions of group_records records; false when
  // the close gave up on a failing disk.
  bool commit_taken(std::uint64_t last_seq);
  TrimRule trim_rule() const;
  void trim_alone();
  void after_commit(std::uint64_t last_seq, const TrimOutcome &out, double ms, bool group);
  void failed(int rc);
  void notify();
};

bool Journal::Impl::lock_dir(std::string *error) {
  std::error_code ec;
  std::filesystem::create_directories(config.dir, ec);
  if (ec) {
    *error = config.dir + ": cannot create the state directory: " + ec.message();
    return false;
  }
  const std::string lock_path = config.dir + "/lock";
  lock.fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock.fd < 0) {
    *error = lock_path + ": cannot write in the state directory: " + std::strerror(errno);
    return false;
  }
  if (::flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    char pid[32] = {};
    const ssize_t n = ::pread(lock.fd, pid, sizeof pid - 1, 0);
    std::string holder = n > 0 ? std::string(pid, static_cast<std::size_t>(n)) : std::string();
    holder.erase(std::remove(holder.begin(), holder.end(), '\n'), holder.end());
    *error = config.dir + ": " +
             (err == EWOULDBLOCK ? "held by another centre" + (holder.empty() ? "" : " (pid " + holder + ")")
                                 : std::string("cannot lock: ") + std::strerror(err)) +
             " (lock " + lock_path + ")";
    return false;
  }
  const std::string me = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lock.fd, 0) != 0 || ::pwrite(lock.fd, me.data(), me.size(), 0) < 0) {
    *error = lock_path + ": cannot write in the state directory: " + std::strerror(errno);
    return false;
  }
  return true;
}

std::unique_ptr<Journal> Journal::open(const JournalConfig &config, JournalState *restored, std::string *error,
                                       int *exit_code) {
  std::string err;
  int code = kExitStateDir;
  JournalState local;
  JournalState *state = restored ? restored : &local;
  *state = JournalState{};
  auto fail = [&](const std::string &why, int c) {
    if (error) *error = why;
    if (exit_code) *exit_code = c;
    return nullptr;
  };
  if (config.dir.empty()) return fail("no state directory given", kExitStateDir);
  auto impl = std::make_unique<Impl>(config);
  impl->path = config.dir + "/journal.db";
  if (!impl->lock_dir(&err)) return fail(err, kExitStateDir);
  if (!impl->db.open_writer(impl->path, &err, &code)) return fail(err, code);
  if (!impl->db.load(state, &err)) return fail(impl->path + ": " + err, kExitStateDir);
  if (!impl->reader.open_reader(impl->path, &err) || !impl->history_reader.open_reader(impl->path, &err))
    return fail(err, kExitStateDir);
  const int rc = impl->db.reserve(state->last_seq + kSeqBlock);
  if (rc != SQLITE_OK) return fail(impl->path + ": cannot write: " + sqlite3_errstr(rc), kExitStateDir);
  impl->start(*state);
  return std::unique_ptr<Journal>(new Journal(std::move(impl)));
}

void Journal::Impl::start(const JournalState &state) {
  next_seq = state.last_seq + 1;
  seq_limit = db.reserved();
  notifier->committed = state.last_seq;
  cursors = state.cursors;
  writer_cursors = state.cursors;
  const std::uint64_t oldest = db.oldest_seq();
  oldest_seq = oldest != 0 ? oldest : next_seq;
  latencies.reserve(kLatenciesKept);
  after_commit(0, TrimOutcome{}, 0, false);
  trim_due = Clock::now();
  thread = std::thread([this] { writer_main(); });
}

int Journal::check(const std::string &dir, std::string *report) {
  const std::string path = dir + "/journal.db";
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    if (report) *report = path + ": cannot open: " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return kExitStateDir;
  }
  const std::string v = JournalDb::verdict(db, true);
  sqlite3_close(db);
  if (report) *report = path + (v == "ok" ? ": ok" : " is damaged (integrity_check: " + v + ")");
  return v == "ok" ? 0 : kExitDamaged;
}

Journal::Journal(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Journal::~Journal() {
  Impl &m = *impl_;
  m.notifier->alive = false;
  m.closing = true;
  {
    std::lock_guard<std::mutex> lk(m.mutex);
    m.stopping = true;
  }
  m.wake.notify_all();
  if (m.thread.joinable()) m.thread.join();
}

// ---- the loop thread's side ----

void Journal::Impl::changed(bool was_empty) {
  ++given;
  if (was_empty) {
    pending_since = Clock::now();
    wake.notify_one();
  } else if (pending.records.size() == config.group_records) {
    wake.notify_one();
  }
}

std::uint64_t Journal::append(const Event &e) {
  Impl &m = *impl_;
  if (e.type == EventType::kWire) return 0;
  if (m.failing.load(std::memory_order_relaxed) || m.full.load(std::memory_order_relaxed)) {
    ++m.refused;
    return 0;
  }
  std::lock_guard<std::mutex> lk(m.mutex);
  if (m.next_seq > m.seq_limit) {
    ++m.refused;
    return 0;
  }
  const bool was_empty = m.pending.empty();
  Event &r = m.pending.records.emplace_back(e);
  r.seq = m.next_seq++;
  m.changed(was_empty);
  return r.seq;
}

void Journal::put_downlink(const JournalDownlink &d) {
  impl_->add([&](JournalGroup &g) {
    g.downlinks[d.handle] = d;
    g.next_handle = std::max(g.next_handle, d.handle + 1);
  });
}

void Journal::end_downlink(std::uint64_t handle) {
  impl_->add([&](JournalGroup &g) { g.downlinks[handle] = std::nullopt; });
}

void Journal::put_request(const JournalRequest &r) {
  impl_->add([&](JournalGroup &g) {
    g.requests[r.handle] = r;
    g.next_handle = std::max(g.next_handle, r.handle + 1);
  });
}

void Journal::end_request(std::uint64_t handle) {
  impl_->add([&](JournalGroup &g) { g.requests[handle] = std::nullopt; });
}

void Journal::put_terminal(const Terminal &t) {
  Terminal kept = t;
  kept.recent.clear();  // debugging aid, not kept
  impl_->add([&](JournalGroup &g) { g.terminals[t.id] = std::move(kept); });
}

void Journal::forget_terminal(const std::string &id) {
  impl_->add([&](JournalGroup &g) { g.terminals[id] = std::nullopt; });
}

void Journal::put_meta(const std::string &id, const TerminalMeta &m) {
  impl_->add([&](JournalGroup &g) { g.registry[id] = m; });
}

void Journal::forget_meta(const std::string &id) {
  impl_->add([&](JournalGroup &g) { g.registry[id] = std::nullopt; });
}

void Journal::set_cursor(const std::string &sink, std::uint64_t seq) {
  impl_->cursors[sink] = seq;
  impl_->add([&](JournalGroup &g) { g.cursors[sink] = seq; });
}

void Journal::set_next_handle(std::uint64_t next) {
  impl_->add([&](JournalGroup &g) { g.next_handle = std::max(g.next_handle, next); });
}

std::uint64_t Journal::committed() const { return impl_->notifier->committed.load(); }

void Journal::on_commit(std::function<void(std::uint64_t)> fn) { impl_->notifier->fn = std::move(fn); }

bool Journal::flush(std::chrono::milliseconds timeout) {
  Impl &m = *impl_;
  std::unique_lock<std::mutex> lk(m.mutex);
  const std::uint64_t target = m.given;
  m.urgent = true;
  m.wake.notify_one();
  return m.done.wait_for(lk, timeout, [&] { return m.written >= target; });
}

std::vector<Event> Journal::read(std::uint64_t after, std::size_t max, const std::vector<EventType> &types) {
  std::lock_guard<std::mutex> lk(impl_->read_mutex);
  return impl_->reader.read(after, max, types);
}

HistoryPage Journal::history(const HistoryQuery &q) {
  std::lock_guard<std::mutex> lk(impl_->history_mutex);
  return impl_->history_reader.history(q);
}

bool Journal::summarize(SummaryWork *w) {
  std::lock_guard<std::mutex> lk(impl_->history_mutex);
  impl_->history_reader.summarize(w);
  return w->done;
}

std::uint64_t Journal::oldest() const { return impl_->oldest_seq.load(); }

std::uint64_t Journal::cursor(const std::string &sink) const {
  auto it = impl_->cursors.find(sink);
  return it == impl_->cursors.end() ? 0 : it->second;
}

const std::string &Journal::path() const { return impl_->path; }

Journal::Stats Journal::stats() const {
  const Impl &m = *impl_;
  std::lock_guard<std::mutex> lk(m.stats_mutex);
  Stats s = m.stats;
  s.refused = m.refused.load();
  s.full = m.full.load();
  if (!m.latencies.empty()) {
    std::vector<double> sorted = m.latencies;
    std::sort(sorted.begin(), sorted.end());
    s.commit_p50_ms = sorted[sorted.size() / 2];
    s.commit_p99_ms = sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
  }
  return s;
}

// ---- the writer thread ----

// A group goes to the disk when it is full, when its oldest record has
// waited group_ms for company, or at once when the writer has just finished
// a group: what came in while one group was being synced is the next group
// (the disk sets the pace under load, and no record waits out group_ms
// behind a busy writer).
void Journal::Impl::writer_main() {
  std::unique_lock<std::mutex> lk(mutex);
  bool just_written = false;
  for (;;) {
    const Clock::time_point now = Clock::now();
    const bool due = !pending.empty() && (stopping || urgent || just_written ||
                                          pending.records.size() >= config.group_records ||
                                          now >= pending_since + std::chrono::milliseconds(config.group_ms));
    just_written = false;
    if (due) {
      std::swap(taken, pending);
      urgent = false;
      const std::uint64_t changes = given, last_seq = next_seq - 1;
      lk.unlock();
      const bool ok = commit_taken(last_seq);
      lk.lock();
      if (!ok) break;
      written = changes;
      done.notify_all();
      just_written = true;
      continue;
    }
    if (pending.empty()) urgent = false;
    if (stopping) break;
    if (now >= trim_due) {
      lk.unlock();
      trim_alone();
      lk.lock();
      continue;
    }
    Clock::time_point until = trim_due;
    if (!pending.empty()) until = std::min(until, pending_since + std::chrono::milliseconds(config.group_ms));
    wake.wait_until(lk, until);
  }
  // A clean close gives back the seqs reserved beyond the last one handed out.
  if (pending.empty() && taken.empty()) db.reserve(next_seq - 1);
}

TrimRule Journal::Impl::trim_rule() const {
  TrimRule rule;
  if (config.retention_s != 0) rule.cutoff_ms = wall_ms() - 1000ll * config.retention_s;
  std::uint64_t least = UINT64_MAX;
  for (const auto &c : writer_cursors) least = std::min(least, c.second);
  rule.needed_after = least;
  if (trimming) rule.size_seq = config.drop_oldest ? UINT64_MAX : least;
  return rule;
}

bool Journal::Impl::commit_taken(std::uint64_t last_seq) {
  std::size_t from = 0;
  bool state_done = !taken.has_state();
  auto backoff = kRetryFirst;
  Clock::time_point give_up = Clock::time_point::max();
  while (from < taken.records.size() || !state_done) {
    const std::size_t to = std::min(taken.records.size(), from + std::max<std::size_t>(1, config.group_records));
    const std::uint64_t reserved =
        db.reserved() - last_seq < kSeqBlock / 2 ? last_seq + kSeqBlock : db.reserved();
    // Cursors moved in this transaction count for its retention step.
    if (!state_done)
      for (const auto &c : taken.cursors) writer_cursors[c.first] = c.second;
    TrimOutcome out;
    const Clock::time_point t0 = Clock::now();
    int rc = config.fault ? config.fault() : SQLITE_OK;
    if (rc == SQLITE_OK) rc = db.commit(taken, from, to, !state_done, reserved, trim_rule(), &out);
    if (rc != SQLITE_OK) {
      failed(rc);
      std::unique_lock<std::mutex> lk(mutex);
      if (stopping && give_up == Clock::time_point::max()) give_up = Clock::now() + kStopPatience;
      if (Clock::now() >= give_up) return false;
      wake.wait_for(lk, backoff, [&] { return stopping && give_up == Clock::time_point::max(); });
      backoff = std::min<std::chrono::milliseconds>(backoff * 2, kRetryMost);
      continue;
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    after_commit(to > from ? taken.records[to - 1].seq : 0, out, ms, true);
    {
      std::lock_guard<std::mutex> lk(mutex);
      seq_limit = db.reserved();
    }
    from = to;
    state_done = true;
  }
  taken.records.clear();
  taken.downlinks.clear();
  taken.requests.clear();
  taken.terminals.clear();
  taken.registry.clear();
  taken.cursors.clear();
  taken.next_handle = 0;
  return true;
}

void Journal::Impl::trim_alone() {
  TrimOutcome out;
  const int rc = db.commit(taken, 0, 0, false, db.reserved(), trim_rule(), &out);
  if (rc != SQLITE_OK) {
    failed(rc);
    trim_due = Clock::now() + kTrimIdle;
    return;
  }
  after_commit(0, out, 0, false);
}

void Journal::Impl::after_commit(std::uint64_t last_seq, const TrimOutcome &out, double ms, bool group) {
  const std::uint64_t used = db.used_bytes();
  const std::uint64_t max_bytes = static_cast<std::uint64_t>(config.max_mb) << 20;
  if (used > max_bytes) trimming = true;
  if (used <= max_bytes / 10 * 9) trimming = false;
  std::uint64_t least = UINT64_MAX;
  for (const auto &c : writer_cursors) least = std::min(least, c.second);
  const std::uint64_t oldest = db.oldest_seq();
  full = !config.drop_oldest && used > max_bytes && (oldest == 0 || oldest > least);
  {
    std::lock_guard<std::mutex> lk(mutex);
    oldest_seq = oldest != 0 ? oldest : next_seq;
  }
  trim_due = Clock::now() + (out.more || (trimming && !full) ? std::chrono::milliseconds(1)
                                                              : std::chrono::milliseconds(kTrimIdle));
  std::error_code ec;
  const std::uintmax_t file = std::filesystem::file_size(path, ec);
  const std::uintmax_t wal = std::filesystem::file_size(path + "-wal", ec);
  {
    std::lock_guard<std::mutex> lk(stats_mutex);
    stats.records = db.records();
    stats.bytes = (file == static_cast<std::uintmax_t>(-1) ? 0 : file) +
                  (wal == static_cast<std::uintmax_t>(-1) ? 0 : wal);
    stats.dropped += out.dropped;
    stats.error.clear();
    if (group) {
      ++stats.commits;
      if (latencies.size() < kLatenciesKept) latencies.push_back(ms);
      else latencies[latency_next] = ms;
      latency_next = (latency_next + 1) % kLatenciesKept;
    }
  }
  failing = false;
  if (last_seq > notifier->committed.load()) {
    notifier->committed = last_seq;
    notify();
  }
}

void Journal::Impl::failed(int rc) {
  failing = true;
  std::lock_guard<std::mutex> lk(stats_mutex);
  stats.error = path + ": " + failure_text(rc);
}

void Journal::Impl::notify() {
  if (!config.post || closing || notifier->posted.exchange(true)) return;
  std::shared_ptr<Notifier> n = notifier;
  config.post([n] {
    n->posted = false;
    const std::uint64_t c = n->committed.load();
    if (!n->alive || !n->fn || c <= n->told) return;
    n->told = c;
    n->fn(c);
  });
}

}  // namespace dtu::svc
