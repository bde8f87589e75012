// The gateway's reader of the journal without a broker: a real journal in a
// scratch directory, a stand-in for the broker that hands out mids and
// answers PUBACKs when told, and the feed between them.  The cursor, the
// order, the in-flight bound and the restart are checked here; the real
// broker's part is in mqtt_test.cpp.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "journal.h"
#include "journal_feed.h"

namespace {

using dtu::mqtt::JournalFeed;
using dtu::svc::Event;
using dtu::svc::EventType;
using dtu::svc::Journal;

class FeedRig : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dtufeed.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    open_journal();
  }
  void TearDown() override {
    feed_.reset();
    journal_.reset();
    std::system(("rm -rf " + dir_).c_str());
  }
  void open_journal() {
    dtu::svc::JournalConfig cfg;
    cfg.dir = dir_;
    dtu::svc::JournalState restored;
    std::string why;
    int code = 0;
    journal_ = Journal::open(cfg, &restored, &why, &code);
    ASSERT_NE(journal_, nullptr) << why;
  }
  // A centre restart: the feed and the journal go, the journal comes back.
  void restart(bool ack_after = false) {
    feed_.reset();
    journal_.reset();
    open_journal();
    make_feed(ack_after);
  }
  void make_feed(bool ack_after = false) {
    JournalFeed::Hooks hooks;
    hooks.publish = [this](const Event &e) {
      if (refuse_ > 0) return --refuse_, -1;
      published_.push_back(e);
      flight_[next_mid_] = e.seq;
      return next_mid_++;
    };
    hooks.acknowledge = [this](const Event &e) { acknowledged_.push_back(e.seq); };
    feed_ = std::make_unique<JournalFeed>(*journal_, "mqtt", ack_after, std::move(hooks));
  }

  // An event as the core hands it to the sinks: journaled first, then seen,
  // then (for data) published at once when the feed is caught up.
  std::uint64_t event(EventType type, const std::string &id = "", const std::string &payload = "") {
    Event e;
    e.type = type;
    e.time_ms = 1800000000000 + static_cast<std::int64_t>(journal_->committed());
    e.id = id;
    e.data.assign(payload.begin(), payload.end());
    e.seq = journal_->append(e);
    feed_->seen(e);
    if (type == EventType::kData && feed_->caught_up()) feed_->pump(connected_);
    return e.seq;
  }
  std::uint64_t data(const std::string &id, const std::string &payload) { return event(EventType::kData, id, payload); }

  // PUBACKs for the mids in flight, oldest first (or those `pick` chooses).
  void puback(const std::function<bool(std::uint64_t seq)> &pick = {}) {
    std::vector<int> mids;
    for (auto &[mid, seq] : flight_)
      if (!pick || pick(seq)) mids.push_back(mid);
    for (int mid : mids) {
      flight_.erase(mid);
      feed_->acked(mid, true);
    }
    feed_->pump(connected_);
    feed_->save();
  }
  // The broker answers everything until nothing more goes out; the most in
  // flight at once is kept.
  void drain() {
    for (int turn = 0; turn < 10000; ++turn) {
      ASSERT_TRUE(journal_->flush());
      feed_->pump(connected_);
      max_flight_ = std::max(max_flight_, flight_.size());
      if (flight_.empty() && feed_->caught_up() && feed_->queued() == 0) return;
      puback();
    }
    FAIL() << "the feed never caught up";
  }
  std::vector<std::uint64_t> published_seqs() const {
    std::vector<std::uint64_t> s;
    for (const Event &e : published_) s.push_back(e.seq);
    return s;
  }

  std::string dir_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<JournalFeed> feed_;
  bool connected_ = true;
  int refuse_ = 0;  // publishes that fail before the next goes
  int next_mid_ = 1;
  std::map<int, std::uint64_t> flight_;  // mid -> seq
  std::vector<Event> published_;
  std::vector<std::uint64_t> acknowledged_;
  std::size_t max_flight_ = 0;
};

// Caught up, a data event is published before its record is even on disk,
// and the cursor stops below the oldest uplink the broker has not taken,
// whatever order the PUBACKs come in.
TEST_F(FeedRig, LiveUplinksGoAtOnceAndTheCursorWaitsForTheOldestPuback) {
  make_feed();
  feed_->pump(true);
  const std::uint64_t logon = event(EventType::kLogon, "A");
  const std::uint64_t a = data("A", "1"), b = data("A", "2");
  event(EventType::kDataReply, "A");
  const std::uint64_t c = data("A", "3");
  const std::uint64_t reply = event(EventType::kDataReply, "A");
  EXPECT_EQ(published_seqs(), (std::vector<std::uint64_t>{a, b, c}));
  puback([&](std::uint64_t s) { return s == c; });
  EXPECT_EQ(feed_->cursor(), a - 1);
  EXPECT_GE(a - 1, logon);
  puback([&](std::uint64_t s) { return s == a; });
  EXPECT_EQ(feed_->cursor(), b - 1);
  puback();
  EXPECT_EQ(feed_->cursor(), reply) << "past the records that are not uplinks too";
  EXPECT_EQ(feed_->lag(0).records, 0u);
}

// The broker away while three terminals send more than the live queue
// holds: when it is back every uplink goes out once, in the order each
// terminal sent it, never more than the bound in flight, and the cursor
// reaches the head.  Publishes that fail are tried again.
TEST_F(FeedRig, BrokerAwayThenBackPublishesEveryUplinkOnceInOrder) {
  make_feed();
  connected_ = false;
  std::map<std::string, std::vector<std::string>> sent;
  std::uint64_t last = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string id = "T" + std::to_string(i % 3), payload = std::to_string(i);
    last = data(id, payload);
    sent[id].push_back(payload);
    if (i % 100 == 0) last = event(EventType::kLogon, id);
  }
  EXPECT_TRUE(published_.empty());
  EXPECT_EQ(feed_->lag(0).records, last);
  connected_ = true;
  refuse_ = 3;
  drain();
  std::map<std::string, std::vector<std::string>> got;
  for (const Event &e : published_) got[e.id].push_back(std::string(e.data.begin(), e.data.end()));
  EXPECT_EQ(got, sent);
  const std::vector<std::uint64_t> order = published_seqs();
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_LE(max_flight_, JournalFeed::kMaxInFlight);
  EXPECT_EQ(feed_->cursor(), last);
  // Live again at once.
  const std::uint64_t now = data("T0", "after");
  EXPECT_EQ(published_.back().seq, now);
}

// A restart goes on from the stored cursor: what the broker had taken is
// not published again, what it had not is; the DataAck after the broker
// goes only for this run's frames.
TEST_F(FeedRig, RestartResumesFromTheStoredCursor) {
  make_feed(true);
  feed_->pump(true);
  std::vector<std::uint64_t> seqs;
  for (int i = 0; i < 10; ++i) seqs.push_back(data("A", std::to_string(i)));
  event(EventType::kLogout, "A");  // the last records before the stop are not uplinks
  puback([&](std::uint64_t s) { return s <= seqs[5]; });
  EXPECT_EQ(acknowledged_.size(), 6u);
  restart(true);
  published_.clear();
  flight_.clear();
  acknowledged_.clear();
  const std::uint64_t start = event(EventType::kStart);  // before the broker link is up, as at a start
  drain();
  EXPECT_EQ(published_seqs(), (std::vector<std::uint64_t>{seqs[6], seqs[7], seqs[8], seqs[9]}));
  EXPECT_EQ(feed_->cursor(), start) << "caught up, past the records that are not uplinks";
  const std::uint64_t fresh = data("A", "new");
  EXPECT_EQ(published_.back().seq, fresh) << "live again at once";
  puback();
  EXPECT_EQ(acknowledged_, (std::vector<std::uint64_t>{fresh}));
  EXPECT_EQ(feed_->cursor(), fresh);
}

}  // namespace
