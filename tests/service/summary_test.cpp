// Summaries out of the journal on records whose counts are known: data up
// and down per bucket, terminals on line across bucket edges and carried
// from before the range, one terminal's periods, and retention's cut.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "journal.h"

namespace {

using namespace dtu::svc;

class SummaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/summary-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    config_.dir = dir_;
    config_.retention_s = 0;
  }
  void TearDown() override {
    journal_.reset();
    std::filesystem::remove_all(dir_);
  }
  void open() {
    std::string error;
    int code = 0;
    journal_ = Journal::open(config_, nullptr, &error, &code);
    ASSERT_TRUE(journal_) << error;
  }
  void add(EventType type, const std::string &id, std::int64_t time_ms) {
    Event e;
    e.type = type;
    e.id = id;
    e.time_ms = time_ms;
    ASSERT_NE(journal_->append(e), 0u);
  }
  SummaryWork summarize(SummaryQuery q) {
    SummaryWork w(std::move(q));
    for (int guard = 0; guard < 10000 && !journal_->summarize(&w); ++guard) {
    }
    EXPECT_TRUE(w.done);
    EXPECT_EQ(w.error, "");
    return w;
  }

  std::string dir_;
  JournalConfig config_;
  std::unique_ptr<Journal> journal_;
};

using T = EventType;
constexpr std::int64_t t0 = 1700000000000, s = 1000, min = 60 * s;

TEST_F(SummaryTest, BucketsCountDataAndTerminalsOnLine) {
  open();
  // Before the range: a on line (logon in the look-back), b off (its logout),
  // c unknown (heard only before the look-back), d off (a stop after its
  // logon), e on (its data).
  add(T::kLogon, "139b", t0 - 120 * min);
  add(T::kLogon, "138c", t0 - 90 * min);
  add(T::kLogon, "139d", t0 - 20 * min);
  add(T::kStop, "", t0 - 15 * min);
  add(T::kLogon, "139a", t0 - 12 * min);
  add(T::kLogout, "139b", t0 - 10 * min);
  add(T::kData, "138e", t0 - 5 * min);
  // The range, buckets of 10 s.
  add(T::kData, "139a", t0 + 1 * s);
  add(T::kData, "139a", t0 + 2 * s);
  add(T::kIdle, "138e", t0 + 5 * s);
  add(T::kLogon, "139d", t0 + 8 * s);
  add(T::kDownlinkSent, "139a", t0 + 12 * s);
  add(T::kLogout, "139d", t0 + 13 * s);
  add(T::kLogon, "139d", t0 + 15 * s);   // on again in the same bucket: counted once
  add(T::kClosed, "139d", t0 + 18 * s);
  add(T::kStop, "", t0 + 32 * s);        // a off line
  add(T::kLogout, "139a", t0 + 35 * s);  // already off
  add(T::kLogon, "138c", t0 + 39 * s);
  add(T::kData, "139a", t0 + 40 * s);    // at `to`: outside
  ASSERT_TRUE(journal_->flush());

  struct Case {
    const char *name;
    std::string id, prefix;
    std::int64_t bucket_ms;
    std::vector<std::vector<std::uint64_t>> buckets;  // up, down, online
    std::vector<std::pair<std::int64_t, std::int64_t>> periods;
  };
  const std::int64_t still = OnlinePeriod::kStillOnline;
  const Case cases[] = {
      {"the fleet", "", "", 10 * s, {{2, 0, 3}, {0, 1, 2}, {0, 0, 1}, {0, 0, 2}}, {}},
      {"a prefix", "", "138", 10 * s, {{0, 0, 1}, {0, 0, 0}, {0, 0, 0}, {0, 0, 1}}, {}},
      {"the last bucket cut at to", "", "", 15 * s, {{2, 1, 3}, {0, 0, 2}, {0, 0, 2}}, {}},
      {"on line from before", "139a", "", 10 * s, {{2, 0, 1}, {0, 1, 1}, {0, 0, 1}, {0, 0, 1}},
       {{t0, t0 + 32 * s}}},
      {"two periods in a bucket", "139d", "", 10 * s, {{0, 0, 1}, {0, 0, 1}, {0, 0, 0}, {0, 0, 0}},
       {{t0 + 8 * s, t0 + 13 * s}, {t0 + 15 * s, t0 + 18 * s}}},
      {"still on line at the end", "138c", "", 10 * s, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 1}},
       {{t0 + 39 * s, still}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SummaryQuery q;
    q.from_ms = t0;
    q.to_ms = t0 + 40 * s;
    q.bucket_ms = c.bucket_ms;
    q.id = c.id;
    q.prefix = c.prefix;
    const SummaryWork w = summarize(q);
    std::vector<std::vector<std::uint64_t>> got;
    for (std::size_t k = 0; k < w.buckets.size(); ++k) {
      EXPECT_EQ(w.buckets[k].t_ms, t0 + static_cast<std::int64_t>(k) * c.bucket_ms);
      got.push_back({w.buckets[k].up, w.buckets[k].down, w.buckets[k].online});
    }
    EXPECT_EQ(got, c.buckets);
    std::vector<std::pair<std::int64_t, std::int64_t>> periods;
    for (const OnlinePeriod &p : w.periods) periods.emplace_back(p.from_ms, p.to_ms);
    EXPECT_EQ(periods, c.periods);
    EXPECT_FALSE(w.truncated_by_retention);
  }
}

TEST_F(SummaryTest, ARangeOlderThanRetentionSaysSo) {
  config_.retention_s = 86400;
  open();
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const std::int64_t day = 86400 * s;
  for (int i = 0; i < 5; ++i) add(T::kData, "13900000001", now - 3 * day + i);
  for (int i = 0; i < 5; ++i) add(T::kData, "13900000001", now - 1000 + i);
  HistoryQuery all;
  for (int i = 0; i < 500 && journal_->history(all).records.size() != 5; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (auto [from, truncated] : {std::pair{now - 4 * day, true}, std::pair{now - 2000, false}}) {
    SummaryQuery q;
    q.from_ms = from;
    q.to_ms = now;
    q.bucket_ms = day;
    const SummaryWork w = summarize(q);
    EXPECT_EQ(w.truncated_by_retention, truncated);
    EXPECT_EQ(w.buckets.back().up, 5u);
  }
}

}  // namespace
