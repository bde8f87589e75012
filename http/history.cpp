// GET /api/history and GET /api/terminals/{id}/history: the journal's
// records as JSON, NDJSON or CSV.  The first page is read on the handler's
// thread; an answer that needs more is streamed, one page at a time, by
// the front end's history reader thread as the client takes it, so neither
// the service's loop nor the server's loop ever runs a query, and no answer
// is held whole in memory (a page and the socket's backlog at most).
#include <time.h>

#include <cstring>

#include "api.h"
#include "journal.h"

namespace dtu::http::api {
namespace {

constexpr std::uint64_t kMaxLimit = 100000000;  // records one answer may ask for
constexpr std::uint64_t kDefaultLimit = 1000;
constexpr std::size_t kMaxMembers = 10000;      // terminals a group or label may name in one query

enum class Format { kJson, kNdjson, kCsv };

// ms since 1970 from all digits, or from YYYY-MM-DDTHH:MM:SS[.fff](Z|+HH:MM|-HH:MM).
bool parse_time(const std::string &v, std::int64_t *ms) {
  if (!v.empty() && v.size() <= 16 && v.find_first_not_of("0123456789") == std::string::npos)
    return *ms = std::stoll(v), true;
  std::tm tm{};
  int frac = 0, frac_digits = 0, used = 0;
  if (std::sscanf(v.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &used) != 6 || used != 19)
    return false;
  std::size_t at = 19;
  if (at < v.size() && v[at] == '.')
    for (++at; at < v.size() && std::isdigit(static_cast<unsigned char>(v[at])); ++at)
      if (frac_digits < 3) frac = frac * 10 + (v[at] - '0'), ++frac_digits;
  for (; frac_digits < 3; ++frac_digits) frac *= 10;
  int offset_min = 0;
  const std::string zone = v.substr(at);
  if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':' &&
      std::isdigit(static_cast<unsigned char>(zone[1])) && std::isdigit(static_cast<unsigned char>(zone[2])) &&
      std::isdigit(static_cast<unsigned char>(zone[4])) && std::isdigit(static_cast<unsigned char>(zone[5])))
    offset_min = (zone[0] == '-' ? -1 : 1) * (std::stoi(zone.substr(1, 2)) * 60 + std::stoi(zone.substr(4, 2)));
  else if (zone != "Z" && zone != "z")
    return false;
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
      tm.tm_sec > 60)
    return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  *ms = (static_cast<std::int64_t>(timegm(&tm)) - offset_min * 60ll) * 1000 + frac;
  return true;
}

bool parse_count(const Req &req, const char *name, std::uint64_t most, std::uint64_t *out, Reply *bad) {
  if (!req.has_param(name)) return true;
  const std::string v = req.get_param_value(name);
  if (v.empty() || v.size() > 19 || v.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(v) > most)
    return *bad = error_reply(400, std::string(name) + ": expected a whole number up to " + std::to_string(most)), false;
  *out = std::stoull(v);
  return true;
}

// The query from ?from=&to=&type=&prefix=&limit=&cursor=&order=&format=.
bool parse_query(const Req &req, svc::HistoryQuery *q, std::uint64_t *limit, Format *format, Reply *bad) {
  for (const char *name : {"from", "to"}) {
    if (!req.has_param(name)) continue;
    std::int64_t ms = 0;
    if (!parse_time(req.get_param_value(name), &ms))
      return *bad = error_reply(400, std::string(name) + ": expected ms since 1970 or an ISO time such as 2025-01-31T08:00:00Z"), false;
    (name[0] == 'f' ? q->from_ms : q->to_ms) = ms;
  }
  if (req.has_param("type")) {
    std::stringstream in(req.get_param_value("type"));
    for (std::string name; std::getline(in, name, ',');) {
      int found = -1;
      for (int i = 0; i < svc::kEventTypeCount; ++i)
        if (name == svc::event_name(static_cast<svc::EventType>(i))) found = i;
      if (found < 0 || found == static_cast<int>(svc::EventType::kWire))
        return *bad = error_reply(400, "type: \"" + name + "\" is not an event type the journal keeps"), false;
      q->types.push_back(static_cast<svc::EventType>(found));
    }
  }
  if (req.has_param("prefix") && !req.get_param_value("prefix").empty() &&
      !text::id_from_text(req.get_param_value("prefix"), &q->prefix))
    return *bad = error_reply(400, "prefix: not the start of a terminal ID (other bytes as %XX)"), false;
  *limit = kDefaultLimit;
  std::uint64_t cursor = 0;
  if (!parse_count(req, "limit", kMaxLimit, limit, bad) || !parse_count(req, "cursor", INT64_MAX, &cursor, bad))
    return false;
  if (*limit == 0) return *bad = error_reply(400, "limit: expected a whole number from 1"), false;
  q->cursor = cursor;
  const std::string order = req.has_param("order") ? req.get_param_value("order") : "asc";
  if (order != "asc" && order != "desc") return *bad = error_reply(400, "order: expected asc or desc"), false;
  q->newest_first = order == "desc";
  std::string f = req.has_param("format") ? req.get_param_value("format") : "";
  if (f.empty()) {
    const std::string accept = req.get_header_value("Accept");
    f = accept.find("text/csv") != std::string::npos         ? "csv"
        : accept.find("application/x-ndjson") != std::string::npos ? "ndjson"
                                                                 : "json";
  }
  if (f == "json") *format = Format::kJson;
  else if (f == "ndjson") *format = Format::kNdjson;
  else if (f == "csv") *format = Format::kCsv;
  else return *bad = error_reply(400, "format: expected json, ndjson or csv"), false;
  return true;
}

// Text for a CSV cell: bytes that are not UTF-8 and control characters as \xHH.
std::string csv_text(std::string_view bytes) {
  std::string out;
  for (char c : text::utf8_or_escaped(bytes)) {
    const auto u = static_cast<unsigned char>(c);
    char esc[5];
    std::snprintf(esc, sizeof esc, "\\x%02X", u);
    out += u >= 0x20 && u != 0x7F ? std::string(1, c) : std::string(esc);
  }
  return out;
}

// A cell as CSV writes it.  One that a spreadsheet would take for a formula
// (starting with = + - or @: a terminal's text can) gets a ' in front, so
// that opening the file never runs what a terminal sent.
std::string csv_field(std::string v) {
  if (!v.empty() && std::strchr("=+-@", v[0]) != nullptr) v.insert(0, 1, '\'');
  if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
  std::string out = "\"";
  for (char c : v) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// One record in the answer's format (JSON and NDJSON: the event's own form
// with its seq first).
// A registered terminal's name and group come from the answer's snapshot
// of the registry (`names`): at the end of a CSV row, so that the columns
// before stay where they were.
std::string record_text(const svc::Event &e, Format f, bool first, const svc::MetaNames &names) {
  auto it = e.id.empty() || e.type == svc::EventType::kRejected ? names.end() : names.find(e.id);
  const svc::TerminalMeta *meta = it == names.end() ? nullptr : &it->second;
  if (f == Format::kCsv) {
    const std::string text =
        e.type == svc::EventType::kData
            ? csv_text(std::string_view(reinterpret_cast<const char *>(e.data.data()), e.data.size()))
            : csv_text(e.text);
    return std::to_string(e.seq) + "," + iso_time(e.time_ms) + "," + svc::event_name(e.type) + "," +
           csv_field(e.id.empty() ? "" : id_text(e.id)) + "," + (e.peer.addr ? svc::to_string(e.peer) : "") + "," +
           std::to_string(e.type == svc::EventType::kData ? e.data.size() : e.length) + "," +
           text::hex(e.data.data(), e.data.size()) + "," + csv_field(text) + "," + csv_field(e.reason) + "," +
           csv_field(meta ? csv_text(meta->name) : "") + "," + csv_field(meta ? csv_text(meta->group) : "") + "\r\n";
  }
  svc::VocabJson ej = event_json(e);
  svc::add_meta_names(ej, meta);
  const std::string j = dump(ej);
  const std::string rec = "{\"seq\":" + std::to_string(e.seq) + "," + j.substr(1);
  return f == Format::kNdjson ? rec + "\n" : (first ? "" : ",") + rec;
}

std::string head_text(Format f, const svc::HistoryPage &p) {
  if (f == Format::kCsv) return "seq,time,event,id,peer,length,data,text,reason,name,group\r\n";
  if (f == Format::kNdjson) return "";
  std::string out = "{\"truncated_by_retention\":" + std::string(p.truncated_by_retention ? "true" : "false");
  if (p.retained_from_ms) out += ",\"retained_from\":\"" + iso_time(p.retained_from_ms) + "\"";
  return out + ",\"records\":[";
}

std::string tail_text(Format f, std::uint64_t next, bool truncated) {
  const std::string cursor = next ? std::to_string(next) : "null";
  if (f == Format::kCsv) return "";
  if (f == Format::kNdjson)
    return "{\"next_cursor\":" + cursor + ",\"truncated_by_retention\":" + (truncated ? "true" : "false") + "}\n";
  return "],\"next_cursor\":" + cursor + "}\n";
}

const char *mime(Format f) {
  return f == Format::kCsv ? "text/csv; charset=utf-8" : f == Format::kNdjson ? "application/x-ndjson" : "application/json";
}

}  // namespace

// One answer being streamed: the query where it stands, the text read and
// not yet taken, and whether the reader is at work on it.
struct HistoryJob {
  svc::HistoryQuery q;
  Format format = Format::kJson;
  std::uint64_t left = 0;   // records still to send
  bool truncated = false;
  bool first = true;        // no record sent yet (JSON's commas)
  std::weak_ptr<wire::Feed> feed;
  std::mutex m;
  std::string ready;        // guarded by m
  bool reading = false;     // guarded by m
  bool finished = false;    // guarded by m: the tail is in `ready` or sent
  // The registry's names as the answer began (copied on the loop once, not
  // looked up per row across threads).
  std::shared_ptr<const svc::MetaNames> names;
};

// Reader thread: one page for the job, into its text.  The page's size
// follows the limit, so `left` never goes below 0.
void Server::read_page(const std::shared_ptr<HistoryJob> &job) {
  svc::Journal *journal = svc_.journal();
  svc::HistoryQuery q = job->q;
  q.limit = static_cast<std::size_t>(std::min<std::uint64_t>(job->left, svc::kHistoryPage));
  const svc::HistoryPage p = journal->history(q);
  std::string text;
  for (const svc::Event &e : p.records) text += record_text(e, job->format, job->first, *job->names), job->first = false;
  job->left -= p.records.size();
  job->q.cursor = p.next_cursor;
  const bool end = p.next_cursor == 0 || job->left == 0 || !p.error.empty();
  if (end) text += tail_text(job->format, p.error.empty() ? p.next_cursor : 0, job->truncated);
  {
    std::lock_guard<std::mutex> g(job->m);
    job->ready += text;
    job->reading = false;
    job->finished = end;
  }
  if (auto feed = job->feed.lock()) feed->wake();
}

void Server::history_reader() {
  background(options_.priority);
  std::unique_lock<std::mutex> lk(history_m_);
  for (;;) {
    history_cv_.wait(lk, [&] { return history_stop_ || !history_jobs_.empty() || !history_tasks_.empty(); });
    if (history_stop_) return;
    // A page and a step in turn, so that neither kind starves the other.
    std::shared_ptr<HistoryJob> job;
    std::function<bool()> task;
    if (!history_jobs_.empty()) job = std::move(history_jobs_.front()), history_jobs_.pop_front();
    if (!history_tasks_.empty()) task = std::move(history_tasks_.front()), history_tasks_.pop_front();
    lk.unlock();
    if (job) read_page(job);
    const bool again = task && task();
    lk.lock();
    if (again) history_tasks_.push_back(std::move(task));
  }
}

void Server::answer_history(const Req &req, Res &res, const std::string &id) {
  svc::HistoryQuery q;
  std::uint64_t limit = 0;
  Format format = Format::kJson;
  Reply bad;
  if (!parse_query(req, &q, &limit, &format, &bad)) return send_json(res, bad);
  svc::Journal *journal = svc_.journal();
  if (!journal)
    return send_json(res, error_reply(503, "the centre runs memory only (no state_dir): it keeps no history"));
  q.id = id;
  // ?group= or ?label=KEY=VALUE: the registry's terminals of that group or
  // label, taken as the answer begins.
  svc::Selector selector;
  std::string selector_text, why;
  if (req.has_param("group")) selector_text = "group=" + req.get_param_value("group");
  if (req.has_param("label")) {
    if (!selector_text.empty()) return send_json(res, error_reply(400, "group, label: give one of them"));
    selector_text = "label:" + req.get_param_value("label");
  }
  if (!selector_text.empty() && !selector.parse(selector_text, &why))
    return send_json(res, error_reply(400, std::string(req.has_param("group") ? "group: " : "label: ") + why));
  auto snapshot = std::make_shared<svc::MetaNames>();
  auto members = std::make_shared<std::vector<std::string>>();
  const bool by_ids = !selector_text.empty();
  Reply known = on_loop(svc_, *shared_, [id, snapshot, members, selector, by_ids](Service &s) {
    *snapshot = svc::meta_names(s, id);
    if (by_ids) *members = s.select(selector);
    return Reply{id.empty() || s.find(id) ? 200 : 404, Json()};
  });
  if (by_ids) {
    if (known.status == 503) return send_json(res, known);
    if (members->size() > kMaxMembers)
      return send_json(res, error_reply(400, "group, label: more than " + std::to_string(kMaxMembers) +
                                                 " terminals match; narrow it with prefix="));
    q.by_ids = true;
    q.ids = std::move(*members);
  }
  // A loop that did not answer (the centre stops) may still fill the
  // snapshot later: the answer goes without names then.
  std::shared_ptr<const svc::MetaNames> names =
      known.status == 503 ? std::make_shared<const svc::MetaNames>() : snapshot;
  if (!id.empty()) {
    svc::HistoryQuery any;
    any.id = id;
    any.limit = 1;
    if (known.status == 404 && journal->history(any).records.empty())
      return send_json(res, error_reply(404, "no terminal with this ID has been heard"));
  }
  auto job = std::make_shared<HistoryJob>();
  job->q = q;
  job->format = format;
  job->names = names;
  job->left = limit;
  job->q.limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, svc::kHistoryPage));
  const svc::HistoryPage first = journal->history(job->q);
  if (!first.error.empty()) return send_json(res, error_reply(503, first.error));
  job->truncated = first.truncated_by_retention;
  res.set_header("X-Truncated-By-Retention", first.truncated_by_retention ? "true" : "false");
  std::string text = head_text(format, first);
  for (const svc::Event &e : first.records) text += record_text(e, format, job->first, *names), job->first = false;
  job->left -= first.records.size();
  job->q.cursor = first.next_cursor;
  if (first.next_cursor == 0 || job->left == 0) {
    res.set_content(text + tail_text(format, first.next_cursor, first.truncated_by_retention), mime(format));
    return;
  }
  // More than a page: streamed.  The hooks run on the server's loop; a
  // page is asked of the reader only when the text before it is taken.
  job->ready = std::move(text);
  wire::FeedHooks hooks;
  hooks.pull = [this, job] {
    std::lock_guard<std::mutex> g(job->m);
    std::string out = std::move(job->ready);
    job->ready.clear();
    if (!job->finished && !job->reading) {
      job->reading = true;
      std::lock_guard<std::mutex> h(history_m_);
      history_jobs_.push_back(job);
      history_cv_.notify_one();
    }
    return out;
  };
  hooks.done = [job] {
    std::lock_guard<std::mutex> g(job->m);
    return job->finished && job->ready.empty();
  };
  job->feed = res.stream(std::move(hooks));
  res.content_type = mime(format);
  res.set_header("Cache-Control", "no-store");
}

void Server::history(const Req &req, Res &res) { answer_history(req, res, ""); }

void Server::terminal_history(const Req &req, Res &res) {
  Reply bad;
  const std::string id = term_id(req, &bad);
  if (id.empty()) return send_json(res, bad);
  answer_history(req, res, id);
}

}  // namespace dtu::http::api
