// The core's side of the journal: opened and read back before the start,
// what it held put back at the start, every delivered event recorded (wire
// traces aside), DataAcks sent once their frame is on disk and in the order
// the frames came, the fleet's rows written once a second, downlinks and
// requests kept as they change, and the "journal" health row.
#include <algorithm>
#include <cstring>

#include "core.h"

namespace dtu::svc {

bool Service::Impl::open_journal(std::string *error, int *exit_code) {
  auto failed = [&] {
    if (error) *error = journal_error;
    if (exit_code) *exit_code = journal_code;
    return false;
  };
  if (journal_tried) return journal_error.empty() ? true : failed();
  journal_tried = true;
  if (config.state_dir.empty()) return true;
  JournalConfig jc;
  jc.dir = config.state_dir;
  jc.group_ms = config.journal_group_ms;
  jc.group_records = config.journal_group_records;
  jc.max_mb = config.journal_max_mb;
  jc.retention_s = config.journal_retention;
  jc.drop_oldest = config.journal_full == JournalFull::kDropOldest;
  jc.fault = config.journal_fault;
  Service *service = self;
  jc.post = [service](std::function<void()> fn) { service->post([fn = std::move(fn)](Service &) { fn(); }); };
  journal = Journal::open(jc, &restored, &journal_error, &journal_code);
  if (!journal) {
    if (journal_error.empty()) journal_error = "cannot open the journal in " + config.state_dir;
    if (journal_code == 0) journal_code = kExitStateDir;
    return failed();
  }
  journal->on_commit([this](std::uint64_t committed) { send_committed_acks(committed); });
  for (auto &[id, meta] : restored.registry) registry.put(id, std::move(meta));
  restored.registry.clear();
  return true;
}

// ---- at start ----

void Service::Impl::restore() {
  if (!journal) return;
  JournalState st = std::move(restored);
  restored = JournalState{};
  next_handle = std::max(next_handle, st.next_handle);
  restore_fleet(st.terminals);
  restore_downlinks(st.downlinks);
  // Their callers are gone with the last run: each ends as a timeout.
  for (JournalRequest &r : st.requests) {
    next_handle = std::max(next_handle, r.handle + 1);
    Request req;
    req.handle = r.handle;
    finish(r.id, req, r.read, CommandResult::kTimeout);
  }
  journal->set_next_handle(next_handle);
  trim();
}

// Every terminal seen before, off line, with its first and last seen, its
// counters and its last address; one silent for fleet_forget is let go, and
// trim() keeps the fleet to fleet_max as it always does.
void Service::Impl::restore_fleet(std::vector<Terminal> &terminals) {
  const std::int64_t now = now_ms();
  const std::uint64_t loop_now = clock();
  for (Terminal &t : terminals) {
    const std::int64_t age = std::max<std::int64_t>(0, now - t.last_seen_ms);
    if (config.fleet_forget > 0 && t.last_seen_ms > 0 && age >= 1000ll * config.fleet_forget) {
      journal->forget_terminal(t.id);
      ++counters.terminals_forgotten;
      continue;
    }
    const std::string id = t.id;
    TermState &s = terms[id];
    s.pub = std::move(t);
    s.pub.id = id;
    s.pub.online = false;
    s.pub.slot = -1;
    s.pub.queued_downlinks = 0;
    // The loop's clock began with this run: a terminal heard before it
    // began counts as heard at its start.
    s.heard = static_cast<std::uint64_t>(age) < loop_now ? loop_now - static_cast<std::uint64_t>(age) : 0;
    touched.push_back(id);
  }
}

// Queued again with what they had left to live; one that was on the wire
// awaiting its DataReply is queued again too (it may have arrived: at
// least once); one whose time ran out meanwhile ends expired.
void Service::Impl::restore_downlinks(std::vector<JournalDownlink> &downlinks) {
  const std::int64_t now = now_ms();
  const std::uint64_t loop_now = clock();
  for (JournalDownlink &j : downlinks) {
    next_handle = std::max(next_handle, j.handle + 1);
    Downlink d;
    d.handle = j.handle;
    d.bytes = std::move(j.bytes);
    if (j.expires_ms <= now) {
      downlink_gone(EventType::kDownlinkExpired, j.id, d, "expired");
      continue;
    }
    d.expires = loop_now + static_cast<std::uint64_t>(j.expires_ms - now);
    TermState &s = terms[j.id];
    s.pub.id = j.id;
    log_downlink(d, j.id, DownlinkState::kQueued);
    s.downlinks.push_back(std::move(d));
    s.pub.queued_downlinks = s.downlinks.size();
    touched.push_back(j.id);
  }
}

// ---- records and DataAcks ----

void Service::Impl::journal_event(Event &e) {
  if (e.type == EventType::kWire) return;
  const bool acked_here = e.type == EventType::kData && ack_on_commit;
  if (acked_here && hold_back(e)) return;
  e.seq = journal->append(e);
  if (!acked_here) return;
  if (e.seq == 0) {
    // No DataAck: the terminal keeps the frame and sends it again.
    refused[e.id] = Refused{e.data, clock()};
    return;
  }
  commit_acks.push_back(CommitAck{e.id, e.peer, e.seq});
}

// True for a frame that waits behind its terminal's refused one: a DataAck
// for it would retire that one in the terminal, which the journal never
// kept.  The refused frame itself, sent again, ends the wait.
bool Service::Impl::hold_back(const Event &e) {
  auto it = refused.find(e.id);
  if (it == refused.end()) return false;
  if (it->second.data == e.data || clock() - it->second.since >= kHoldBackMs) {
    refused.erase(it);
    return false;
  }
  ++held_back;
  return true;
}

void Service::Impl::send_committed_acks(std::uint64_t committed) {
  if (commit_acks.empty() || commit_acks.front().seq > committed) return;
  Batch batch(*this);
  while (!commit_acks.empty() && commit_acks.front().seq <= committed) {
    self->ack_data(commit_acks.front().id, commit_acks.front().peer);
    commit_acks.pop_front();
  }
}

void Service::Impl::journal_downlink(const Downlink &d, const std::string &id, DownlinkState state, bool ended) {
  if (ended) return journal->end_downlink(d.handle);
  JournalDownlink j;
  j.handle = d.handle;
  j.id = id;
  j.bytes = d.bytes;
  // A message written at once was never queued: it lives as long as a
  // queued one would.
  const std::uint64_t now = clock();
  const std::uint64_t left = d.expires > now ? d.expires - now : d.expires != 0 ? 0 : 1000ull * config.downlink_expiry;
  j.expires_ms = now_ms() + static_cast<std::int64_t>(left);
  j.state = downlink_state_name(state);
  journal->put_downlink(j);
}

void Service::Impl::journal_request(const std::string &id, const Request &r, bool read) {
  if (!journal) return;
  JournalRequest j;
  j.handle = r.handle;
  j.id = id;
  j.read = read;
  j.values = r.values;
  journal->put_request(j);
}

// ---- once a second, and at the stop ----

void Service::Impl::journal_tick() {
  if (!journal) return;
  for (const std::string &id : fleet_changed) {
    auto it = terms.find(id);
    if (it != terms.end()) journal->put_terminal(it->second.pub);
  }
  fleet_changed.clear();
  journal->set_next_handle(next_handle);
  const std::uint64_t now = clock();
  for (auto it = refused.begin(); it != refused.end();)
    it = now - it->second.since >= kHoldBackMs ? refused.erase(it) : std::next(it);
  set_health(journal_row());
}

HealthRow Service::Impl::journal_row() const {
  const Journal::Stats st = journal->stats();
  HealthRow row;
  row.name = "journal";
  if (st.full) {
    row.state = HealthState::kDegraded;
    row.reason = "journal-full";
    row.detail = "past journal_max_mb while a sink still needs its oldest records: user data is not "
                 "acknowledged (the terminals keep it) until there is room";
  } else if (!st.error.empty()) {
    row.state = HealthState::kDegraded;
    row.reason = "disk-failing";
    row.detail = st.error + "; user data is not acknowledged until the disk takes writes again";
  }
  row.fields = {{"path", journal->path()},
                {"bytes", st.bytes},
                {"records", st.records},
                {"oldest_seq", journal->oldest()},
                {"committed_seq", journal->committed()},
                {"commits", st.commits},
                {"commit_p50_ms", st.commit_p50_ms},
                {"commit_p99_ms", st.commit_p99_ms},
                {"full", st.full},
                {"error", st.error},
                {"refused", st.refused},
                {"held_back", held_back},
                {"dropped", st.dropped},
                {"acks_waiting", commit_acks.size()}};
  return row;
}

void Service::Impl::journal_stop() {
  if (!journal) return;
  journal_tick();
  journal->flush();
  send_committed_acks(journal->committed());
}

// ---- the public calls ----

bool Service::open_journal(std::string *error, int *exit_code) { return impl_->open_journal(error, exit_code); }

Journal *Service::journal() { return impl_->journal.get(); }

}  // namespace dtu::svc
