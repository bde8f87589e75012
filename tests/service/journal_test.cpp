// The journal's store on a real file in a directory of the test's own: what
// goes in comes back (events, the state, seq), groups, the lock, a damaged
// file, retention and the full policies, and a disk that fails.
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "journal.h"

namespace {

using namespace dtu::svc;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::int64_t now_wall() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Every field, so that a field lost on the way shows as a difference.
std::string describe(const Event &e) {
  std::ostringstream o;
  o << event_name(e.type) << " seq=" << e.seq << " t=" << e.time_ms << " id=" << id_text(e.id)
    << " peer=" << to_string(e.peer) << " old=" << to_string(e.old_peer) << " rep=" << to_string(e.reported)
    << " data=" << hex_bytes(e.data.data(), e.data.size()) << " len=" << e.length << " reason=" << e.reason
    << " text=" << hex_bytes(reinterpret_cast<const std::uint8_t *>(e.text.data()), e.text.size())
    << " req=" << e.request << " in=" << e.inbound << " slot=" << e.slot << " check=" << e.check
    << " state=" << e.state << " params=";
  for (const ParamValue &p : e.params)
    o << p.tag << "/" << static_cast<int>(p.form) << "/" << p.number << "/" << p.text.size() << ":" << p.text << ";";
  return o.str();
}

Event data_event(std::int64_t time_ms, std::size_t size = 16) {
  Event e;
  e.type = EventType::kData;
  e.time_ms = time_ms;
  e.id = "13900000001";
  e.peer = {0x7F000001, 4000};
  e.data.assign(size, 0xA5);
  return e;
}

// Waits (bounded) for a condition the writer thread brings about.
bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/journal-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    config_.dir = dir_ + "/state";
    config_.post = [this](std::function<void()> fn) {
      std::lock_guard<std::mutex> lk(posted_mutex_);
      posted_.push_back(std::move(fn));
    };
  }
  void TearDown() override {
    journal_.reset();
    fs::remove_all(dir_);
  }

  // Opens config_ (the state read back into state_); fails the test when it cannot.
  Journal &open() {
    journal_.reset();
    std::string error;
    int code = 0;
    journal_ = Journal::open(config_, &state_, &error, &code);
    EXPECT_TRUE(journal_) << error;
    if (!journal_) throw std::runtime_error(error);
    return *journal_;
  }
  // What opening config_ refuses with: the exit code and the message.
  std::pair<int, std::string> refusal() {
    std::string error;
    int code = 0;
    auto j = Journal::open(config_, nullptr, &error, &code);
    EXPECT_FALSE(j) << "opened";
    return {code, error};
  }
  // Runs what the journal posted to "the loop" (this thread).
  void drain() {
    std::vector<std::function<void()>> fns;
    {
      std::lock_guard<std::mutex> lk(posted_mutex_);
      fns.swap(posted_);
    }
    for (auto &fn : fns) fn();
  }
  std::string file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
  JournalConfig config_;
  JournalState state_;
  std::unique_ptr<Journal> journal_;
  std::mutex posted_mutex_;
  std::vector<std::function<void()>> posted_;
};

// ---- what goes in comes back ----

TEST_F(JournalTest, EveryFieldOfEveryKindOfEventComesBackAsItWent) {
  std::vector<Event> events;
  Event data = data_event(1765218775123, 0);
  data.id = std::string("\x00\xFF\x01/%\x7F", 6);  // raw bytes, any byte
  data.data = {0x00, 0xFF, 0x7B, 0x00};
  events.push_back(data);
  Event logon;
  logon.type = EventType::kLogon;
  logon.time_ms = 1;
  logon.id = "ABCDEFGHIJK";
  logon.peer = {0xC0A80001, 65535};
  logon.reported = {0x0A000001, 1};
  logon.slot = 4095;
  events.push_back(logon);
  Event moved;
  moved.type = EventType::kAddrChange;
  moved.old_peer = {0xFFFFFFFF, 0};
  moved.peer = {1, 2};
  events.push_back(moved);
  Event read;
  read.type = EventType::kParamRead;
  read.request = UINT64_MAX >> 1;
  read.params = {{6, ParamForm::kText, std::string("\x00" "abc\xFF", 5), 0},
                 {1, ParamForm::kU32, "", 4294967295u},
                 {18, ParamForm::kComposite, "1-2-3-4-5", 0}};
  events.push_back(read);
  Event rejected;
  rejected.type = EventType::kRejected;
  rejected.length = 1500;
  rejected.reason = "too-large";
  rejected.data.assign(32, 0x00);
  rejected.inbound = true;
  rejected.text = std::string("GBK \x81\x40 \\x81", 10);
  events.push_back(rejected);
  Event health;
  health.type = EventType::kHealth;
  health.check = "broker";
  health.state = "degraded";
  health.reason = "unreachable";
  events.push_back(health);

  config_.retention_s = 0;  // the times above are long past
  Journal &j = open();
  Event wire = data_event(5);
  wire.type = EventType::kWire;
  EXPECT_EQ(j.append(wire), 0u) << "trace events are not kept";
  for (std::size_t i = 0; i < events.size(); ++i) {
    events[i].seq = 999;  // ignored: the journal numbers its records
    EXPECT_EQ(j.append(events[i]), i + 1);
    events[i].seq = i + 1;
  }
  ASSERT_TRUE(j.flush());
  EXPECT_EQ(j.stats().refused, 0u) << "a trace event is not a refusal";
  for (int reopen = 0; reopen < 2; ++reopen) {
    Journal &k = reopen ? open() : j;
    const std::vector<Event> back = k.read(0, 100);
    ASSERT_EQ(back.size(), events.size()) << "reopened: " << reopen;
    for (std::size_t i = 0; i < events.size(); ++i) EXPECT_EQ(describe(back[i]), describe(events[i]));
  }
}

TEST_F(JournalTest, ReadPagesFromAfterAndFiltersByType) {
  Journal &j = open();
  for (int i = 0; i < 10; ++i) {
    Event e = data_event(now_wall());
    if (i % 2) e.type = EventType::kLogon;
    j.append(e);
  }
  ASSERT_TRUE(j.flush());
  auto seqs = [](const std::vector<Event> &v) {
    std::vector<std::uint64_t> s;
    for (const Event &e : v) s.push_back(e.seq);
    return s;
  };
  EXPECT_EQ(seqs(j.read(3, 4)), (std::vector<std::uint64_t>{4, 5, 6, 7}));
  EXPECT_EQ(seqs(j.read(4, 100, {EventType::kData})), (std::vector<std::uint64_t>{5, 7, 9}));
  EXPECT_EQ(seqs(j.read(0, 100, {EventType::kLogon, EventType::kStop})), (std::vector<std::uint64_t>{2, 4, 6, 8, 10}));
  EXPECT_TRUE(j.read(10, 100).empty());
  EXPECT_TRUE(j.read(0, 0).empty());
}

// A centre killed with groups still in memory: the child process hands
// out seqs and dies without closing; the next open never gives them again.
TEST_F(JournalTest, SeqIsNeverGivenOutTwiceAcrossCloseCrashAndRetention) {
  const std::int64_t an_hour_ago = now_wall() - 3600 * 1000;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    int code = 0;
    JournalConfig c = config_;
    c.post = nullptr;
    c.group_ms = 60000;
    c.group_records = 1000000;
    auto j = Journal::open(c, nullptr, &error, &code);
    std::uint64_t last = 0;
    for (int i = 0; j && i < 50; ++i) last = j->append(data_event(an_hour_ago));
    if (j) j->flush();
    for (int i = 0; j && i < 50; ++i) last = j->append(data_event(an_hour_ago));  // never committed
    (void)!write(fds[1], &last, sizeof last);
    _exit(0);
  }
  close(fds[1]);
  std::uint64_t handed = 0;
  ASSERT_EQ(read(fds[0], &handed, sizeof handed), static_cast<ssize_t>(sizeof handed));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(handed, 100u);

  Journal &j = open();
  EXPECT_EQ(j.read(0, 1000).size(), 50u) << "the committed group survives";
  const std::uint64_t after_crash = j.append(data_event(an_hour_ago));
  EXPECT_GT(after_crash, handed);
  ASSERT_TRUE(j.flush());

  open();
  EXPECT_EQ(state_.last_seq, after_crash) << "a clean close continues where it stopped";

  config_.retention_s = 60;
  Journal &k = open();
  ASSERT_TRUE(eventually([&] { return k.stats().records == 0; })) << "retention empties the journal";
  EXPECT_EQ(k.oldest(), after_crash + 1);
  open();
  EXPECT_EQ(journal_->append(data_event(now_wall())), after_crash + 1) << "an empty journal still remembers its seq";
}

TEST_F(JournalTest, ManyAppendsGoInFewCommitsOfAtMostAGroupEach) {
  config_.group_ms = 60000;  // only the record count closes a group
  config_.group_records = 256;
  Journal &j = open();
  for (int i = 0; i < 2000; ++i) ASSERT_NE(j.append(data_event(now_wall())), 0u);
  ASSERT_TRUE(j.flush());
  const Journal::Stats s = j.stats();
  EXPECT_EQ(s.records, 2000u);
  EXPECT_GE(s.commits, 8u) << "no group holds more than group_records";
  EXPECT_LE(s.commits, 16u);
  EXPECT_GT(s.commit_p99_ms, 0.0);
  EXPECT_GE(s.commit_p99_ms, s.commit_p50_ms);
}

TEST_F(JournalTest, OnCommitRunsOnTheLoopInOrderWithTheRecordsReadable) {
  config_.group_records = 64;
  Journal &j = open();
  std::vector<std::uint64_t> told;
  bool readable = true;
  j.on_commit([&](std::uint64_t c) {
    told.push_back(c);
    readable = readable && j.read(c - 1, 1).size() == 1 && j.committed() >= c;
  });
  std::uint64_t last = 0;
  for (int burst = 0; burst < 10; ++burst) {
    for (int i = 0; i < 100; ++i) last = j.append(data_event(now_wall()));
    drain();
  }
  ASSERT_TRUE(eventually([&] {
    drain();
    return !told.empty() && told.back() == last;
  }));
  EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
  EXPECT_EQ(std::adjacent_find(told.begin(), told.end()), told.end()) << "each value once";
  EXPECT_TRUE(readable);
}

// ---- the state read back ----

TEST_F(JournalTest, TheStateComesBackWithoutWhatEnded) {
  Journal &j = open();
  j.put_downlink({7, "T1", {1, 2, 3}, 1765218775000, "queued"});
  j.put_downlink({8, std::string("T\0\xFF", 3), {0}, 5, "queued"});
  j.put_downlink({8, std::string("T\0\xFF", 3), {0}, 5, "sent"});  // its state moved on
  j.put_downlink({9, "T1", {9}, 5, "queued"});
  j.put_request({11, "T1", true, {}});
  j.put_request({12, "T2", false, {{6, ParamForm::kText, "13900000001", 0}, {2, ParamForm::kU16, "", 5002}}});
  j.put_request({13, "T2", true, {}});
  ASSERT_TRUE(j.flush());  // on disk before they end
  j.end_downlink(9);
  j.end_request(11);
  Terminal a;
  a.id = "A";
  a.peer = {0x7F000001, 4000};
  a.reported = {0x0A000001, 5000};
  a.logon_time_ms = 3;
  a.first_seen_ms = 1;
  a.last_seen_ms = 2;
  a.datagrams_in = 10, a.bytes_out = 11, a.in.other = 12, a.out.params = 13, a.duplicate_logons = 14;
  a.online = true;
  a.recent.push_back({});
  j.put_terminal(a);
  Terminal b;
  b.id = "B";
  j.put_terminal(b);
  ASSERT_TRUE(j.flush());
  j.forget_terminal("B");
  j.set_cursor("mqtt", 5);
  j.set_cursor("mqtt", 6);
  j.set_cursor("other", 0);
  j.set_next_handle(40);
  open();

  ASSERT_EQ(state_.downlinks.size(), 2u);
  EXPECT_EQ(state_.downlinks[0].handle, 7u);
  EXPECT_EQ(state_.downlinks[0].bytes, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(state_.downlinks[0].expires_ms, 1765218775000);
  EXPECT_EQ(state_.downlinks[1].id, std::string("T\0\xFF", 3));
  EXPECT_EQ(state_.downlinks[1].state, "sent");
  ASSERT_EQ(state_.requests.size(), 2u);
  EXPECT_EQ(state_.requests[0].handle, 12u);
  EXPECT_FALSE(state_.requests[0].read);
  ASSERT_EQ(state_.requests[0].values.size(), 2u);
  EXPECT_EQ(state_.requests[0].values[0].text, "13900000001");
  EXPECT_EQ(state_.requests[0].values[1].number, 5002u);
  EXPECT_TRUE(state_.requests[1].read);
  ASSERT_EQ(state_.terminals.size(), 1u);
  const Terminal &t = state_.terminals[0];
  EXPECT_EQ(t.id, "A");
  EXPECT_EQ(t.peer, a.peer);
  EXPECT_EQ(t.reported, a.reported);
  EXPECT_EQ(std::vector<std::int64_t>({t.logon_time_ms, t.first_seen_ms, t.last_seen_ms}),
            std::vector<std::int64_t>({3, 1, 2}));
  EXPECT_EQ(std::vector<std::uint64_t>({t.datagrams_in, t.bytes_out, t.in.other, t.out.params, t.duplicate_logons}),
            std::vector<std::uint64_t>({10, 11, 12, 13, 14}));
  EXPECT_FALSE(t.online);
  EXPECT_TRUE(t.recent.empty());
  EXPECT_EQ(state_.cursors, (std::map<std::string, std::uint64_t>{{"mqtt", 6}, {"other", 0}}));
  EXPECT_EQ(journal_->cursor("mqtt"), 6u);
  EXPECT_EQ(state_.next_handle, 40u);
}

TEST_F(JournalTest, TheNextHandleIsPastEveryHandleKept) {
  Journal &j = open();
  j.put_downlink({70, "T1", {1}, 5, "queued"});
  j.put_request({71, "T1", true, {}});
  j.end_request(71);
  open();
  EXPECT_EQ(state_.next_handle, 72u);
}

// ---- the state directory and the file ----

TEST_F(JournalTest, ASecondJournalOnTheSameDirectoryIsRefusedWhileTheFirstIsOpen) {
  open();
  const auto [code, error] = refusal();
  EXPECT_EQ(code, kExitStateDir);
  EXPECT_NE(error.find("held by another centre (pid " + std::to_string(getpid()) + ")"), std::string::npos) << error;
  journal_.reset();
  open();
}

TEST_F(JournalTest, AStateDirectoryThatCannotBeMadeOrWrittenGivesCode3) {
  std::ofstream(dir_ + "/file") << "x";
  fs::create_directories(dir_ + "/dbdir/journal.db");
  const std::string cases[] = {
      dir_ + "/file/state",  // under a plain file
      dir_ + "/dbdir",       // the journal's name taken by a directory
      "",                    // none given
  };
  for (const std::string &d : cases) {
    config_.dir = d;
    const auto [code, error] = refusal();
    EXPECT_EQ(code, kExitStateDir) << d;
    EXPECT_NE(error.find(d), std::string::npos) << error;
  }
}

TEST_F(JournalTest, ADamagedFileGivesCode4AndIsLeftAsItWas) {
  struct Case {
    const char *what;
    std::size_t at;  // where the garbage goes
  };
  const Case cases[] = {{"a page in the middle", 40 * 4096}, {"the header", 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(config_.dir);
    Journal &j = open();
    for (int i = 0; i < 3000; ++i) j.append(data_event(now_wall(), 100));
    journal_.reset();
    std::string report;
    EXPECT_EQ(Journal::check(config_.dir, &report), 0) << report;
    const std::string path = config_.dir + "/journal.db";
    ASSERT_GT(fs::file_size(path), c.at + 4096);
    {
      std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(c.at));
      f << std::string(4096, '\x5A');
    }
    const std::string before = file_bytes(path);
    const auto [code, error] = refusal();
    EXPECT_EQ(code, kExitDamaged);
    EXPECT_NE(error.find("quick_check"), std::string::npos) << error;
    EXPECT_NE(error.find("move it aside"), std::string::npos) << error;
    EXPECT_EQ(file_bytes(path), before) << "the file is not touched";
    EXPECT_FALSE(fs::exists(path + "-wal") && fs::file_size(path + "-wal") > 0);
    EXPECT_EQ(Journal::check(config_.dir, &report), kExitDamaged) << report;
  }
}

// ---- retention and a full journal ----

TEST_F(JournalTest, RecordsPastTheirAgeGoAndThoseASinkHadNotFinishedAreCounted) {
  config_.retention_s = 86400;
  Journal &j = open();
  j.set_cursor("mqtt", 3);
  for (int i = 0; i < 10; ++i) j.append(data_event(now_wall() - 2 * 86400 * 1000ll));
  for (int i = 0; i < 5; ++i) j.append(data_event(now_wall()));
  ASSERT_TRUE(eventually([&] { return j.stats().records == 5; }));
  EXPECT_EQ(j.oldest(), 11u);
  EXPECT_EQ(j.stats().dropped, 7u) << "4..10 had not reached the sink";
  EXPECT_EQ(j.read(0, 100).front().seq, 11u);
}

// Fills a 1 MiB journal with records of 1000 bytes until an append is
// refused or `most` went in; the last seq accepted.
std::uint64_t fill(Journal &j, int most) {
  std::uint64_t last = 0;
  for (int i = 0; i < most; ++i) {
    const std::uint64_t seq = j.append(data_event(now_wall(), 1000));
    if (seq == 0) break;
    last = seq;
    if (i % 100 == 99) j.flush();
  }
  j.flush();
  return last;
}

TEST_F(JournalTest, StopRefusesWhenFullUntilASinkMovesOnAndKeepsWhatItNeeds) {
  config_.max_mb = 1;
  Journal &j = open();
  j.set_cursor("mqtt", 0);
  const std::uint64_t last = fill(j, 3000);
  ASSERT_LT(last, 3000u) << "a full journal refuses";
  EXPECT_TRUE(j.stats().full);
  EXPECT_GT(j.stats().refused, 0u);
  EXPECT_EQ(j.oldest(), 1u) << "nothing the sink needs is deleted";
  EXPECT_EQ(j.append(data_event(now_wall())), 0u);

  j.set_cursor("mqtt", 100);
  ASSERT_TRUE(eventually([&] { return !j.stats().full && j.oldest() > 1; }));
  EXPECT_EQ(j.oldest(), 101u) << "only what the sink finished with goes";
  EXPECT_EQ(j.read(100, 5000).size(), last - 100) << "everything after the cursor is kept";
  EXPECT_EQ(j.stats().dropped, 0u);
  EXPECT_GT(j.append(data_event(now_wall())), last);
}

TEST_F(JournalTest, DropOldestDeletesWhatASinkStillNeedsAndCountsIt) {
  config_.max_mb = 1;
  config_.drop_oldest = true;
  Journal &j = open();
  j.set_cursor("mqtt", 0);
  EXPECT_EQ(fill(j, 3000), 3000u) << "never refused";
  ASSERT_TRUE(eventually([&] { return j.stats().records < 1500; }));
  const Journal::Stats s = j.stats();
  EXPECT_FALSE(s.full);
  EXPECT_EQ(s.refused, 0u);
  EXPECT_EQ(s.dropped, 3000u - s.records);
  EXPECT_EQ(j.oldest(), 3000u - s.records + 1);
}

// ---- a disk that fails ----

TEST_F(JournalTest, AFailingDiskKeepsTheGroupRefusesAppendsAndResumesByItself) {
  std::atomic<int> fault{SQLITE_OK};
  config_.fault = [&] { return fault.load(); };
  Journal &j = open();
  ASSERT_EQ(j.append(data_event(now_wall())), 1u);
  ASSERT_TRUE(j.flush());
  fault = SQLITE_FULL;
  ASSERT_EQ(j.append(data_event(now_wall())), 2u);
  EXPECT_FALSE(j.flush(300ms));
  EXPECT_NE(j.stats().error.find("the disk is full"), std::string::npos) << j.stats().error;
  EXPECT_EQ(j.append(data_event(now_wall())), 0u) << "refused while the disk fails";
  EXPECT_EQ(j.stats().refused, 1u);
  j.set_cursor("mqtt", 1);  // state changes wait in memory

  fault = SQLITE_OK;
  ASSERT_TRUE(j.flush());
  EXPECT_EQ(j.stats().error, "");
  EXPECT_EQ(j.read(0, 10).size(), 2u) << "the kept group went in";
  EXPECT_EQ(j.append(data_event(now_wall())), 3u);
  open();
  EXPECT_EQ(state_.cursors["mqtt"], 1u);
}

// A real full disk: a small tmpfs (root only).
TEST_F(JournalTest, ARealFullDiskIsRiddenOut) {
  const std::string mnt = dir_ + "/small";
  fs::create_directories(mnt);
  if (getuid() != 0 || mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=2m") != 0)
    GTEST_SKIP() << "needs root and tmpfs to make a small disk; the fault hook test covers the retry path";
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{mnt};
  {
    std::ofstream filler(mnt + "/filler", std::ios::binary);
    filler << std::string(1200 * 1024, 'x');
  }
  config_.dir = mnt + "/state";
  Journal &j = open();
  std::uint64_t accepted = 0;
  for (int i = 0; i < 5000 && j.stats().error.empty(); ++i) {
    if (j.append(data_event(now_wall(), 1000)) != 0) ++accepted;
    if (i % 50 == 49) j.flush(200ms);
  }
  ASSERT_NE(j.stats().error, "") << "the disk never filled";
  EXPECT_NE(j.stats().error.find("full"), std::string::npos) << j.stats().error;
  EXPECT_EQ(j.append(data_event(now_wall())), 0u);

  fs::remove(mnt + "/filler");
  ASSERT_TRUE(j.flush());
  EXPECT_EQ(j.stats().error, "");
  EXPECT_EQ(j.stats().records, accepted) << "nothing accepted was lost";
  EXPECT_NE(j.append(data_event(now_wall())), 0u);
  journal_.reset();
}

}  // namespace
