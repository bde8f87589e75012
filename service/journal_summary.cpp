// Summaries out of the journal: per time bucket the data records up and
// down and the terminals on line, for the page's charts.
//
// Like a history page, the walk goes over the records by seq in windows of
// kWindow seqs (time bounds turned into seq bounds through the time index)
// and a call stops at kBudget, so that a month's summary is many short
// steps with other readers let in between.  In each window the counts come
// from one GROUP BY statement; only the records that change a terminal's
// state come out one by one.  A terminal's state at `from` comes from a
// bounded look-back (kSummaryLookBackMs before `from`), where one GROUP BY
// statement per window gives each terminal's last record: no per-terminal
// scan back through the whole file.
#include <algorithm>
#include <chrono>

#include "journal_db.h"

namespace dtu::svc {
namespace {

constexpr std::uint64_t kWindow = 20000;                 // seqs one statement looks at
constexpr auto kBudget = std::chrono::milliseconds(20);  // walking per call

// Records that leave their terminal on line, as the look-back reads them.
constexpr const char *kOnTypes =
    "'logon','data','data_reply','id_report','param_read','param_set','addr_change','duplicate_logon',"
    "'downlink_sent','downlink_delivered'";
constexpr const char *kOffTypes = "'logout','idle','closed'";
constexpr const char *kResetTypes = "'start','stop'";

bool is_reset(const std::string &type) { return type == "start" || type == "stop"; }
bool is_off(const std::string &type) { return type == "logout" || type == "idle" || type == "closed"; }

// The ID condition of the query (?6: the ID or prefix, ?7: the prefix's
// length); start and stop (no ID) are kept when `resets`.
std::string id_condition(const SummaryQuery &q, bool resets) {
  std::string cond;
  if (!q.id.empty()) cond = "id = ?6";
  else if (!q.prefix.empty()) cond = "substr(id, 1, ?7) = ?6";
  else return "";
  if (resets) return std::string(" AND (") + cond + " OR type IN (" + kResetTypes + "))";
  return " AND " + cond;
}

void bind_common(Statement &st, const SummaryQuery &q, std::uint64_t above, std::uint64_t below,
                 std::int64_t from_ms, std::int64_t to_ms) {
  st.bind_u64(1, above);
  st.bind_u64(2, below);
  st.bind(3, from_ms);
  st.bind(4, to_ms);
  st.bind(5, q.bucket_ms);
  const std::string &key = q.id.empty() ? q.prefix : q.id;
  if (!key.empty()) st.bind_bytes(6, key);
  st.bind(7, static_cast<std::int64_t>(q.prefix.size()));
}

// The walk reaches bucket k: the buckets passed on the way start with the
// terminals on line then.
void advance(SummaryWork *w, std::int64_t k) {
  while (w->bucket < k) w->buckets[static_cast<std::size_t>(++w->bucket)].online = w->on_count;
}

void turn_on(SummaryWork *w, SummaryWork::State &s, std::int64_t k, std::int64_t t_ms) {
  if (s.on) return;
  s.on = true;
  ++w->on_count;
  if (s.counted != k) ++w->buckets[static_cast<std::size_t>(k)].online, s.counted = k;
  if (!w->q.id.empty()) w->periods.push_back({t_ms, OnlinePeriod::kStillOnline});
}

void turn_off(SummaryWork *w, SummaryWork::State &s, std::int64_t k, std::int64_t t_ms) {
  if (!s.on) return;
  s.on = false;
  --w->on_count;
  s.counted = k;  // on line in this bucket: counted at its start or when it came
  if (!w->q.id.empty() && !w->periods.empty()) w->periods.back().to_ms = t_ms;
}

}  // namespace

SummaryWork::SummaryWork(SummaryQuery query) : q(std::move(query)) {}

int JournalDb::summary_begin(SummaryWork *w) {
  const SummaryQuery &q = w->q;
  const std::int64_t n = (q.to_ms - q.from_ms + q.bucket_ms - 1) / q.bucket_ms;
  for (std::int64_t k = 0; k < n; ++k) w->buckets.push_back({q.from_ms + k * q.bucket_ms, 0, 0, 0});
  // Seqs, as a history page finds them: lb < seq <= lo is the look-back,
  // lo < seq < hi the range.
  w->hi = static_cast<std::uint64_t>(scalar("SELECT MAX(seq) FROM records", {}, 0)) + 1;
  const auto first_from = [&](std::int64_t ms) {
    return static_cast<std::uint64_t>(
        scalar("SELECT seq FROM records WHERE time_ms >= ?1 ORDER BY time_ms, seq LIMIT 1", {ms},
               static_cast<std::int64_t>(w->hi)) - 1);
  };
  w->lo = first_from(q.from_ms);
  const std::uint64_t lb = std::min(first_from(q.from_ms - kSummaryLookBackMs), w->lo);
  w->hi = static_cast<std::uint64_t>(
      scalar("SELECT seq FROM records WHERE time_ms < ?1 ORDER BY time_ms DESC, seq DESC LIMIT 1", {q.to_ms}, 0) + 1);
  const std::int64_t trimmed_ms = scalar("SELECT trimmed_ms FROM bookkeeping WHERE trimmed_seq > 0", {}, INT64_MIN);
  w->truncated_by_retention = trimmed_ms != INT64_MIN && q.from_ms <= trimmed_ms;
  w->pos = lb;
  w->lb_end = w->lo + 1;
  w->stage = 1;
  return SQLITE_OK;
}

// Each terminal's last record in the window (SQLite takes the bare columns
// of a MAX() aggregate from the row that has the maximum).
int JournalDb::summary_look_back(SummaryWork *w, std::uint64_t above, std::uint64_t below) {
  const SummaryQuery &q = w->q;
  const std::string sql = std::string("SELECT id, type, MAX(seq) FROM records WHERE seq > ?1 AND seq < ?2") +
                          " AND +time_ms >= ?3 AND +time_ms < ?4 AND type IN (" + kOnTypes + "," + kOffTypes + "," +
                          kResetTypes + ")" + id_condition(q, true) + " GROUP BY id";
  Statement st;
  int rc = st.prepare(db_, sql);
  if (rc != SQLITE_OK) return rc;
  bind_common(st, q, above, below, q.from_ms - kSummaryLookBackMs, q.from_ms);
  while ((rc = st.step()) == SQLITE_ROW) {
    const std::string type = st.bytes(1);
    const std::uint64_t seq = st.u64(2);
    if (is_reset(type)) {
      w->reset_seq = std::max(w->reset_seq, seq);
    } else if (sqlite3_column_bytes(st.get(), 0) > 0) {
      SummaryWork::State &s = w->terms[st.bytes(0)];
      s.on = !is_off(type);
      s.seen = seq;
    }
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The window's counts per bucket, then its state changes in order.
int JournalDb::summary_window(SummaryWork *w, std::uint64_t above, std::uint64_t below) {
  const SummaryQuery &q = w->q;
  const std::int64_t n = static_cast<std::int64_t>(w->buckets.size());
  const std::string range = " WHERE seq > ?1 AND seq < ?2 AND +time_ms >= ?3 AND +time_ms < ?4";
  Statement counts, states;
  int rc = counts.prepare(db_, "SELECT (time_ms - ?3) / ?5, SUM(type = 'data'), SUM(type = 'downlink_sent') "
                               "FROM records" + range + " AND type IN ('data','downlink_sent')" +
                               id_condition(q, false) + " GROUP BY 1");
  if (rc != SQLITE_OK) return rc;
  bind_common(counts, q, above, below, q.from_ms, q.to_ms);
  while ((rc = counts.step()) == SQLITE_ROW) {
    const std::int64_t k = counts.i64(0);
    if (k < 0 || k >= n) continue;
    w->buckets[static_cast<std::size_t>(k)].up += counts.u64(1);
    w->buckets[static_cast<std::size_t>(k)].down += counts.u64(2);
  }
  if (rc != SQLITE_DONE) return rc;
  rc = states.prepare(db_, std::string("SELECT time_ms, type, id FROM records") + range + " AND type IN ('logon'," +
                               kOffTypes + "," + kResetTypes + ")" + id_condition(q, true) + " ORDER BY seq");
  if (rc != SQLITE_OK) return rc;
  bind_common(states, q, above, below, q.from_ms, q.to_ms);
  while ((rc = states.step()) == SQLITE_ROW) {
    const std::int64_t t = states.i64(0);
    const std::int64_t k = std::clamp<std::int64_t>((t - q.from_ms) / q.bucket_ms, 0, n - 1);
    advance(w, k);
    const std::string type = states.bytes(1);
    if (is_reset(type)) {
      for (auto &[id, s] : w->terms) turn_off(w, s, k, t);
    } else if (type == "logon") {
      turn_on(w, w->terms[states.bytes(2)], k, t);
    } else {
      auto it = w->terms.find(states.bytes(2));
      if (it != w->terms.end()) turn_off(w, it->second, k, t);
    }
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

void JournalDb::summarize(SummaryWork *w) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + kBudget;
  if (w->done) return;
  int rc = SQLITE_OK;
  if (w->stage == 0) rc = summary_begin(w);
  while (rc == SQLITE_OK && w->stage != 3) {
    if (w->stage == 1) {
      if (w->pos + 1 >= w->lb_end) {
        // The look-back is done: what it found is the state at `from`.
        for (auto it = w->terms.begin(); it != w->terms.end();)
          if (!it->second.on || it->second.seen < w->reset_seq) it = w->terms.erase(it);
          else ++it;
        w->on_count = w->terms.size();
        if (!w->q.id.empty() && w->on_count) w->periods.push_back({w->q.from_ms, OnlinePeriod::kStillOnline});
        w->pos = w->lo;
        w->stage = 2;
        continue;
      }
      const std::uint64_t below = std::min(w->pos + 1 + kWindow, w->lb_end);
      rc = summary_look_back(w, w->pos, below);
      w->pos = below - 1;
    } else {
      if (w->pos + 1 >= w->hi) {
        if (!w->buckets.empty()) advance(w, static_cast<std::int64_t>(w->buckets.size()) - 1);
        w->stage = 3;
        break;
      }
      const std::uint64_t below = std::min(w->pos + 1 + kWindow, w->hi);
      rc = summary_window(w, w->pos, below);
      w->pos = below - 1;
    }
    if (Clock::now() >= until) break;
  }
  if (rc != SQLITE_OK) {
    w->error = std::string("cannot read the journal: ") + sqlite3_errstr(rc);
    w->stage = 3;
  }
  w->done = w->stage == 3;
}

}  // namespace dtu::svc
