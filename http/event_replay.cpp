// Event streams that resume: a client that comes back with Last-Event-ID
// (the seq of the last event it had) gets the journal's records after it,
// then the live stream.  The replay runs on the service's loop, one page
// per turn, and only while the client's queue has room for a page: a slow
// client slows its replay down instead of losing events of it.
#include "api.h"
#include "journal.h"

namespace dtu::http::api {

namespace {

bool decimal(const std::string &text, std::uint64_t *out) {
  if (text.empty() || text.size() > 19) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

std::vector<svc::EventType> wanted_types(const Stream &s) {
  std::vector<svc::EventType> types;
  for (int i = 0; i < svc::kEventTypeCount; ++i)
    if (s.types[i]) types.push_back(static_cast<svc::EventType>(i));
  return types;
}

// The first step: where the replay really starts.  Records the journal no
// longer holds, or more than one client is replayed, are passed over and
// said so first.  Under s.m.
void begin_replay(Stream &s, const svc::Journal &journal, std::uint64_t head) {
  std::uint64_t from = s.replayed;
  // A seq this journal has not reached (another state directory's): no
  // replay, the stream is live from here.
  if (from > head) from = head;
  const std::uint64_t held_from = journal.oldest() - 1;
  const char *reason = nullptr, *text = nullptr;
  if (from < held_from) {
    from = held_from;
    reason = "retention";
    text = "the journal no longer holds these records";
  }
  if (head > kReplayMax && from < head - kReplayMax) {
    from = head - kReplayMax;
    reason = "replay-limit";
    text = "more records than one client is replayed; the newest follow";
  }
  if (reason != nullptr)
    s.lost = dump(Json{{"event", "lost"}, {"time", iso_time(now_ms())}, {"count", from - s.replayed},
                       {"reason", reason}, {"text", text}});
  s.replayed = from;
}

// The replay has reached the live events held aside: they follow, less
// those it sent itself.  Under s.m.
void go_live(Stream &s) {
  for (auto &[seq, block] : s.held)
    if (seq > s.replayed) s.queue.push_back(block);
  s.held.clear();
  s.replaying = false;
}

}  // namespace

std::string sse_block(const svc::Event &e, const svc::TerminalMeta *meta) {
  std::string out;
  if (e.seq != 0) out = "id: " + std::to_string(e.seq) + "\n";
  out += "data: ";
  svc::VocabJson j = event_json(e);
  if (!e.id.empty() && e.type != svc::EventType::kRejected) svc::add_meta_names(j, meta);
  out += dump(j);
  out += "\n\n";
  return out;
}

bool resume_point(const Req &req, std::uint64_t *after, Reply *bad) {
  *after = 0;
  std::string text = req.get_header_value("Last-Event-ID");
  const char *name = "Last-Event-ID";
  if (text.empty() && req.has_param("last_event_id")) {
    text = req.get_param_value("last_event_id");
    name = "last_event_id";
  }
  if (text.empty()) return true;
  if (!decimal(text, after))
    return *bad = error_reply(400, std::string(name) + ": expected the seq of an event (a whole number)"), false;
  return true;
}

void replay_step(Service &svc, const std::shared_ptr<Shared> &sh, const std::shared_ptr<Stream> &s) {
  svc::Journal *journal = svc.journal();
  // The newest record: handed over in this run, or on disk from before.
  const std::uint64_t head = journal ? std::max(sh->last_seq, journal->committed()) : 0;
  std::vector<svc::EventType> types;
  std::uint64_t after = 0;
  {
    std::lock_guard<std::mutex> g(s->m);
    if (!s->replaying) return;
    types = wanted_types(*s);
    // Without a journal, or wanting no events at all: live at once.
    if (journal == nullptr || types.empty()) {
      go_live(*s);
      s->feed->wake();
      return;
    }
    if (!s->started) {
      s->started = true;
      begin_replay(*s, *journal, head);
    }
    // Wait while the client has not taken what it has (the timer asks again).
    if (s->queue.size() + kReplayPage > kStreamQueue) {
      sh->resuming.push_back(s);
      s->feed->wake();
      return;
    }
    after = s->replayed;
  }
  // Records up to `committed` are all visible to the read.
  const std::uint64_t committed = journal->committed();
  const std::vector<svc::Event> page = journal->read(after, kReplayPage, types);
  std::vector<std::shared_ptr<const std::string>> blocks;
  blocks.reserve(page.size());
  for (const svc::Event &e : page)
    if (s->wants(e)) blocks.push_back(std::make_shared<const std::string>(sse_block(e, svc.meta(e.id))));
  bool more = false;
  {
    std::lock_guard<std::mutex> g(s->m);
    for (auto &b : blocks) s->queue.push_back(std::move(b));
    if (!page.empty()) s->replayed = page.back().seq;
    const bool full = page.size() == kReplayPage;
    if (!full) s->replayed = std::max(s->replayed, committed);
    // Done once everything handed over before this step is sent, or the
    // replay has reached the live events held aside.
    if (s->replayed >= head || (s->live_from != 0 && s->replayed + 1 >= s->live_from)) go_live(*s);
    else if (full) more = true;
    else sh->resuming.push_back(s);  // records not yet committed: the timer asks again
  }
  sh->replayed += page.size();
  s->feed->wake();
  if (more) svc.post([sh, s](Service &l) { replay_step(l, sh, s); });
}

void replay_waiting(Service &svc, const std::shared_ptr<Shared> &sh) {
  std::vector<std::weak_ptr<Stream>> waiting;
  waiting.swap(sh->resuming);
  for (auto &w : waiting)
    if (auto s = w.lock()) replay_step(svc, sh, s);
}

}  // namespace dtu::http::api
