// The journal's SQLite side: schema and versions, the check at open, one
// transaction per group, retention's deletes, the state read back and the
// records read out.  Every text of an event is kept as a BLOB, so that any
// byte comes back as it went in; endpoints are kept as addr << 16 | port.
#include "journal_db.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace dtu::svc {
namespace {

constexpr int kTrimStep = 512;            // records deleted per retention step at most
constexpr const char *kWalLimit = "16777216";  // bytes the WAL is cut back to after a checkpoint

// Every counter of a terminal the journal keeps, in the order of its
// columns in `terminals`.
#define DTU_JOURNAL_COUNTERS(X)                                                                        \
  X(datagrams_in) X(datagrams_out) X(bytes_in) X(bytes_out) X(in.logon) X(in.logout) X(in.data)        \
  X(in.data_reply) X(in.invalid) X(in.param_read) X(in.param_set) X(in.id_report) X(in.other)          \
  X(out.acks) X(out.downlinks) X(out.commands) X(out.params) X(addr_changes) X(duplicate_logons)

// Schema versions: entry n brings a file from user_version n to n + 1.
// Later versions add entries; an entry is never changed once released.
const char *const kMigrations[] = {
    R"(CREATE TABLE records (
         seq INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, type TEXT NOT NULL, id BLOB NOT NULL,
         peer INTEGER NOT NULL, old_peer INTEGER NOT NULL, reported INTEGER NOT NULL,
         data BLOB NOT NULL, length INTEGER NOT NULL, reason BLOB NOT NULL, text BLOB NOT NULL,
         request INTEGER NOT NULL, params BLOB NOT NULL, inbound INTEGER NOT NULL,
         slot INTEGER NOT NULL, check_name BLOB NOT NULL, state BLOB NOT NULL);
       CREATE TABLE downlinks (handle INTEGER PRIMARY KEY, id BLOB NOT NULL, bytes BLOB NOT NULL,
         expires_ms INTEGER NOT NULL, state BLOB NOT NULL);
       CREATE TABLE requests (handle INTEGER PRIMARY KEY, id BLOB NOT NULL, read INTEGER NOT NULL,
         params BLOB NOT NULL);
       CREATE TABLE terminals (id BLOB PRIMARY KEY, peer INTEGER NOT NULL, reported INTEGER NOT NULL,
         logon_ms INTEGER NOT NULL, first_seen_ms INTEGER NOT NULL, last_seen_ms INTEGER NOT NULL,
         datagrams_in INTEGER NOT NULL, datagrams_out INTEGER NOT NULL, bytes_in INTEGER NOT NULL,
         bytes_out INTEGER NOT NULL, in_logon INTEGER NOT NULL, in_logout INTEGER NOT NULL,
         in_data INTEGER NOT NULL, in_data_reply INTEGER NOT NULL, in_invalid INTEGER NOT NULL,
         in_param_read INTEGER NOT NULL, in_param_set INTEGER NOT NULL, in_id_report INTEGER NOT NULL,
         in_other INTEGER NOT NULL, out_acks INTEGER NOT NULL, out_downlinks INTEGER NOT NULL,
         out_commands INTEGER NOT NULL, out_params INTEGER NOT NULL, addr_changes INTEGER NOT NULL,
         duplicate_logons INTEGER NOT NULL) WITHOUT ROWID;
       CREATE TABLE cursors (sink BLOB PRIMARY KEY, seq INTEGER NOT NULL) WITHOUT ROWID;
       CREATE TABLE bookkeeping (one INTEGER PRIMARY KEY CHECK (one = 1), records INTEGER NOT NULL,
         seq_reserved INTEGER NOT NULL, next_handle INTEGER NOT NULL);
       INSERT INTO bookkeeping VALUES (1, 0, 0, 1);)",
    // History: the seq where a time begins, and the newest record retention
    // deleted.  No index by terminal: its entries land on a different page
    // for each terminal of a group, which made every commit write a page per
    // terminal and cut the acknowledged rate to a third; a terminal's
    // history walks the records by seq in bounded windows instead.
    R"(CREATE INDEX records_by_time ON records (time_ms);
       ALTER TABLE bookkeeping ADD COLUMN trimmed_seq INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE bookkeeping ADD COLUMN trimmed_ms INTEGER NOT NULL DEFAULT 0;)",
    // The registry: one row per registered ID; labels as encode_labels
    // writes them.
    R"(CREATE TABLE registry (id BLOB PRIMARY KEY, name BLOB NOT NULL, grp BLOB NOT NULL,
         labels BLOB NOT NULL, note BLOB NOT NULL) WITHOUT ROWID;)",
};
constexpr int kSchemaVersion = sizeof kMigrations / sizeof kMigrations[0];

constexpr const char *kColumns =
    "seq, time_ms, type, id, peer, old_peer, reported, data, length, reason, text, request, params, "
    "inbound, slot, check_name, state";

std::int64_t pack(const Endpoint &e) { return static_cast<std::int64_t>(e.addr) << 16 | e.port; }
Endpoint unpack(std::int64_t v) {
  Endpoint e;
  e.addr = static_cast<std::uint32_t>(v >> 16);
  e.port = static_cast<std::uint16_t>(v & 0xFFFF);
  return e;
}

// Parameter values, byte by byte: per value tag (2, big-endian), form (1),
// number (4), text length (4), text.
void put_be(std::string *out, std::uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<char>(v >> (8 * i) & 0xFF));
}
bool get_be(const std::string &in, std::size_t *at, int bytes, std::uint32_t *v) {
  if (in.size() - *at < static_cast<std::size_t>(bytes)) return false;
  *v = 0;
  for (int i = 0; i < bytes; ++i) *v = *v << 8 | static_cast<std::uint8_t>(in[(*at)++]);
  return true;
}
std::string encode_params(const std::vector<ParamValue> &values) {
  std::string out;
  for (const ParamValue &v : values) {
    put_be(&out, static_cast<std::uint32_t>(v.tag), 2);
    put_be(&out, static_cast<std::uint32_t>(v.form), 1);
    put_be(&out, v.number, 4);
    put_be(&out, static_cast<std::uint32_t>(v.text.size()), 4);
    out += v.text;
  }
  return out;
}
// Stops at the first value that does not decode whole.
std::vector<ParamValue> decode_params(const std::string &in) {
  std::vector<ParamValue> values;
  std::size_t at = 0;
  std::uint32_t tag, form, number, length;
  while (at < in.size() && get_be(in, &at, 2, &tag) && get_be(in, &at, 1, &form) &&
         get_be(in, &at, 4, &number) && get_be(in, &at, 4, &length) && in.size() - at >= length) {
    ParamValue v;
    v.tag = static_cast<int>(tag);
    v.form = static_cast<ParamForm>(form);
    v.number = number;
    v.text.assign(in, at, length);
    at += length;
    values.push_back(std::move(v));
  }
  return values;
}

// Labels, byte by byte: per label the key's length (1), the key, the
// value's length (1), the value (both are checked short before they get here).
std::string encode_labels(const std::map<std::string, std::string> &labels) {
  std::string out;
  for (const auto &[k, v] : labels) {
    put_be(&out, static_cast<std::uint32_t>(std::min<std::size_t>(k.size(), 255)), 1);
    out.append(k, 0, std::min<std::size_t>(k.size(), 255));
    put_be(&out, static_cast<std::uint32_t>(std::min<std::size_t>(v.size(), 255)), 1);
    out.append(v, 0, std::min<std::size_t>(v.size(), 255));
  }
  return out;
}
// Stops at the first label that does not decode whole.
std::map<std::string, std::string> decode_labels(const std::string &in) {
  std::map<std::string, std::string> labels;
  std::size_t at = 0;
  std::uint32_t klen, vlen;
  while (at < in.size() && get_be(in, &at, 1, &klen) && in.size() - at >= klen) {
    std::string key = in.substr(at, klen);
    at += klen;
    if (!get_be(in, &at, 1, &vlen) || in.size() - at < vlen) break;
    labels[std::move(key)] = in.substr(at, vlen);
    at += vlen;
  }
  return labels;
}

EventType type_of(const std::string &name, bool *known) {
  static const std::unordered_map<std::string, EventType> names = [] {
    std::unordered_map<std::string, EventType> m;
    for (int i = 0; i < kEventTypeCount; ++i) m.emplace(event_name(static_cast<EventType>(i)), static_cast<EventType>(i));
    return m;
  }();
  auto it = names.find(name);
  *known = it != names.end();
  return *known ? it->second : EventType::kError;
}

bool damaged(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace

const char *const JournalDb::kRecordColumns = kColumns;

static_assert(kEventTypeCount <= 64, "read() keys its statements by a 64-bit mask of types");

int Statement::prepare(sqlite3 *db, const std::string &sql) {
  sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  return sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
}

void Statement::bind_bytes(int i, const void *bytes, std::size_t size) {
  static const char kNone = 0;  // a zero-length BLOB, never NULL
  sqlite3_bind_blob64(stmt_, i, size ? bytes : &kNone, size, SQLITE_STATIC);
}

std::string Statement::bytes(int col) const {
  const void *p = sqlite3_column_blob(stmt_, col);
  const int n = sqlite3_column_bytes(stmt_, col);
  return p ? std::string(static_cast<const char *>(p), static_cast<std::size_t>(n)) : std::string();
}

// Statements may outlive the call (they are members): the connection closes
// when the last of them is finalized.
JournalDb::~JournalDb() { sqlite3_close_v2(db_); }

int JournalDb::exec(const char *sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

std::string JournalDb::verdict(sqlite3 *db, bool full) {
  Statement st;
  int rc = st.prepare(db, full ? "PRAGMA integrity_check(20)" : "PRAGMA quick_check(20)");
  if (rc != SQLITE_OK) return sqlite3_errmsg(db);
  std::string out;
  while ((rc = st.step()) == SQLITE_ROW) out += (out.empty() ? "" : "; ") + st.bytes(0);
  if (rc != SQLITE_DONE) out += (out.empty() ? "" : "; ") + std::string(sqlite3_errmsg(db));
  return out;
}

bool JournalDb::open_writer(const std::string &path, std::string *error, int *code) {
  *code = kExitStateDir;
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    *error = path + ": cannot open: " + message();
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, 2000);
  if (sqlite3_db_readonly(db_, "main") == 1) {
    *error = path + ": cannot write: the file is read-only";
    return false;
  }
  // The check comes before anything is written: a damaged file stays as it is.
  const std::string v = verdict(db_, false);
  if (v != "ok") {
    *code = kExitDamaged;
    *error = path + " is damaged (quick_check: " + v +
             "); move it aside to start with an empty journal, or run dtucentre --journal-check for the full report";
    return false;
  }
  Statement mode;
  rc = mode.prepare(db_, "PRAGMA journal_mode=WAL");
  if (rc == SQLITE_OK) rc = mode.step();
  const bool wal = rc == SQLITE_ROW && mode.bytes(0) == "wal";
  mode.reset();
  if (!wal) {
    *error = path + ": cannot use a write-ahead log there: " + message();
    return false;
  }
  exec("PRAGMA synchronous=FULL");
  exec((std::string("PRAGMA journal_size_limit=") + kWalLimit).c_str());
  rc = migrate(error, code);
  if (rc == SQLITE_OK) rc = prepare_writes();
  if (rc != SQLITE_OK) {
    if (damaged(rc)) *code = kExitDamaged;
    if (error->empty()) *error = path + ": cannot write: " + message();
    return false;
  }
  Statement ps;
  if (ps.prepare(db_, "PRAGMA page_size") == SQLITE_OK && ps.step() == SQLITE_ROW) page_size_ = ps.i64(0);
  return true;
}

int JournalDb::migrate(std::string *error, int *code) {
  Statement uv;
  int rc = uv.prepare(db_, "PRAGMA user_version");
  if (rc != SQLITE_OK || uv.step() != SQLITE_ROW) return rc == SQLITE_OK ? sqlite3_errcode(db_) : rc;
  const std::int64_t version = uv.i64(0);
  uv.reset();
  if (version > kSchemaVersion) {
    *code = kExitDamaged;
    *error = std::string(sqlite3_db_filename(db_, "main")) + " was written by a newer centre (schema " +
             std::to_string(version) + ", this one knows " + std::to_string(kSchemaVersion) +
             "); move it aside or run the newer centre";
    return SQLITE_ERROR;
  }
  for (std::int64_t v = version; v < kSchemaVersion; ++v) {
    const std::string step = std::string("BEGIN IMMEDIATE;") + kMigrations[v] +
                             ";PRAGMA user_version=" + std::to_string(v + 1) + ";COMMIT;";
    rc = exec(step.c_str());
    if (rc != SQLITE_OK) {
      exec("ROLLBACK");
      return rc;
    }
  }
  return SQLITE_OK;
}

int JournalDb::prepare_writes() {
  const std::pair<Statement *, std::string> all[] = {
      {&begin_, "BEGIN IMMEDIATE"},
      {&commit_, "COMMIT"},
      {&rollback_, "ROLLBACK"},
      {&insert_record_, std::string("INSERT INTO records (") + kColumns +
                            ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"},
      {&put_downlink_, "INSERT OR REPLACE INTO downlinks VALUES (?,?,?,?,?)"},
      {&end_downlink_, "DELETE FROM downlinks WHERE handle = ?"},
      {&put_request_, "INSERT OR REPLACE INTO requests VALUES (?,?,?,?)"},
      {&end_request_, "DELETE FROM requests WHERE handle = ?"},
      {&put_terminal_, "INSERT OR REPLACE INTO terminals VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"},
      {&forget_terminal_, "DELETE FROM terminals WHERE id = ?"},
      {&put_registry_, "INSERT OR REPLACE INTO registry VALUES (?,?,?,?,?)"},
      {&end_registry_, "DELETE FROM registry WHERE id = ?"},
      {&put_cursor_, "INSERT OR REPLACE INTO cursors VALUES (?,?)"},
      {&put_meta_, "UPDATE bookkeeping SET records = ?, seq_reserved = ?, next_handle = ?"},
      {&head_, "SELECT seq, time_ms FROM records ORDER BY seq LIMIT " + std::to_string(kTrimStep)},
      {&trim_, "DELETE FROM records WHERE seq <= ?"},
      {&trimmed_, "UPDATE bookkeeping SET trimmed_seq = MAX(trimmed_seq, ?1), trimmed_ms = MAX(trimmed_ms, ?2)"},
      {&used_, "SELECT (SELECT page_count FROM pragma_page_count) - (SELECT freelist_count FROM pragma_freelist_count)"},
      {&oldest_, "SELECT MIN(seq) FROM records"},
  };
  for (const auto &[stmt, sql] : all) {
    const int rc = stmt->prepare(db_, sql);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

bool JournalDb::open_reader(const std::string &path, std::string *error) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    *error = path + ": cannot open for reading: " + message();
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  exec("PRAGMA query_only=1");
  return true;
}

bool JournalDb::load(JournalState *state, std::string *error) {
  Statement meta, last;
  if (meta.prepare(db_, "SELECT records, seq_reserved, next_handle FROM bookkeeping") != SQLITE_OK ||
      meta.step() != SQLITE_ROW || last.prepare(db_, "SELECT MAX(seq) FROM records") != SQLITE_OK ||
      last.step() != SQLITE_ROW) {
    *error = std::string("cannot read the journal's state: ") + message();
    return false;
  }
  records_ = meta.u64(0);
  reserved_ = meta.u64(1);
  next_handle_ = std::max<std::uint64_t>(1, meta.u64(2));
  state->last_seq = std::max(last.u64(0), reserved_);
  if (!load_terminals(state) || !load_queues(state) || !load_registry(state)) {
    *error = std::string("cannot read the journal's state: ") + message();
    return false;
  }
  for (const auto &d : state->downlinks) next_handle_ = std::max(next_handle_, d.handle + 1);
  for (const auto &r : state->requests) next_handle_ = std::max(next_handle_, r.handle + 1);
  state->next_handle = next_handle_;
  return true;
}

bool JournalDb::load_terminals(JournalState *state) {
  Statement st;
  if (st.prepare(db_, "SELECT * FROM terminals ORDER BY id") != SQLITE_OK) return false;
  int rc;
  while ((rc = st.step()) == SQLITE_ROW) {
    Terminal t;
    t.id = st.bytes(0);
    t.peer = unpack(st.i64(1));
    t.reported = unpack(st.i64(2));
    t.logon_time_ms = st.i64(3);
    t.first_seen_ms = st.i64(4);
    t.last_seen_ms = st.i64(5);
    int col = 6;
#define DTU_READ_COUNTER(field) t.field = st.u64(col++);
    DTU_JOURNAL_COUNTERS(DTU_READ_COUNTER)
#undef DTU_READ_COUNTER
    state->terminals.push_back(std::move(t));
  }
  return rc == SQLITE_DONE;
}

bool JournalDb::load_registry(JournalState *state) {
  Statement st;
  if (st.prepare(db_, "SELECT id, name, grp, labels, note FROM registry") != SQLITE_OK) return false;
  int rc;
  while ((rc = st.step()) == SQLITE_ROW) {
    TerminalMeta &m = state->registry[st.bytes(0)];
    m.name = st.bytes(1);
    m.group = st.bytes(2);
    m.labels = decode_labels(st.bytes(3));
    m.note = st.bytes(4);
  }
  return rc == SQLITE_DONE;
}

bool JournalDb::load_queues(JournalState *state) {
  Statement dl, rq, cur;
  if (dl.prepare(db_, "SELECT handle, id, bytes, expires_ms, state FROM downlinks ORDER BY handle") != SQLITE_OK ||
      rq.prepare(db_, "SELECT handle, id, read, params FROM requests ORDER BY handle") != SQLITE_OK ||
      cur.prepare(db_, "SELECT sink, seq FROM cursors") != SQLITE_OK)
    return false;
  int rc;
  while ((rc = dl.step()) == SQLITE_ROW) {
    JournalDownlink d;
    d.handle = dl.u64(0);
    d.id = dl.bytes(1);
    const std::string bytes = dl.bytes(2);
    d.bytes.assign(bytes.begin(), bytes.end());
    d.expires_ms = dl.i64(3);
    d.state = dl.bytes(4);
    state->downlinks.push_back(std::move(d));
  }
  if (rc != SQLITE_DONE) return false;
  while ((rc = rq.step()) == SQLITE_ROW) {
    JournalRequest r;
    r.handle = rq.u64(0);
    r.id = rq.bytes(1);
    r.read = rq.i64(2) != 0;
    r.values = decode_params(rq.bytes(3));
    state->requests.push_back(std::move(r));
  }
  if (rc != SQLITE_DONE) return false;
  while ((rc = cur.step()) == SQLITE_ROW) state->cursors[cur.bytes(0)] = cur.u64(1);
  return rc == SQLITE_DONE;
}

int JournalDb::write_meta(std::uint64_t records, std::uint64_t reserved, std::uint64_t next_handle) {
  put_meta_.bind_u64(1, records);
  put_meta_.bind_u64(2, reserved);
  put_meta_.bind_u64(3, next_handle);
  const int rc = put_meta_.step();
  put_meta_.reset();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int JournalDb::reserve(std::uint64_t reserved) {
  int rc = exec("BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) rc = write_meta(records_, reserved, next_handle_);
  if (rc == SQLITE_OK) rc = exec("COMMIT");
  if (rc != SQLITE_OK) {
    if (!sqlite3_get_autocommit(db_)) exec("ROLLBACK");
    return rc;
  }
  reserved_ = reserved;
  return SQLITE_OK;
}

int JournalDb::write_record(const Event &e) {
  Statement &s = insert_record_;
  const std::string params = encode_params(e.params);
  s.bind_u64(1, e.seq);
  s.bind(2, e.time_ms);
  s.bind_name(3, event_name(e.type));  // TEXT: read() compares it with names
  s.bind_bytes(4, e.id);
  s.bind(5, pack(e.peer));
  s.bind(6, pack(e.old_peer));
  s.bind(7, pack(e.reported));
  s.bind_bytes(8, e.data.data(), e.data.size());
  s.bind_u64(9, e.length);
  s.bind_bytes(10, e.reason);
  s.bind_bytes(11, e.text);
  s.bind_u64(12, e.request);
  s.bind_bytes(13, params);
  s.bind(14, e.inbound ? 1 : 0);
  s.bind(15, e.slot);
  s.bind_bytes(16, e.check);
  s.bind_bytes(17, e.state);
  const int rc = s.step();
  s.reset();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int JournalDb::write_state(const JournalGroup &g) {
  auto run = [](Statement &s) {
    const int rc = s.step();
    s.reset();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  };
  int rc = SQLITE_OK;
  for (auto it = g.downlinks.begin(); rc == SQLITE_OK && it != g.downlinks.end(); ++it) {
    const auto &d = it->second;
    Statement &s = d ? put_downlink_ : end_downlink_;
    s.bind_u64(1, it->first);
    if (d) {
      s.bind_bytes(2, d->id);
      s.bind_bytes(3, d->bytes.data(), d->bytes.size());
      s.bind(4, d->expires_ms);
      s.bind_bytes(5, d->state);
    }
    rc = run(s);
  }
  for (auto it = g.requests.begin(); rc == SQLITE_OK && it != g.requests.end(); ++it) {
    const auto &r = it->second;
    Statement &s = r ? put_request_ : end_request_;
    const std::string params = r ? encode_params(r->values) : std::string();
    s.bind_u64(1, it->first);
    if (r) {
      s.bind_bytes(2, r->id);
      s.bind(3, r->read ? 1 : 0);
      s.bind_bytes(4, params);
    }
    rc = run(s);
  }
  for (auto it = g.terminals.begin(); rc == SQLITE_OK && it != g.terminals.end(); ++it) {
    const auto &t = it->second;
    Statement &s = t ? put_terminal_ : forget_terminal_;
    s.bind_bytes(1, it->first);
    if (t) {
      s.bind(2, pack(t->peer));
      s.bind(3, pack(t->reported));
      s.bind(4, t->logon_time_ms);
      s.bind(5, t->first_seen_ms);
      s.bind(6, t->last_seen_ms);
      int col = 7;
#define DTU_BIND_COUNTER(field) s.bind_u64(col++, t->field);
      DTU_JOURNAL_COUNTERS(DTU_BIND_COUNTER)
#undef DTU_BIND_COUNTER
    }
    rc = run(s);
  }
  for (auto it = g.registry.begin(); rc == SQLITE_OK && it != g.registry.end(); ++it) {
    const auto &m = it->second;
    Statement &s = m ? put_registry_ : end_registry_;
    const std::string labels = m ? encode_labels(m->labels) : std::string();
    s.bind_bytes(1, it->first);
    if (m) {
      s.bind_bytes(2, m->name);
      s.bind_bytes(3, m->group);
      s.bind_bytes(4, labels);
      s.bind_bytes(5, m->note);
    }
    rc = run(s);
  }
  for (auto it = g.cursors.begin(); rc == SQLITE_OK && it != g.cursors.end(); ++it) {
    put_cursor_.bind_bytes(1, it->first);
    put_cursor_.bind_u64(2, it->second);
    rc = run(put_cursor_);
  }
  return rc;
}

int JournalDb::trim_step(const TrimRule &rule, TrimOutcome *out) {
  std::uint64_t last = 0, count = 0, dropped = 0;
  std::int64_t newest_ms = 0;
  int rc;
  while ((rc = head_.step()) == SQLITE_ROW) {
    const std::uint64_t seq = head_.u64(0);
    if (head_.i64(1) >= rule.cutoff_ms && seq > rule.size_seq) break;
    last = seq;
    newest_ms = std::max(newest_ms, head_.i64(1));
    ++count;
    if (seq > rule.needed_after) ++dropped;
  }
  head_.reset();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
  if (count == 0) return SQLITE_OK;
  trim_.bind_u64(1, last);
  rc = trim_.step();
  trim_.reset();
  if (rc != SQLITE_DONE) return rc;
  trimmed_.bind_u64(1, last);
  trimmed_.bind(2, newest_ms);
  rc = trimmed_.step();
  trimmed_.reset();
  if (rc != SQLITE_DONE) return rc;
  out->deleted = count;
  out->dropped = dropped;
  out->more = count == kTrimStep;
  return SQLITE_OK;
}

int JournalDb::commit(const JournalGroup &g, std::size_t from, std::size_t to, bool with_state,
                      std::uint64_t reserved, const TrimRule &rule, TrimOutcome *trimmed) {
  *trimmed = TrimOutcome{};
  int rc = begin_.step() == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
  begin_.reset();
  for (std::size_t i = from; rc == SQLITE_OK && i < to; ++i) rc = write_record(g.records[i]);
  if (rc == SQLITE_OK && with_state) rc = write_state(g);
  if (rc == SQLITE_OK && rule.active()) rc = trim_step(rule, trimmed);
  if (rc == SQLITE_OK && from == to && !with_state && trimmed->deleted == 0 && reserved == reserved_) {
    rollback_.step();  // nothing to write: no sync
    rollback_.reset();
    return SQLITE_OK;
  }
  const std::uint64_t records = records_ + (to - from) - trimmed->deleted;
  const std::uint64_t next = with_state ? std::max(next_handle_, g.next_handle) : next_handle_;
  if (rc == SQLITE_OK) rc = write_meta(records, reserved, next);
  if (rc == SQLITE_OK) {
    rc = commit_.step() == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
    commit_.reset();
  }
  if (rc != SQLITE_OK) {
    if (!sqlite3_get_autocommit(db_)) {
      rollback_.step();
      rollback_.reset();
    }
    *trimmed = TrimOutcome{};
    return rc;
  }
  records_ = records;
  reserved_ = reserved;
  next_handle_ = next;
  return SQLITE_OK;
}

std::uint64_t JournalDb::used_bytes() {
  const std::uint64_t pages = used_.step() == SQLITE_ROW ? used_.u64(0) : 0;
  used_.reset();
  return pages * static_cast<std::uint64_t>(page_size_);
}

std::uint64_t JournalDb::oldest_seq() {
  const std::uint64_t seq = oldest_.step() == SQLITE_ROW ? oldest_.u64(0) : 0;
  oldest_.reset();
  return seq;
}

std::vector<Event> JournalDb::read(std::uint64_t after, std::size_t max, const std::vector<EventType> &types) {
  std::vector<Event> out;
  if (max == 0) return out;
  std::uint64_t mask = 0;
  for (EventType t : types) mask |= std::uint64_t{1} << static_cast<int>(t);
  Statement &st = reads_[mask];
  if (!st.get()) {
    std::string sql = std::string("SELECT ") + kColumns + " FROM records WHERE seq > ?1";
    if (mask != 0) {
      sql += " AND type IN (";
      for (int i = 0; i < kEventTypeCount; ++i)
        if (mask >> i & 1) sql += std::string(sql.back() == '(' ? "'" : ",'") + event_name(static_cast<EventType>(i)) + "'";
      sql += ")";
    }
    sql += " ORDER BY seq LIMIT ?2";
    if (st.prepare(db_, sql) != SQLITE_OK) {
      reads_.erase(mask);
      return out;
    }
  }
  st.bind_u64(1, after);
  st.bind(2, static_cast<std::int64_t>(std::min<std::size_t>(max, INT64_MAX)));
  while (st.step() == SQLITE_ROW) out.push_back(record_at(st));
  st.reset();
  return out;
}

Event JournalDb::record_at(const Statement &st) {
  Event e;
  bool known = false;
  e.seq = st.u64(0);
  e.time_ms = st.i64(1);
  e.type = type_of(st.bytes(2), &known);
  e.id = st.bytes(3);
  e.peer = unpack(st.i64(4));
  e.old_peer = unpack(st.i64(5));
  e.reported = unpack(st.i64(6));
  const std::string data = st.bytes(7);
  e.data.assign(data.begin(), data.end());
  e.length = static_cast<std::size_t>(st.u64(8));
  e.reason = st.bytes(9);
  e.text = known ? st.bytes(10) : "unknown event type " + st.bytes(2);
  e.request = st.u64(11);
  e.params = decode_params(st.bytes(12));
  e.inbound = st.i64(13) != 0;
  e.slot = static_cast<int>(st.i64(14));
  e.check = st.bytes(15);
  e.state = st.bytes(16);
  return e;
}

}  // namespace dtu::svc
