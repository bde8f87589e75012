// The journal: the centre's memory across restarts and broker outages, one
// SQLite file in the state directory (STATE_DIR/journal.db, WAL mode, no
// server).  It holds the events the sinks are given (each a record with a
// sequence number `seq`: 1, 2, 3 ..., never reused), the downlink queue,
// the parameter requests under way, the fleet state, one cursor per sink
// and the next handle.
//
// Conventions.
//  1. Threads.  open() and the destructor may block on the disk: call them
//     at start and at stop.  Every other member is for the loop thread and
//     never waits for the disk: writes go into the open group, which a
//     writer thread of the journal's own commits (one transaction and one
//     sync per group).  committed(), oldest() and stats() may be called from
//     any thread.
//  2. Groups.  A group is committed when it holds group_records records or
//     its first record is group_ms old, whichever comes first, or at once
//     when the writer has just finished a group: under load what came in
//     during one sync is the next group.  A group is the
//     unit of durability: after on_commit(n), every record up to seq n and
//     every state change made before it are on disk.
//  3. Durability.  WAL with synchronous=FULL: each commit syncs the WAL
//     once; SQLite's automatic checkpoint (every 1000 pages) copies the WAL
//     back into the file on the writer thread, and the WAL is cut back to
//     16 MB after a checkpoint.
//  4. Seq.  Handed out by append() in order.  Records reach the disk in
//     seq order, and a crash loses only the groups not yet committed: their
//     seqs are not given out again (numbering goes on past a block the
//     journal reserves ahead), so a seq may skip after a crash, never repeat.
//  5. Refusal.  append() returns 0 (nothing kept, `refused` counted) while
//     the journal is full with the "stop" policy or while the disk fails.
//     State changes (downlinks, requests, terminals, cursors) are never
//     refused: they are small and wait in memory until the disk takes them.
//  6. Failing disk.  SQLITE_FULL or an I/O error: the group is kept in
//     memory and tried again with a growing pause (50 ms up to 2 s); the
//     reason is in stats().error until a commit succeeds again.
//  7. Retention, on the writer thread in small deletes between groups:
//     records older than retention_s go; past max_mb, the oldest records
//     every sink's cursor has passed go.  When the journal is past max_mb
//     and a sink still needs the oldest, "stop" refuses appends (full) until
//     space is freed, and drop-oldest deletes them anyway.  Every record
//     deleted before all cursors passed it is counted in `dropped`.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "events.h"
#include "params.h"
#include "registry.h"
#include "service.h"

namespace dtu::svc {

// Exit codes of a centre whose journal cannot be opened.
constexpr int kExitStateDir = 3;   // the state directory cannot be created or written, or another centre holds it
constexpr int kExitDamaged = 4;    // the journal file is damaged (or from a newer schema)

struct JournalConfig {
  std::string dir;                  // the state directory; created when missing
  unsigned group_ms = 5;            // a group is committed when its first record is this old...
  std::size_t group_records = 256;  // ... or when it holds this many records
  std::size_t max_mb = 1024;        // records kept up to this size (MiB of used pages)
  unsigned retention_s = 604800;    // records older than this are deleted (7 days); 0 = never
  bool drop_oldest = false;         // full: false = "stop" (refuse appends), true = delete the oldest anyway
  // Runs a function on the loop thread (Service::post, or a test's queue);
  // on_commit goes through it.  Empty: on_commit is never called.
  std::function<void(std::function<void()>)> post;
  // For tests: called on the writer thread before each group's commit; a
  // nonzero SQLite result code (SQLITE_FULL, SQLITE_IOERR, ...) makes that
  // commit fail as if the disk had returned it.  Empty in production.
  std::function<int()> fault;
};

// A queued downlink as the journal keeps it.
struct JournalDownlink {
  std::uint64_t handle = 0;
  std::string id;                   // raw bytes
  std::vector<std::uint8_t> bytes;
  std::int64_t expires_ms = 0;      // wall clock, ms since 1970 UTC
  std::string state = "queued";     // "queued" | "sent" (on the wire, awaiting its DataReply)
};

// A parameter read or write waiting or on the wire.
struct JournalRequest {
  std::uint64_t handle = 0;
  std::string id;                   // raw bytes
  bool read = true;                 // false: a write
  std::vector<ParamValue> values;   // a write's values
};

// What a journal held when it was opened.
struct JournalState {
  using QueuedDownlink = JournalDownlink;
  // Every terminal kept: id, peer, reported, logon time, first/last seen
  // and the counters; off line, no recent frames, no queue counts.
  std::vector<Terminal> terminals;  // sorted by ID
  std::vector<JournalDownlink> downlinks;  // by handle (queue order)
  std::vector<JournalRequest> requests;    // by handle
  std::map<std::string, std::uint64_t> cursors;  // sink name -> highest seq it has finished with
  std::map<std::string, TerminalMeta> registry;  // raw ID -> what the operator registered
  std::uint64_t last_seq = 0;       // the highest seq given out before (0: none ever); the next is last_seq + 1
  std::uint64_t next_handle = 1;    // handles below it were given out before
};

// ---- history: the records as the front ends ask for them ----

constexpr std::size_t kHistoryPage = 500;  // records one history() call gives at most

// Which records, in which order, from where.  Every condition given must
// hold; times are the events' own (wall clock, ms since 1970 UTC).
struct HistoryQuery {
  std::int64_t from_ms = INT64_MIN;  // inclusive
  std::int64_t to_ms = INT64_MAX;    // inclusive
  std::vector<EventType> types;      // empty: every type
  std::string id;                    // one terminal (raw bytes); empty: any
  std::string prefix;                // IDs starting so (raw bytes); empty: any; ignored with `id`
  // With `by_ids`, only these terminals (raw bytes), on top of the above: a
  // group or label of the registry, resolved by the front end.  No ID: no
  // record.
  bool by_ids = false;
  std::vector<std::string> ids;
  std::size_t limit = kHistoryPage;  // capped at kHistoryPage
  std::uint64_t cursor = 0;          // 0: from the start of the range; else a page's next_cursor
  bool newest_first = false;         // false: in seq order, oldest first
};

struct HistoryPage {
  std::vector<Event> records;        // seq set
  // Where the next page starts (give it as the next query's cursor, with
  // the same conditions); 0 when the range has no more.  A page may hold
  // fewer records than asked for and still have a next_cursor: it stopped
  // scanning at its time budget.
  std::uint64_t next_cursor = 0;
  // Records of the range asked for (from_ms on) were deleted by retention
  // (age or size): the answer is not the whole story.
  bool truncated_by_retention = false;
  std::int64_t retained_from_ms = 0; // the oldest record held (0: none)
  std::string error;                 // the read failed (the page is empty)
};

// ---- summary: counts per time bucket, for charts ----

constexpr std::int64_t kSummaryLookBackMs = 3600 * 1000;  // how far before `from` a terminal's state is looked for

// Counts over [from_ms, to_ms) in buckets of bucket_ms: bucket k covers
// [from_ms + k * bucket_ms, from_ms + (k + 1) * bucket_ms), the last one cut
// at to_ms.
struct SummaryQuery {
  std::int64_t from_ms = 0;
  std::int64_t to_ms = 0;
  std::int64_t bucket_ms = 60000;
  std::string id;                    // one terminal (raw bytes); empty: the fleet
  std::string prefix;                // IDs starting so; ignored with `id`
};

struct SummaryBucket {
  std::int64_t t_ms = 0;             // the bucket's start
  std::uint64_t up = 0;              // data records (user data from terminals)
  std::uint64_t down = 0;            // downlink_sent records (user data put on the wire)
  std::uint64_t online = 0;          // terminals on line at any time in the bucket
};

// An on-line period of one terminal, cut to the query's range.
struct OnlinePeriod {
  std::int64_t from_ms = 0;
  std::int64_t to_ms = 0;            // kStillOnline: on line at the range's end
  static constexpr std::int64_t kStillOnline = INT64_MAX;
};

// A summary being computed: Journal::summarize() takes it a bounded step at
// a time, so that the caller can let other readers in between.  A terminal
// is on line after a logon and any record only a terminal on line makes
// (data, data_reply, id_report, param replies, addr_change,
// duplicate_logon, downlink_sent, downlink_delivered) and off line after
// logout, idle and closed; start and stop take every terminal off line.  Its
// state at from_ms is what its last such record in the look-back before
// from_ms (kSummaryLookBackMs, longer than any usual idle timeout) says;
// a terminal not heard in that hour counts from its first record in range.
struct SummaryWork {
  explicit SummaryWork(SummaryQuery query);
  SummaryQuery q;
  std::vector<SummaryBucket> buckets;
  std::vector<OnlinePeriod> periods;  // with q.id only
  bool truncated_by_retention = false;
  std::string error;                  // the read failed (the summary is not whole)
  bool done = false;

  // ---- the walk's own state ----
  int stage = 0;                      // 0: not begun, 1: look-back, 2: the range, 3: done
  std::uint64_t pos = 0, lb_end = 0, lo = 0, hi = 0;  // seqs: where the walk is, the look-back's and the range's ends
  struct State {
    bool on = false;
    std::int64_t counted = -1;        // the last bucket it was counted on line in
    std::uint64_t seen = 0;           // look-back: the seq of its last record
  };
  std::map<std::string, State> terms;
  std::uint64_t reset_seq = 0;        // look-back: the last start or stop
  std::uint64_t on_count = 0;         // terminals on line now
  std::int64_t bucket = -1;           // the bucket the walk has reached
};

class Journal {
 public:
  // Opens (creating) dir/journal.db, takes the lock dir/lock (a second
  // journal on the same directory is refused, in this process or another),
  // checks the file (quick_check), brings the schema up to date and reads
  // the state back into *restored.  nullptr with *error (naming the path
  // and the reason, or the check's verdict and the way out) and *exit_code
  // (kExitStateDir or kExitDamaged).  A damaged file is left as it is.
  static std::unique_ptr<Journal> open(const JournalConfig &config, JournalState *restored,
                                       std::string *error, int *exit_code);
  // Checks dir/journal.db without opening it for writing and without the
  // lock (integrity_check: every page): 0 when sound, else kExitStateDir
  // (missing, unreadable) or kExitDamaged, with the verdict in *report.
  static int check(const std::string &dir, std::string *report);

  // Commits what is waiting (bounded by a few seconds when the disk fails),
  // stops the writer, closes the file and releases the lock.
  ~Journal();
  Journal(const Journal &) = delete;
  Journal &operator=(const Journal &) = delete;

  // A record of the event (every field; e.seq is ignored): its seq, or 0
  // when refused (see the conventions).  Wire (trace) events are not kept:
  // 0, not counted as refused.
  std::uint64_t append(const Event &e);

  // The downlink queue: a message is put when it is queued (and again when
  // its state changes) and ended when it leaves the queue for good.
  void put_downlink(const JournalDownlink &d);
  void end_downlink(std::uint64_t handle);
  // Parameter requests: put when made, ended when answered or timed out.
  void put_request(const JournalRequest &r);
  void end_request(std::uint64_t handle);
  // The fleet state of one terminal (the core writes those that changed,
  // once a second); forget_terminal when the fleet lets one go.
  void put_terminal(const Terminal &t);
  void forget_terminal(const std::string &id);
  // The registry: an ID registered (or its entry replaced), or unregistered.
  void put_meta(const std::string &id, const TerminalMeta &m);
  void forget_meta(const std::string &id);
  // A sink's progress: it has finished with every record up to `seq`.  A
  // sink counts for size retention from its first set_cursor (0 is fine).
  void set_cursor(const std::string &sink, std::uint64_t seq);
  // Handles below `next` have been given out.  The journal also raises it
  // itself past every handle it is given (requests, downlinks, events).
  void set_next_handle(std::uint64_t next);

  // The highest seq whose group is on disk.
  std::uint64_t committed() const;
  // Called on the loop thread (through JournalConfig::post) after commits,
  // with the new committed(); values only grow.  Several commits may be
  // reported by one call.
  void on_commit(std::function<void(std::uint64_t committed)> fn);
  // For tests and the stop path: waits until everything given so far is
  // committed; false when that takes longer than `timeout` (disk failing).
  bool flush(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Up to `max` committed records with seq > after, oldest first, as
  // Events with seq set; only of `types` when that is not empty.  Through a
  // read connection of its own (the writer does not hold it up).
  std::vector<Event> read(std::uint64_t after, std::size_t max, const std::vector<EventType> &types = {});
  // One page of the committed records `q` asks for, in seq order (oldest
  // or newest first).  Any thread; through a read connection of its own,
  // so that a history page never holds up read() (the loop's) nor the
  // writer.  A call is bounded: at most kHistoryPage records, and it stops
  // scanning after about 20 ms (a rare match over a long range), saying
  // where to go on.  Front ends page on their own threads; the loop may
  // ask for a short page (the console's few rows of one terminal: the ID
  // index makes that a short walk).
  HistoryPage history(const HistoryQuery &q);
  // One bounded step (about 20 ms, through the history connection) of
  // `w`; true once w->done.  Any thread but the loop's; call again until done.
  bool summarize(SummaryWork *w);
  // The lowest seq still held; when none is held, the seq the next record
  // will get.
  std::uint64_t oldest() const;
  // A sink's cursor as last set (or restored); 0 for a sink never set.
  std::uint64_t cursor(const std::string &sink) const;
  // The journal file's path.
  const std::string &path() const;

  struct Stats {
    std::uint64_t records = 0;      // held now
    std::uint64_t bytes = 0;        // the file and its WAL on disk
    std::uint64_t commits = 0;      // groups committed since open
    std::uint64_t dropped = 0;      // records deleted before every sink had them
    std::uint64_t refused = 0;      // appends refused (full or disk failing)
    double commit_p50_ms = 0, commit_p99_ms = 0;  // a group's transaction, recent groups
    bool full = false;              // past max_mb with the "stop" policy: appends refused
    std::string error;              // why commits fail now; empty when they do not
  };
  Stats stats() const;

  struct Impl;

 private:
  explicit Journal(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace dtu::svc
