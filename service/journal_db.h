// Inside the journal: the SQLite side (the file's schema and its versions,
// the check, one transaction per group, retention's deletes, the state read
// back, records read out).  A JournalDb is one connection used by one thread
// at a time; the journal keeps one for its writer thread and one for reads.
// For journal.cpp only.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "journal.h"

namespace dtu::svc {

// What waits for one transaction: records (seq set, ascending) and the state
// changes since the last one, the latest per key (nullopt: ended).
struct JournalGroup {
  std::vector<Event> records;
  std::map<std::uint64_t, std::optional<JournalDownlink>> downlinks;
  std::map<std::uint64_t, std::optional<JournalRequest>> requests;
  std::map<std::string, std::optional<Terminal>> terminals;
  std::map<std::string, std::optional<TerminalMeta>> registry;
  std::map<std::string, std::uint64_t> cursors;
  std::uint64_t next_handle = 0;  // 0: unchanged
  bool has_state() const {
    return !downlinks.empty() || !requests.empty() || !terminals.empty() || !registry.empty() ||
           !cursors.empty() || next_handle != 0;
  }
  bool empty() const { return records.empty() && !has_state(); }
};

// One step of retention inside a transaction: from the oldest record on,
// records older than `cutoff_ms` go, and records up to `size_seq` go.
// Records above `needed_after` are still wanted by a sink: deleting them is
// counted as dropped.
struct TrimRule {
  std::int64_t cutoff_ms = INT64_MIN;
  std::uint64_t size_seq = 0;
  std::uint64_t needed_after = UINT64_MAX;
  bool active() const { return cutoff_ms != INT64_MIN || size_seq != 0; }
};
struct TrimOutcome {
  std::uint64_t deleted = 0, dropped = 0;
  bool more = false;  // a full step: more may be waiting
};

// A prepared statement, finalized with its owner.
class Statement {
 public:
  Statement() = default;
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;
  int prepare(sqlite3 *db, const std::string &sql);
  sqlite3_stmt *get() const { return stmt_; }
  void bind(int i, std::int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  void bind_u64(int i, std::uint64_t v) { bind(i, static_cast<std::int64_t>(v)); }
  // Bytes as a BLOB (empty: a zero-length BLOB); they must outlive step().
  void bind_bytes(int i, const void *bytes, std::size_t size);
  void bind_bytes(int i, std::string_view s) { bind_bytes(i, s.data(), s.size()); }
  // A constant text (a name the program holds for its whole life).
  void bind_name(int i, const char *name) { sqlite3_bind_text(stmt_, i, name, -1, SQLITE_STATIC); }
  int step() { return sqlite3_step(stmt_); }
  void reset() {
    if (!stmt_) return;  // never prepared
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  std::int64_t i64(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::uint64_t u64(int col) const { return static_cast<std::uint64_t>(i64(col)); }
  std::string bytes(int col) const;

 private:
  sqlite3_stmt *stmt_ = nullptr;
};

class JournalDb {
 public:
  JournalDb() = default;
  ~JournalDb();
  JournalDb(const JournalDb &) = delete;
  JournalDb &operator=(const JournalDb &) = delete;

  // The writer's connection: opens (creating) `path`, checks it, sets WAL
  // and brings the schema up to date.  False with *error and *code.
  bool open_writer(const std::string &path, std::string *error, int *code);
  // A reading connection to a journal the writer has opened.
  bool open_reader(const std::string &path, std::string *error);
  // The check for --journal-check: `full` runs integrity_check, else
  // quick_check.  "ok" when sound, else the verdict's lines joined.
  static std::string verdict(sqlite3 *db, bool full);

  // Writer: the state and the bookkeeping row, at open.
  bool load(JournalState *state, std::string *error);
  // Writer, at open: reserves seqs up to `reserved` before any is handed out.
  int reserve(std::uint64_t reserved);

  // Writer: one transaction with records [from, to) of the group, its state
  // changes when `with_state`, a retention step under `rule` and the
  // bookkeeping row.  An SQLite result code; on failure nothing is written.
  int commit(const JournalGroup &g, std::size_t from, std::size_t to, bool with_state,
             std::uint64_t reserved, const TrimRule &rule, TrimOutcome *trimmed);

  // Reader: committed records after `after`, oldest first (see Journal::read).
  std::vector<Event> read(std::uint64_t after, std::size_t max, const std::vector<EventType> &types);
  // Reader: one page of history (see Journal::history; journal_query.cpp).
  HistoryPage history(const HistoryQuery &q);
  // Reader: one step of a summary (see Journal::summarize; journal_summary.cpp).
  void summarize(SummaryWork *w);
  // The record in the current row of a statement that selects kRecordColumns.
  static Event record_at(const Statement &st);
  static const char *const kRecordColumns;

  std::uint64_t records() const { return records_; }       // held, as of the last commit
  std::uint64_t reserved() const { return reserved_; }     // seqs reserved on disk
  std::uint64_t next_handle() const { return next_handle_; }
  std::uint64_t used_bytes();                               // pages in use, in bytes
  std::uint64_t oldest_seq();                               // 0 when none is held
  std::string message() const { return db_ ? sqlite3_errmsg(db_) : "no database"; }

 private:
  int exec(const char *sql);
  int migrate(std::string *error, int *code);
  int prepare_writes();
  int write_record(const Event &e);
  int write_state(const JournalGroup &g);
  int trim_step(const TrimRule &rule, TrimOutcome *out);
  int write_meta(std::uint64_t records, std::uint64_t reserved, std::uint64_t next_handle);
  bool load_terminals(JournalState *state);
  bool load_queues(JournalState *state);
  bool load_registry(JournalState *state);
  // journal_query.cpp: a single value from `sql` with `binds`, or `none`.
  std::int64_t scalar(const std::string &sql, std::initializer_list<std::int64_t> binds, std::int64_t none);
  int history_window(const HistoryQuery &q, std::uint64_t above, std::uint64_t below, std::size_t want,
                     std::vector<Event> *out);

  // journal_summary.cpp.
  int summary_begin(SummaryWork *w);
  int summary_look_back(SummaryWork *w, std::uint64_t above, std::uint64_t below);
  int summary_window(SummaryWork *w, std::uint64_t above, std::uint64_t below);

  sqlite3 *db_ = nullptr;
  std::uint64_t records_ = 0, reserved_ = 0, next_handle_ = 1;
  std::int64_t page_size_ = 4096;
  Statement begin_, commit_, rollback_, insert_record_, put_downlink_, end_downlink_, put_request_,
      end_request_, put_terminal_, forget_terminal_,
      put_registry_, end_registry_, put_cursor_, put_meta_, head_, trim_, trimmed_, used_, oldest_;
  std::map<std::uint64_t, Statement> reads_;  // by the mask of types asked for (0: every type)
};

}  // namespace dtu::svc
