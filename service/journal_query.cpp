// History pages out of the journal: the records a front end asks for by
// time, type and ID, in seq order, a bounded page at a time.
//
// A page walks the records by seq in windows of kWindow seqs (through the
// primary key, for one terminal too: the journal keeps no index by ID, which
// would cost every commit a page per terminal), so a filter that
// rarely matches costs one bounded window after another, never a scan of
// the whole file in one statement.  Between windows it looks at the clock
// and stops after kBudget with what it has and where to go on.  Time bounds
// become seq bounds through the time index: records are taken to be in
// time order as they are in seq order (a wall clock stepped back can hide
// the records written just after the step from a time-bounded query).
#include <chrono>

#include "journal_db.h"

namespace dtu::svc {
namespace {

constexpr std::uint64_t kWindow = 20000;              // seqs one statement looks at
constexpr auto kBudget = std::chrono::milliseconds(20);  // scanning per page

}  // namespace

std::int64_t JournalDb::scalar(const std::string &sql, std::initializer_list<std::int64_t> binds,
                               std::int64_t none) {
  Statement st;
  if (st.prepare(db_, sql) != SQLITE_OK) return none;
  int i = 1;
  for (std::int64_t v : binds) st.bind(i++, v);
  if (st.step() != SQLITE_ROW || sqlite3_column_type(st.get(), 0) == SQLITE_NULL) return none;
  return st.i64(0);
}

// Records with above < seq < below matching q, in q's order, at most `want`.
int JournalDb::history_window(const HistoryQuery &q, std::uint64_t above, std::uint64_t below, std::size_t want,
                              std::vector<Event> *out) {
  // "+time_ms" and substr() keep the planner on the seq order (the key)
  // instead of sorting a range.
  std::string sql = std::string("SELECT ") + kRecordColumns + " FROM records WHERE seq > ?1 AND seq < ?2";
  if (!q.id.empty()) sql += " AND id = ?3";
  else if (!q.prefix.empty()) sql += " AND substr(id, 1, ?4) = ?3";
  if (q.from_ms != INT64_MIN) sql += " AND +time_ms >= ?5";
  if (q.to_ms != INT64_MAX) sql += " AND +time_ms <= ?6";
  if (q.by_ids) {
    sql += " AND id IN (";
    for (std::size_t i = 0; i < q.ids.size(); ++i) sql += (i ? ",?" : "?") + std::to_string(8 + i);
    sql += ")";
  }
  if (!q.types.empty()) {
    sql += " AND type IN (";
    for (std::size_t i = 0; i < q.types.size(); ++i) sql += std::string(i ? ",'" : "'") + event_name(q.types[i]) + "'";
    sql += ")";
  }
  sql += q.newest_first ? " ORDER BY seq DESC LIMIT ?7" : " ORDER BY seq LIMIT ?7";
  Statement st;
  int rc = st.prepare(db_, sql);
  if (rc != SQLITE_OK) return rc;
  st.bind_u64(1, above);
  st.bind_u64(2, below);
  const std::string &key = q.id.empty() ? q.prefix : q.id;
  if (!key.empty()) st.bind_bytes(3, key);
  st.bind(4, static_cast<std::int64_t>(q.prefix.size()));
  st.bind(5, q.from_ms);
  st.bind(6, q.to_ms);
  st.bind(7, static_cast<std::int64_t>(want));
  if (q.by_ids)
    for (std::size_t i = 0; i < q.ids.size(); ++i) st.bind_bytes(static_cast<int>(8 + i), q.ids[i]);
  while ((rc = st.step()) == SQLITE_ROW) out->push_back(record_at(st));
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

HistoryPage JournalDb::history(const HistoryQuery &q) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + kBudget;
  HistoryPage page;
  const std::size_t limit = std::min(std::max<std::size_t>(q.limit, 1), kHistoryPage);
  // The range in seqs: lo < seq < hi.
  std::uint64_t lo = 0;
  std::uint64_t hi = static_cast<std::uint64_t>(scalar("SELECT MAX(seq) FROM records", {}, 0)) + 1;
  if (q.from_ms != INT64_MIN)
    lo = static_cast<std::uint64_t>(
        scalar("SELECT seq FROM records WHERE time_ms >= ?1 ORDER BY time_ms, seq LIMIT 1", {q.from_ms},
               static_cast<std::int64_t>(hi)) - 1);
  if (q.to_ms != INT64_MAX)
    hi = static_cast<std::uint64_t>(
        scalar("SELECT seq FROM records WHERE time_ms <= ?1 ORDER BY time_ms DESC, seq DESC LIMIT 1", {q.to_ms}, 0) +
        1);
  const std::int64_t trimmed_ms = scalar("SELECT trimmed_ms FROM bookkeeping WHERE trimmed_seq > 0", {}, INT64_MIN);
  page.truncated_by_retention = trimmed_ms != INT64_MIN && q.from_ms <= trimmed_ms;
  page.retained_from_ms = scalar("SELECT time_ms FROM records ORDER BY seq LIMIT 1", {}, 0);
  // pos: the seq the walk has reached (excluded); it moves a window at a time.
  std::uint64_t pos = q.newest_first ? hi : lo;
  if (q.cursor != 0) pos = q.newest_first ? std::min(pos, q.cursor) : std::max(pos, q.cursor);
  auto more = [&] { return !(q.by_ids && q.ids.empty()) && (q.newest_first ? pos > lo + 1 : pos + 1 < hi); };
  while (more() && page.records.size() < limit) {
    const std::size_t want = limit - page.records.size();
    const std::size_t had = page.records.size();
    std::uint64_t above, below;
    if (q.newest_first) {
      above = pos - 1 > lo + kWindow ? pos - 1 - kWindow : lo;
      below = pos;
    } else {
      above = pos;
      below = hi - pos > kWindow + 1 ? pos + 1 + kWindow : hi;
    }
    const int rc = history_window(q, above, below, want, &page.records);
    if (rc != SQLITE_OK) {
      page.records.clear();
      page.error = std::string("cannot read the journal: ") + sqlite3_errstr(rc);
      return page;
    }
    if (page.records.size() - had == want) pos = page.records.back().seq;  // full: go on after the last one
    else pos = q.newest_first ? above + 1 : below - 1;                     // the window is done
    if (Clock::now() >= until) break;
  }
  page.next_cursor = more() ? pos : 0;
  return page;
}

}  // namespace dtu::svc
