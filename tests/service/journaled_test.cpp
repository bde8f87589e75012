// The service core with a journal: DataAcks after the commit and in order,
// refused frames, and what a new Service on the same state directory finds
// (a real Service on 127.0.0.1, port 0, terminals as real UDP sockets).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "journal.h"
#include "service.h"
#include "sim/wire.h"
#include "udp_peer.h"

namespace {

using namespace dtu::svc;
using Bytes = std::vector<std::uint8_t>;

Bytes logon(const std::string &id) { return sim::logon(id, 0x0A000007, 8080, false); }
Bytes data(const std::string &id, const std::string &payload) {
  return sim::user_data(id, Bytes(payload.begin(), payload.end()));
}

using test::Udp;

class JournaledService : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "journaled-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
           "-" + std::to_string(::getpid());
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override {
    stop();
    std::filesystem::remove_all(dir_);
  }
  Config journaled() {
    Config c;
    c.idle_timeout = 0;
    c.state_dir = dir_;
    return c;
  }
  void start(Config c) {
    c.bind = "127.0.0.1";
    c.port = 0;
    {
      std::lock_guard<std::mutex> g(mutex_);
      events_.clear();
      taken_.clear();
    }
    svc_ = std::make_unique<Service>(c);
    svc_->subscribe([this](const Event &e) {
      std::lock_guard<std::mutex> g(mutex_);
      if (e.type == EventType::kWire && !e.inbound && e.text == "data_ack")
        acks_.push_back({e.id, svc_->journal() ? svc_->journal()->committed() : 0});
      events_.push_back(e);
      cv_.notify_all();
    });
    std::string why;
    if (!svc_->start(&why)) {
      svc_.reset();
      FAIL() << why;
    }
    port_ = svc_->port();
    loop_ = std::thread([this] { svc_->run(); });
  }
  // A clean stop: the Service and its journal closed.
  void stop() {
    if (!svc_) return;
    svc_->stop();
    loop_.join();
    svc_.reset();
  }
  std::optional<Event> wait(EventType type, const std::string &id = "", int timeout_ms = 4000) {
    std::unique_lock<std::mutex> g(mutex_);
    std::optional<Event> found;
    cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
      taken_.resize(events_.size());
      for (std::size_t i = 0; i < events_.size(); ++i)
        if (!taken_[i] && events_[i].type == type && (id.empty() || events_[i].id == id)) {
          taken_[i] = true;
          found = events_[i];
          return true;
        }
      return false;
    });
    return found;
  }
  template <typename F>
  auto call(F f) -> decltype(f(std::declval<Service &>())) {
    using R = decltype(f(std::declval<Service &>()));
    if (!svc_) {
      ADD_FAILURE() << "no service";
      if constexpr (!std::is_void_v<R>) return R();
      else return;
    }
    auto p = std::make_shared<std::promise<R>>();
    auto fut = p->get_future();
    svc_->post([p, f](Service &s) mutable {
      if constexpr (std::is_void_v<R>) {
        f(s);
        p->set_value();
      } else {
        p->set_value(f(s));
      }
    });
    return fut.get();
  }
  void log_on(Udp &t, const std::string &id) {
    t.send(logon(id), port_);
    ASSERT_EQ(t.next_code(), 0x81) << id;
    ASSERT_TRUE(wait(EventType::kLogon, id));
  }
  // The data event of the frame just sent.
  Event sent_data(Udp &t, const std::string &id, const std::string &payload) {
    t.send(data(id, payload), port_);
    auto e = wait(EventType::kData, id);
    EXPECT_TRUE(e) << payload;
    return e ? *e : Event{};
  }

  struct Ack {
    std::string id;
    std::uint64_t committed;  // the journal's committed seq as the DataAck went out
  };
  std::string dir_;
  std::unique_ptr<Service> svc_;
  std::uint16_t port_ = 0;
  std::thread loop_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::vector<bool> taken_;
  std::vector<Ack> acks_;
};

// The commit is held back for a while (a long group): every DataAck goes
// out only once its frame's record is committed, and the DataAcks follow
// the order the frames came, across terminals too.
TEST_F(JournaledService, DataAckGoesOutOnceItsFrameIsCommittedInTheFramesOrder) {
  Config c = journaled();
  c.trace = true;
  c.journal_group_ms = 300;
  start(c);
  Udp a, b;
  log_on(a, "13900000001");
  log_on(b, "13900000002");
  const std::pair<Udp *, std::string> frames[] = {
      {&a, "13900000001"}, {&b, "13900000002"}, {&a, "13900000001"}, {&a, "13900000001"}, {&b, "13900000002"}};
  std::vector<Event> sent;
  for (const auto &[udp, id] : frames) sent.push_back(sent_data(*udp, id, "frame " + std::to_string(sent.size())));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(a.next_code(), 0x85);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(b.next_code(), 0x85);
  call([](Service &) {});  // the DataAcks' wire events reach the sinks once their batch is over
  std::lock_guard<std::mutex> g(mutex_);
  ASSERT_EQ(acks_.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NE(sent[i].seq, 0u);
    EXPECT_EQ(acks_[i].id, sent[i].id) << "in the order the frames came";
    EXPECT_GE(acks_[i].committed, sent[i].seq) << "only once the record is on disk";
  }
}

// The disk fails (the journal's fault hook): a frame taken before the
// failure is acknowledged once its group commits after all; one the
// journal refused gets no DataAck, and its terminal's next new frame waits
// behind it, unacknowledged, until the refused one comes again.
class FailingDisk : public JournaledService {
 protected:
  void SetUp() override {
    JournaledService::SetUp();
    Config c = journaled();
    c.journal_fault = [this] { return failing_.load() ? 10 : 0; };  // SQLITE_IOERR
    start(c);
    log_on(t_, id_);
    ASSERT_TRUE(call([](Service &s) { return s.journal()->flush(); }));
  }
  bool failing_now() {
    for (int i = 0; i < 400; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
      if (!svc_->journal()->stats().error.empty()) return true;
    return false;
  }
  std::atomic<bool> failing_{false};
  const std::string id_ = "13900000001";
  Udp t_;
};

TEST_F(FailingDisk, RefusedFrameGetsNoDataAck) {
  failing_ = true;
  const Event taken = sent_data(t_, id_, "before");
  ASSERT_NE(taken.seq, 0u);
  ASSERT_TRUE(failing_now());
  EXPECT_EQ(t_.next_code(300), -1) << "its group is not on disk";
  EXPECT_EQ(sent_data(t_, id_, "refused").seq, 0u);
  failing_ = false;
  EXPECT_EQ(t_.next_code(), 0x85) << "the frame taken before the failure, once committed";
  EXPECT_EQ(t_.next_code(500), -1) << "none for the refused frame";
  EXPECT_GE(svc_->journal()->stats().refused, 1u);
}

TEST_F(FailingDisk, TheHealthRowSaysSoUntilTheDiskTakesWritesAgain) {
  auto row = [this] {
    return call([](Service &s) {
      s.advance_clock(0);  // the once-a-second work, now
      const HealthRow *r = s.health().find("journal");
      return r ? r->reason : std::string("(no row)");
    });
  };
  EXPECT_EQ(row(), "");
  failing_ = true;
  sent_data(t_, id_, "before");
  ASSERT_TRUE(failing_now());
  EXPECT_EQ(row(), "disk-failing");
  failing_ = false;
  ASSERT_EQ(t_.next_code(), 0x85);
  EXPECT_EQ(row(), "");
}

TEST_F(FailingDisk, FramesAfterARefusedOneWaitForItToComeAgain) {
  failing_ = true;
  sent_data(t_, id_, "before");
  ASSERT_TRUE(failing_now());
  ASSERT_EQ(sent_data(t_, id_, "refused").seq, 0u);
  failing_ = false;
  ASSERT_EQ(t_.next_code(), 0x85);
  EXPECT_EQ(sent_data(t_, id_, "newer").seq, 0u) << "a DataAck for it would retire the refused frame";
  EXPECT_EQ(t_.next_code(300), -1);
  EXPECT_NE(sent_data(t_, id_, "refused").seq, 0u) << "sent again, it is kept";
  EXPECT_EQ(t_.next_code(), 0x85);
  EXPECT_NE(sent_data(t_, id_, "newer").seq, 0u) << "and the ones behind it with it";
  EXPECT_EQ(t_.next_code(), 0x85);
}

// A clean stop and a new Service on the same directory: the fleet as it
// was (off line), the queued downlink still queued and sent when its
// terminal is back, handles going on past the old ones.
TEST_F(JournaledService, ANewServiceFindsTheFleetAndTheQueuedDownlinks) {
  start(journaled());
  Terminal before;
  SendResult queued;
  {
    Udp a, b;
    log_on(a, "13900000001");
    sent_data(a, "13900000001", "hello");
    ASSERT_EQ(a.next_code(), 0x85);
    log_on(b, "13900000002");
    b.send(sim::head(0x02, "13900000002"), port_);
    ASSERT_TRUE(wait(EventType::kLogout, "13900000002"));
    queued = call([](Service &s) { return s.send("13900000002", "later", 5, 600); });
    ASSERT_EQ(queued.status, SendStatus::kQueued);
    before = call([](Service &s) { return *s.find("13900000001"); });
  }
  stop();
  start(journaled());
  const std::optional<Terminal> after = call([](Service &s) {
    const Terminal *t = s.find("13900000001");
    return t ? std::optional<Terminal>(*t) : std::nullopt;
  });
  ASSERT_TRUE(after);
  EXPECT_FALSE(after->online);
  EXPECT_EQ(after->first_seen_ms, before.first_seen_ms);
  EXPECT_EQ(after->last_seen_ms, before.last_seen_ms);
  EXPECT_EQ(after->datagrams_in, before.datagrams_in);
  EXPECT_EQ(after->in.data, 1u);
  EXPECT_EQ(after->peer, before.peer);
  const std::optional<DownlinkInfo> down = call([&](Service &s) { return s.downlink(queued.handle); });
  ASSERT_TRUE(down);
  EXPECT_EQ(down->state, DownlinkState::kQueued);
  EXPECT_GT(call([](Service &s) { return s.send("13900000001", "x", 1).handle; }), queued.handle)
      << "handles are never given twice";
  Udp back;
  back.send(logon("13900000002"), port_);
  EXPECT_EQ(back.next_code(), 0x81);
  auto frame = back.receive();
  ASSERT_TRUE(frame);
  EXPECT_EQ(std::string(frame->end() - 5, frame->end()), "later");
  auto sent = wait(EventType::kDownlinkSent, "13900000002");
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->request, queued.handle);
}

// What a centre that died left in its journal: a downlink whose time ran
// out meanwhile ends expired, one that was on the wire is queued again (at
// least once), a request whose caller is gone ends with a timeout, and
// handles go on from where the journal says.
TEST_F(JournaledService, WhatADeadCentreLeftEndsOrIsQueuedAgain) {
  {
    JournalConfig jc;
    jc.dir = dir_;
    JournalState st;
    std::string why;
    int code = 0;
    auto j = Journal::open(jc, &st, &why, &code);
    ASSERT_TRUE(j) << why;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    Terminal t;
    t.id = "13900000007";
    t.first_seen_ms = t.last_seen_ms = now - 5000;
    j->put_terminal(t);
    Terminal stale;
    stale.id = "13900000008";
    stale.first_seen_ms = stale.last_seen_ms = now - 2 * 86400 * 1000ll;  // past fleet_forget
    j->put_terminal(stale);
    j->put_downlink({11, t.id, {'o', 'l', 'd'}, now - 1000, "queued"});
    j->put_downlink({12, t.id, {'w', 'i', 'r', 'e'}, now + 60000, "sent"});
    j->put_request({13, t.id, true, {}});
    j->set_next_handle(40);
    ASSERT_TRUE(j->flush());
  }
  start(journaled());
  auto expired = wait(EventType::kDownlinkExpired, "13900000007");
  ASSERT_TRUE(expired);
  EXPECT_EQ(expired->request, 11u);
  auto timeout = wait(EventType::kTimeout, "13900000007");
  ASSERT_TRUE(timeout);
  EXPECT_EQ(timeout->request, 13u);
  EXPECT_EQ(timeout->reason, "param_read");
  const std::optional<DownlinkInfo> again = call([](Service &s) { return s.downlink(12); });
  ASSERT_TRUE(again);
  EXPECT_EQ(again->state, DownlinkState::kQueued);
  EXPECT_GE(call([](Service &s) { return s.send("13900000007", "x", 1).handle; }), 40u);
  EXPECT_TRUE(call([](Service &s) { return s.find("13900000007") != nullptr; }));
  EXPECT_FALSE(call([](Service &s) { return s.find("13900000008") != nullptr; })) << "silent past fleet_forget";
  // Neither comes back a second time.
  stop();
  start(journaled());
  EXPECT_FALSE(wait(EventType::kDownlinkExpired, "", 300));
  EXPECT_FALSE(wait(EventType::kTimeout, "", 0));
}

// Without a state directory nothing is journaled and the DataAck is the
// library's own, at once, as it always was.
TEST_F(JournaledService, MemoryOnlyHasNoJournalAndAcknowledgesAtOnce) {
  Config c = journaled();
  c.state_dir.clear();
  start(c);
  EXPECT_EQ(svc_->journal(), nullptr);
  Udp t;
  log_on(t, "13900000001");
  EXPECT_EQ(sent_data(t, "13900000001", "x").seq, 0u);
  EXPECT_EQ(t.next_code(), 0x85);
  EXPECT_FALSE(std::filesystem::exists(dir_));
}

}  // namespace
