// Events from the service's loop to the /api/events clients: the loop
// thread hands them to a dispatcher thread, which formats each once and
// queues it, bounded, for every stream that asked for it (or holds it for
// a stream that is being replayed the journal: event_replay.cpp).
#include "api.h"

namespace dtu::http::api {

void Server::subscribe() {
  std::shared_ptr<Shared> sh = shared_;
  svc_.subscribe([sh, svc = &svc_](const svc::Event &e) {
    using T = svc::EventType;
    switch (e.type) {
      case T::kLogon: sh->offline_reason.erase(e.id); break;
      case T::kLogout: sh->offline_reason[e.id] = "logout"; break;
      case T::kIdle: sh->offline_reason[e.id] = "idle"; break;
      case T::kClosed: sh->offline_reason[e.id] = "closed"; break;
      case T::kStop: sh->service_stopped = true; break;
      default: break;
    }
    if (e.seq != 0) sh->last_seq = e.seq;
    if (sh->streams.load(std::memory_order_relaxed) == 0) return;
    Item item;
    item.event = std::make_shared<const svc::Event>(e);
    if (const svc::TerminalMeta *m = e.id.empty() ? nullptr : svc->meta(e.id)) {
      item.names.name = m->name;
      item.names.group = m->group;
    }
    sh->push(std::move(item));
  });
  svc_.every(50, [sh](Service &s) {
    if (!sh->resuming.empty()) replay_waiting(s, sh);
  });
  svc_.every(1000, [sh](Service &s) {
    // The service forgets silent terminals; what is kept here of them goes
    // too, walked only when these maps hold more IDs than the fleet does.
    const std::size_t known = s.counters().terminals_known;
    if (sh->offline_reason.size() > known)
      for (auto it = sh->offline_reason.begin(); it != sh->offline_reason.end();)
        it = s.find(it->first) == nullptr ? sh->offline_reason.erase(it) : std::next(it);
    if (sh->sent.size() > known)
      for (auto it = sh->sent.begin(); it != sh->sent.end();)
        it = s.find(it->first) == nullptr ? sh->sent.erase(it) : std::next(it);
    if (sh->fleet_streams.load(std::memory_order_relaxed) == 0) {
      sh->sent.clear();
      return;
    }
    auto rows = std::make_shared<std::vector<Row>>();
    s.for_each_terminal([&](const svc::Terminal &t) {
      Shared::Sig sig{t.online, t.last_seen_ms, t.datagrams_in, t.datagrams_out, t.queued_downlinks};
      auto it = sh->sent.find(t.id);
      if (it != sh->sent.end() && it->second.online == sig.online && it->second.last_seen == sig.last_seen &&
          it->second.in == sig.in && it->second.out == sig.out && it->second.queued == sig.queued)
        return;
      sh->sent[t.id] = sig;
      rows->push_back(copy_row(t, *sh, s.meta(t.id)));
    });
    if (rows->empty()) return;
    Item item;
    item.rows = std::move(rows);
    item.now = now_ms();
    sh->push(std::move(item));
  });
}

void Server::dispatch() {
  for (;;) {
    std::deque<Item> batch;
    std::uint64_t lost = 0;
    {
      std::unique_lock<std::mutex> lk(shared_->m);
      shared_->cv.wait(lk, [&] { return !shared_->alive || !shared_->handoff.empty(); });
      if (!shared_->alive && shared_->handoff.empty()) return;
      batch.swap(shared_->handoff);
      lost = shared_->handoff_dropped;
      shared_->handoff_dropped = 0;
    }
    std::vector<std::shared_ptr<Stream>> streams;
    {
      std::lock_guard<std::mutex> g(streams_m_);
      streams = streams_;
    }
    if (lost) {
      for (auto &s : streams) {
        std::lock_guard<std::mutex> g(s->m);
        s->dropped += lost;
      }
      dropped_total_ += lost;
    }
    std::vector<bool> woken(streams.size(), lost != 0);
    for (Item &item : batch) {
      std::shared_ptr<const std::string> line;
      for (std::size_t i = 0; i < streams.size(); ++i)
        if (offer(*streams[i], item, line)) woken[i] = true;
    }
    for (std::size_t i = 0; i < streams.size(); ++i)
      if (woken[i]) streams[i]->feed->wake();
  }
}

// Every stream hears that the centre stops, whatever it asked for; a
// stream being replayed holds what it matches, and one that has been skips
// what its replay sent.
bool Server::offer(Stream &s, const Item &item, std::shared_ptr<const std::string> &line) {
  const svc::Event *e = item.event.get();
  const bool stop = e && e->type == svc::EventType::kStop;
  const bool match = stop || (e ? s.wants(*e) : s.fleet);
  const std::uint64_t seq = e ? e->seq : 0;
  if (!match && !s.replaying.load()) return false;
  std::lock_guard<std::mutex> g(s.m);
  if (s.replaying && seq != 0 && !stop) {
    if (s.live_from == 0) s.live_from = seq;
    if (!match) return false;
    if (!line) line = std::make_shared<const std::string>(format(item));
    if (s.held.size() >= kStreamQueue) {
      s.live_from = s.held.front().first + 1;  // the replay reads that one from the journal
      s.held.pop_front();
    }
    s.held.emplace_back(seq, line);
    return false;
  }
  if (!match || (seq != 0 && seq <= s.replayed)) return false;
  if (!line) line = std::make_shared<const std::string>(format(item));
  if (s.queue.size() >= kStreamQueue) {
    s.queue.pop_front();
    ++s.dropped;
    ++dropped_total_;
  }
  s.queue.push_back(line);
  s.stop_sent = s.stop_sent || stop;
  return true;
}

std::string Server::format(const Item &item) {
  if (item.event) return sse_block(*item.event, &item.names);
  std::string out = "data: {\"event\":\"fleet\",\"time\":\"" + iso_time(item.now) + "\",\"terminals\":[";
  for (std::size_t i = 0; i < item.rows->size(); ++i) {
    if (i) out += ',';
    append_row_json(out, (*item.rows)[i], item.now);
  }
  return out + "]}\n\n";
}

namespace {

// The stream's filters from the query: ?id=, ?type= (a list of event names,
// "fleet" among them) and ?fleet=.
bool stream_filters(const Req &req, Stream &s, Reply *bad) {
  if (req.has_param("id")) {
    if (!id_from_text(req.get_param_value("id"), &s.id))
      return *bad = error_reply(400, "id: not a terminal ID"), false;
  }
  if (req.has_param("type")) {
    std::string list = req.get_param_value("type");
    std::stringstream in(list);
    for (std::string name; std::getline(in, name, ',');) {
      if (name == "fleet") {
        s.fleet = true;
        continue;
      }
      int found = -1;
      for (int i = 0; i < svc::kEventTypeCount; ++i)
        if (name == svc::event_name(static_cast<svc::EventType>(i))) found = i;
      if (found < 0) return *bad = error_reply(400, "type: unknown event type \"" + name + "\""), false;
      s.types[found] = true;
    }
  } else {
    s.types.fill(true);
  }
  if (req.has_param("fleet")) {
    const std::string f = req.get_param_value("fleet");
    if (f != "true" && f != "false") return *bad = error_reply(400, "fleet: expected true or false"), false;
    s.fleet = s.fleet || f == "true";
  }
  return true;
}

}  // namespace

void Server::events(const Req &req, Res &res) {
  auto s = std::make_shared<Stream>();
  Reply bad;
  if (!stream_filters(req, *s, &bad)) return send_json(res, bad);
  std::uint64_t after = 0;
  if (!resume_point(req, &after, &bad)) return send_json(res, bad);
  if (after != 0) {
    s->replaying = true;
    s->replayed = after;
  }
  // The connection layer pulls the stream's text as the dispatcher wakes
  // it, notices at once when the client goes (its slot is free again), and
  // at a stop sends what is left, a stop event if none was queued, and the
  // stream's end.
  // The hooks hold the stream weakly: it holds the feed, and is owned by
  // the list of streams until its client goes.
  wire::FeedHooks hooks;
  std::weak_ptr<Stream> weak = s;
  hooks.pull = [weak] {
    auto st = weak.lock();
    return st ? st->take() : std::string();
  };
  hooks.last = [weak] {
    auto st = weak.lock();
    if (!st) return std::string();
    std::string out = st->take();
    std::lock_guard<std::mutex> g(st->m);
    if (!st->stop_sent) {
      svc::Event e;
      e.type = svc::EventType::kStop;
      e.time_ms = now_ms();
      out += sse_block(e);
      st->stop_sent = true;
    }
    return out;
  };
  hooks.closed = [this, weak] {
    auto st = weak.lock();
    std::lock_guard<std::mutex> g(streams_m_);
    auto it = std::find(streams_.begin(), streams_.end(), st);
    if (st && it != streams_.end()) {
      streams_.erase(it);
      shared_->streams--;
      if (st->fleet) shared_->fleet_streams--;
    }
  };
  {
    std::lock_guard<std::mutex> g(streams_m_);
    if (closing_) return send_json(res, error_reply(503, "the centre is stopping"));
    if (streams_.size() >= kMaxStreams) return send_json(res, error_reply(503, "too many event streams"));
    s->feed = res.stream(std::move(hooks));
    streams_.push_back(s);
    shared_->streams++;
    if (s->fleet) shared_->fleet_streams++;
  }
  // Listed first, so that every event handed over from now on reaches it
  // (held while it replays); then the replay begins on the loop.
  if (s->replaying) {
    std::shared_ptr<Shared> sh = shared_;
    svc_.post([sh, s](Service &svc) { replay_step(svc, sh, s); });
  }
  res.content_type = "text/event-stream";
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Accel-Buffering", "no");
}

}  // namespace dtu::http::api
