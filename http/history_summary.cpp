// GET /api/history/summary: per time bucket the data frames up and down and
// the terminals on line, for the page's charts.  The handler checks the
// query and defers the answer; the history reader thread computes it a
// bounded step at a time (Journal::summarize), going to the back of its
// queue after each step, so that a month's summary never holds a streamed
// history page up for more than a step, and neither loop runs a query.
#include "api.h"
#include "journal.h"

namespace dtu::http::api {
namespace {

constexpr std::int64_t kMaxBuckets = 2000;
constexpr std::int64_t kDefaultBuckets = 300;  // at most, when no bucket is given
constexpr std::int64_t kDefaultSpanMs = 86400 * 1000ll;
constexpr auto kSummaryBound = std::chrono::seconds(60);  // the answer comes within, or 503

// A bucket of a round size giving at most kDefaultBuckets over `span_ms`.
std::int64_t default_bucket_s(std::int64_t span_ms) {
  static const std::int64_t kSizes[] = {1, 5, 10, 30, 60, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
  for (std::int64_t b : kSizes)
    if ((span_ms + b * 1000 - 1) / (b * 1000) <= kDefaultBuckets) return b;
  const std::int64_t days = (span_ms / 86400000 + kDefaultBuckets - 1) / kDefaultBuckets + 1;
  return days * 86400;
}

// A whole number (ms, s) of at most 15 digits under `name`, or a 400.
bool parse_whole(const Req &req, const char *name, const char *what, std::int64_t *out, Reply *bad) {
  if (!req.has_param(name)) return true;
  const std::string v = req.get_param_value(name);
  if (v.empty() || v.size() > 15 || v.find_first_not_of("0123456789") != std::string::npos)
    return *bad = error_reply(400, std::string(name) + ": expected " + what), false;
  *out = std::stoll(v);
  return true;
}

bool parse_summary(const Req &req, svc::SummaryQuery *q, Reply *bad) {
  std::int64_t to = now_ms(), from = -1, bucket_s = 0;
  if (!parse_whole(req, "to", "ms since 1970", &to, bad) || !parse_whole(req, "from", "ms since 1970", &from, bad) ||
      !parse_whole(req, "bucket", "a whole number of seconds", &bucket_s, bad))
    return false;
  if (from < 0) from = to - kDefaultSpanMs;
  if (from >= to) return *bad = error_reply(400, "from: must be before to"), false;
  if (!req.has_param("bucket")) bucket_s = default_bucket_s(to - from);
  if (bucket_s < 1) return *bad = error_reply(400, "bucket: at least 1 s"), false;
  const std::int64_t n = ((to - from) + bucket_s * 1000 - 1) / (bucket_s * 1000);
  if (n > kMaxBuckets)
    return *bad = error_reply(400, "bucket: " + std::to_string(bucket_s) + " s gives " + std::to_string(n) +
                                       " buckets, at most " + std::to_string(kMaxBuckets) + " are given"),
           false;
  if (req.has_param("id") && req.has_param("prefix"))
    return *bad = error_reply(400, "id and prefix: give one of them"), false;
  if (req.has_param("id") && !id_from_text(req.get_param_value("id"), &q->id))
    return *bad = error_reply(400, "id: not a terminal ID (1 to 11 bytes; other bytes as %XX)"), false;
  if (req.has_param("prefix") && !req.get_param_value("prefix").empty() &&
      !id_from_text(req.get_param_value("prefix"), &q->prefix))
    return *bad = error_reply(400, "prefix: not the start of a terminal ID (other bytes as %XX)"), false;
  q->from_ms = from;
  q->to_ms = to;
  q->bucket_ms = bucket_s * 1000;
  return true;
}

std::string summary_json(const svc::SummaryWork &w) {
  std::string out = "{\"from\":" + std::to_string(w.q.from_ms) + ",\"to\":" + std::to_string(w.q.to_ms) +
                    ",\"bucket_s\":" + std::to_string(w.q.bucket_ms / 1000) + ",\"buckets\":[";
  out.reserve(out.size() + w.buckets.size() * 48 + 64);
  for (std::size_t k = 0; k < w.buckets.size(); ++k) {
    const svc::SummaryBucket &b = w.buckets[k];
    out += (k ? ",{\"t\":" : "{\"t\":") + std::to_string(b.t_ms) + ",\"up\":" + std::to_string(b.up) +
           ",\"down\":" + std::to_string(b.down) + ",\"online\":" + std::to_string(b.online) + "}";
  }
  out += "]";
  if (!w.q.id.empty()) {
    out += ",\"periods\":[";
    for (std::size_t i = 0; i < w.periods.size(); ++i) {
      const svc::OnlinePeriod &p = w.periods[i];
      out += (i ? ",{\"from\":" : "{\"from\":") + std::to_string(p.from_ms) + ",\"to\":" +
             (p.to_ms == svc::OnlinePeriod::kStillOnline ? std::string("null") : std::to_string(p.to_ms)) + "}";
    }
    out += "]";
  }
  return out + ",\"truncated_by_retention\":" + (w.truncated_by_retention ? "true" : "false") + "}\n";
}

}  // namespace

void Server::history_summary(const Req &req, Res &res) {
  svc::SummaryQuery q;
  Reply bad;
  if (!parse_summary(req, &q, &bad)) return send_json(res, bad);
  svc::Journal *journal = svc_.journal();
  if (!journal)
    return send_json(res, error_reply(503, "the centre runs memory only (no state_dir): it keeps no history"));
  Res timeout;
  send_json(timeout, error_reply(503, "the summary took longer than " + std::to_string(kSummaryBound.count()) +
                                          " s; ask for a shorter range"));
  std::shared_ptr<wire::Later> later = res.defer(kSummaryBound, std::move(timeout));
  auto gone = std::make_shared<std::atomic<bool>>(false);
  later->on_gone([gone] { *gone = true; });
  auto work = std::make_shared<svc::SummaryWork>(std::move(q));
  // One step per turn of the reader; true: go again.
  auto step = [journal, work, later, gone] {
    if (*gone) return false;
    if (!journal->summarize(work.get())) return true;
    Res out;
    if (!work->error.empty()) send_json(out, error_reply(503, work->error));
    else out.set_content(summary_json(*work), "application/json");
    later->answer(std::move(out));
    return false;
  };
  std::lock_guard<std::mutex> g(history_m_);
  history_tasks_.push_back(std::move(step));
  history_cv_.notify_one();
}

}  // namespace dtu::http::api
