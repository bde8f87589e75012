#include "journal_feed.h"

#include <algorithm>

#include "journal.h"

namespace dtu::mqtt {

using svc::Event;
using svc::EventType;

JournalFeed::JournalFeed(svc::Journal &journal, std::string sink, bool ack_after_broker, Hooks hooks)
    : journal_(journal), sink_(std::move(sink)), ack_after_(ack_after_broker), hooks_(std::move(hooks)) {
  cursor_ = saved_ = next_ = journal_.cursor(sink_);
  // From now on size retention keeps what the gateway has not published.
  journal_.set_cursor(sink_, cursor_);
}

void JournalFeed::seen(const Event &e) {
  if (e.seq != 0) {
    head_ = std::max(head_, e.seq);
    if (run_first_ == 0) run_first_ = e.seq;
    if (live_from_ == 0) live_from_ = e.seq;
  }
  if (e.type != EventType::kData) return;
  if (e.seq != 0 && e.seq < live_from_) return;  // older than the live queue: the journal pages have it
  if (live_.size() >= kLiveQueue) {
    // The oldest goes back to the journal (the queue is complete from the
    // next one on); one that is not journaled is lost.
    if (live_.front().seq == 0) ++unjournaled_dropped_;
    else live_from_ = live_.front().seq + 1;
    live_.pop_front();
  }
  live_.push_back(e);
}

bool JournalFeed::send(const Event &e, bool ack) {
  const int mid = hooks_.publish(e);
  if (mid < 0) return false;
  ++published_;
  in_flight_[mid] = Flight{e.seq, ack, e.id, e.peer};
  if (e.seq != 0) order_.push_back(Out{e.seq, e.time_ms, false});
  return true;
}

void JournalFeed::pump(bool connected) {
  if (!connected) return;
  while (in_flight_.size() < kMaxInFlight) {
    // Live records a journal page has published already.
    while (!live_.empty() && live_.front().seq != 0 && live_.front().seq <= next_) live_.pop_front();
    if (!caught_up()) {
      read_page();  // one page per call: the loop goes on between pages
      if (!caught_up()) break;
      continue;
    }
    if (live_.empty()) break;
    const Event &e = live_.front();
    if (!send(e, ack_after_)) break;
    if (e.seq != 0) next_ = e.seq;
    live_.pop_front();
  }
  move_cursor();
}

// One page of data records after next_, up to where the live queue takes
// over.  Without a full page, every data record up to the journal's
// committed seq (as it was before the read) has been seen.
bool JournalFeed::read_page() {
  const std::uint64_t committed = journal_.committed();
  const std::size_t want = std::min(kPage, kMaxInFlight - in_flight_.size());
  const std::vector<Event> page = journal_.read(next_, want, {EventType::kData});
  for (const Event &e : page) {
    if (live_from_ != 0 && e.seq >= live_from_) {
      next_ = live_from_ - 1;
      return true;
    }
    const bool this_run = run_first_ != 0 && e.seq >= run_first_;
    if (!send(e, ack_after_ && this_run)) return false;
    next_ = e.seq;
  }
  if (page.size() < want) {
    next_ = std::max(next_, live_from_ != 0 ? std::min(committed, live_from_ - 1) : committed);
    // No event seen yet: whatever comes next is newer than all the journal holds.
    if (live_from_ == 0) live_from_ = next_ + 1;
  }
  return true;
}

void JournalFeed::acked(int mid, bool ok) {
  auto it = in_flight_.find(mid);
  if (it == in_flight_.end()) return;
  const Flight f = std::move(it->second);
  in_flight_.erase(it);
  if (!ok) ++refused_;
  if (ok && f.ack) {
    Event e;
    e.type = EventType::kData;
    e.id = f.id;
    e.peer = f.peer;
    e.seq = f.seq;
    hooks_.acknowledge(e);
    ++acknowledged_;
  }
  if (f.seq == 0) return;
  auto o = std::lower_bound(order_.begin(), order_.end(), f.seq,
                            [](const Out &x, std::uint64_t s) { return x.seq < s; });
  if (o != order_.end() && o->seq == f.seq) o->done = true;
  while (!order_.empty() && order_.front().done) order_.pop_front();
}

// The cursor: below the oldest uplink in flight; else below the oldest
// journaled one waiting in the live queue; else, caught up, the head (the
// records between are not uplinks); else as far as the pages went.
void JournalFeed::move_cursor() {
  std::uint64_t c = next_;
  if (!order_.empty()) {
    c = order_.front().seq - 1;
  } else if (caught_up()) {
    c = std::max(next_, head_);
    for (const Event &e : live_)
      if (e.seq != 0) {
        c = e.seq - 1;
        break;
      }
  }
  cursor_ = std::max(cursor_, c);
}

void JournalFeed::save() {
  move_cursor();
  if (cursor_ == saved_) return;
  journal_.set_cursor(sink_, cursor_);
  saved_ = cursor_;
}

JournalFeed::Lag JournalFeed::lag(std::int64_t now_ms) {
  move_cursor();
  Lag l;
  const std::uint64_t head = std::max(head_, journal_.committed());
  l.records = head > cursor_ ? head - cursor_ : 0;
  if (l.records == 0) return l;
  std::int64_t oldest = 0;
  if (!order_.empty()) oldest = order_.front().time_ms;
  else if (caught_up() && !live_.empty()) oldest = live_.front().time_ms;
  else if (!caught_up()) {
    const std::vector<Event> first = journal_.read(cursor_, 1, {EventType::kData});
    if (!first.empty()) oldest = first.front().time_ms;
  }
  if (oldest > 0 && now_ms > oldest) l.seconds = static_cast<double>(now_ms - oldest) / 1000.0;
  return l;
}

JournalFeed::Left JournalFeed::stop(const std::vector<int> &late_mids) {
  // The service has stopped: no DataAck can go now.
  for (int mid : late_mids) {
    auto it = in_flight_.find(mid);
    if (it == in_flight_.end()) continue;
    it->second.ack = false;
    acked(mid, true);
  }
  save();
  Left left;
  const std::uint64_t head = std::max(head_, journal_.committed());
  left.kept = head > cursor_ ? head - cursor_ : 0;
  for (const auto &kv : in_flight_)
    if (kv.second.seq == 0) ++left.lost;
  for (const Event &e : live_)
    if (e.seq == 0) ++left.lost;
  left.lost += unjournaled_dropped_;
  in_flight_.clear();
  order_.clear();
  live_.clear();
  return left;
}

}  // namespace dtu::mqtt
