// History pages out of the journal, checked against a plain filter over
// what went in: every condition, both orders, paging by the cursor (every
// record once), windows far apart, and a range older than retention.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "journal.h"

namespace {

using namespace dtu::svc;

std::int64_t now_wall() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/history-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    config_.dir = dir_;
    config_.retention_s = 0;  // the records here are old
  }
  void TearDown() override {
    journal_.reset();
    std::filesystem::remove_all(dir_);
  }
  Journal &open() {
    std::string error;
    int code = 0;
    journal_ = Journal::open(config_, nullptr, &error, &code);
    if (!journal_) throw std::runtime_error(error);
    return *journal_;
  }
  // Appends an event and keeps it, seq set, as the model.
  void add(EventType type, std::string id, std::int64_t time_ms) {
    Event e;
    e.type = type;
    e.id = std::move(id);
    e.time_ms = time_ms;
    e.data = {0x41, 0x00, 0xFF};
    e.seq = journal_->append(e);
    ASSERT_NE(e.seq, 0u);
    sent_.push_back(e);
  }
  // The seqs of every page of `q`, paged by the cursor.
  std::vector<std::uint64_t> pages(HistoryQuery q) {
    std::vector<std::uint64_t> seqs;
    for (int guard = 0; guard < 100000; ++guard) {
      const HistoryPage p = journal_->history(q);
      EXPECT_EQ(p.error, "");
      EXPECT_LE(p.records.size(), q.limit);
      for (const Event &e : p.records) seqs.push_back(e.seq);
      if (p.next_cursor == 0) break;
      q.cursor = p.next_cursor;
    }
    return seqs;
  }
  // What `q` should give: the model filtered plainly.
  std::vector<std::uint64_t> expected(const HistoryQuery &q) const {
    std::vector<std::uint64_t> seqs;
    for (const Event &e : sent_) {
      if (e.time_ms < q.from_ms || e.time_ms > q.to_ms) continue;
      if (!q.types.empty() && std::find(q.types.begin(), q.types.end(), e.type) == q.types.end()) continue;
      if (!q.id.empty() ? e.id != q.id : e.id.compare(0, q.prefix.size(), q.prefix) != 0) continue;
      if (q.by_ids && std::find(q.ids.begin(), q.ids.end(), e.id) == q.ids.end()) continue;
      seqs.push_back(e.seq);
    }
    if (q.newest_first) std::reverse(seqs.begin(), seqs.end());
    return seqs;
  }

  std::string dir_;
  JournalConfig config_;
  std::unique_ptr<Journal> journal_;
  std::vector<Event> sent_;
};

TEST_F(HistoryTest, EveryConditionInBothOrdersPagesThroughEachRecordOnce) {
  open();
  const std::int64_t t0 = 1700000000000;
  const std::string odd("139\x01\xff", 5);
  const std::string ids[] = {"13900000001", "13900000002", "13811111111", odd};
  const EventType types[] = {EventType::kData, EventType::kLogon, EventType::kDataReply};
  for (int i = 0; i < 300; ++i) add(types[i % 3 == 0 ? 1 + i % 2 : 0], ids[i % 4], t0 + i * 10);
  ASSERT_TRUE(journal_->flush());
  struct Case {
    const char *name;
    HistoryQuery q;
  };
  auto q = [](auto fn) {
    HistoryQuery r;
    r.limit = 7;
    fn(r);
    return r;
  };
  const Case cases[] = {
      {"everything", q([](HistoryQuery &) {})},
      {"everything, newest first", q([](HistoryQuery &r) { r.newest_first = true; })},
      {"a time range", q([&](HistoryQuery &r) { r.from_ms = t0 + 555; r.to_ms = t0 + 1230; })},
      {"a time range, newest first",
       q([&](HistoryQuery &r) { r.from_ms = t0 + 555; r.to_ms = t0 + 1230; r.newest_first = true; })},
      {"from only", q([&](HistoryQuery &r) { r.from_ms = t0 + 2900; })},
      {"to only, newest first", q([&](HistoryQuery &r) { r.to_ms = t0 + 40; r.newest_first = true; })},
      {"after the last", q([&](HistoryQuery &r) { r.from_ms = t0 + 5000; })},
      {"types", q([](HistoryQuery &r) { r.types = {EventType::kLogon, EventType::kDataReply}; })},
      {"one terminal", q([](HistoryQuery &r) { r.id = "13900000002"; })},
      {"one terminal, data, newest first",
       q([](HistoryQuery &r) { r.id = "13900000001"; r.types = {EventType::kData}; r.newest_first = true; })},
      {"an ID with odd bytes", q([&](HistoryQuery &r) { r.id = odd; })},
      {"a prefix", q([](HistoryQuery &r) { r.prefix = "1390"; })},
      {"a prefix, a type, a range",
       q([&](HistoryQuery &r) { r.prefix = "139"; r.types = {EventType::kData}; r.from_ms = t0 + 1000; r.to_ms = t0 + 2000; })},
      {"an ID never heard", q([](HistoryQuery &r) { r.id = "nobody"; })},
      {"a group's terminals", q([&](HistoryQuery &r) { r.by_ids = true; r.ids = {"13811111111", odd}; })},
      {"a group's terminals, a prefix, newest first",
       q([&](HistoryQuery &r) { r.by_ids = true; r.ids = {"13811111111", odd}; r.prefix = "139"; r.newest_first = true; })},
      {"a group with no terminal", q([](HistoryQuery &r) { r.by_ids = true; })},
      {"a page of 500", q([](HistoryQuery &r) { r.limit = 500; })},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pages(c.q), expected(c.q));
  }
}

TEST_F(HistoryTest, APageGoesOnAcrossLongStretchesWithoutAMatch) {
  open();
  const std::int64_t t0 = 1700000000000;
  // The one terminal is heard in short bands around round seqs, where a
  // page's scanning windows (of a round size) begin and end.
  for (int seq = 1; seq <= 45000; ++seq)
    add(EventType::kData, seq % 10000 < 5 || seq % 10000 > 9995 ? "13000000009" : "13900000001", t0 + seq);
  ASSERT_TRUE(journal_->flush());
  for (bool newest : {false, true}) {
    for (const char *how : {"id", "prefix"}) {
      SCOPED_TRACE(std::string(how) + (newest ? ", newest first" : ""));
      HistoryQuery q;
      (std::string(how) == "id" ? q.id : q.prefix) = "13000000009";
      q.newest_first = newest;
      EXPECT_EQ(pages(q), expected(q));
      EXPECT_EQ(pages(q).size(), 4u + 4 * 9);
    }
  }
}

TEST_F(HistoryTest, ARangeOlderThanRetentionSaysSo) {
  config_.retention_s = 86400;
  open();
  const std::int64_t now = now_wall(), day = 86400 * 1000ll;
  for (int i = 0; i < 5; ++i) add(EventType::kData, "13900000001", now - 3 * day + i);
  for (int i = 0; i < 5; ++i) add(EventType::kData, "13900000001", now - 1000 + i);
  // Retention runs on the writer thread within about a second.
  HistoryQuery all;
  for (int i = 0; i < 500 && journal_->history(all).records.size() != 5; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  struct Case {
    const char *name;
    std::int64_t from, to;
    bool truncated;
    std::size_t records;
  };
  const Case cases[] = {
      {"no start", INT64_MIN, INT64_MAX, true, 5},
      {"wholly deleted", now - 4 * day, now - 2 * day, true, 0},
      {"from inside what is held", now - 2000, INT64_MAX, false, 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    HistoryQuery q;
    q.from_ms = c.from;
    q.to_ms = c.to;
    const HistoryPage p = journal_->history(q);
    EXPECT_EQ(p.truncated_by_retention, c.truncated);
    EXPECT_EQ(p.records.size(), c.records);
    EXPECT_EQ(p.retained_from_ms, now - 1000);
  }
}

}  // namespace
