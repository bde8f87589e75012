// The service core end to end: a real Service on 127.0.0.1 (port 0) on its
// own loop thread, terminals as real UDP sockets, and what comes out as
// events, datagrams and table state.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "dtucentre.h"
#include "json_input.h"
#include "pcap_writer.h"
#include "service.h"
#include "sim/wire.h"
#include "udp_peer.h"

namespace {

using namespace dtu::svc;
using Bytes = std::vector<std::uint8_t>;

// ---- a terminal's side: the simulator's codec, written apart from the library

using sim::head;
Bytes logon(const std::string &id) { return sim::logon(id, 0x0A000007, 8080, false); }  // states 10.0.0.7:8080
Bytes data(const std::string &id, const std::string &payload) {
  return sim::user_data(id, Bytes(payload.begin(), payload.end()));
}
// A reply carrying elements tag|elen|value.
Bytes reply(std::uint8_t code, const std::string &id, const Bytes &elements) {
  return sim::frame_with_body(code, id, elements);
}

using test::Udp;

// ---- a running service -----------------------------------------------------

class ServiceTest : public ::testing::Test {
 protected:
  void start(Config c) {
    c.bind = "127.0.0.1";
    c.port = 0;
    svc_ = std::make_unique<Service>(c);
    for (auto &sink : sinks_) svc_->subscribe(sink);
    svc_->subscribe([this](const Event &e) {
      std::lock_guard<std::mutex> g(mutex_);
      events_.push_back(e);
      cv_.notify_all();
    });
    std::string why;
    ASSERT_TRUE(svc_->start(&why)) << why;
    port_ = svc_->port();
    loop_ = std::thread([this] { svc_->run(); });
  }
  void TearDown() override {
    if (svc_) {
      svc_->stop();
      loop_.join();
    }
  }

  // The first event of `type` (and `id`, when given) not yet taken.
  std::optional<Event> wait(EventType type, const std::string &id = "", int timeout_ms = 4000) {
    std::unique_lock<std::mutex> g(mutex_);
    std::optional<Event> found;
    cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
      if (taken_.size() < events_.size()) taken_.resize(events_.size());
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
  std::size_t count(EventType type, const std::string &id = "") {
    std::lock_guard<std::mutex> g(mutex_);
    std::size_t n = 0;
    for (const Event &e : events_) n += e.type == type && (id.empty() || e.id == id);
    return n;
  }
  // Runs f on the loop thread and gives its result.
  template <typename F>
  auto call(F f) -> decltype(f(std::declval<Service &>())) {
    using R = decltype(f(std::declval<Service &>()));
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
  // Moves the core's clock on and runs its timed work.
  void advance(unsigned ms) {
    call([ms](Service &s) { s.advance_clock(ms); });
  }
  void log_on(Udp &t, const std::string &id) {
    t.send(logon(id), port_);
    ASSERT_EQ(t.next_code(), 0x81) << id;
    ASSERT_TRUE(wait(EventType::kLogon, id));
  }

  std::unique_ptr<Service> svc_;
  std::uint16_t port_ = 0;
  std::thread loop_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::vector<bool> taken_;
  std::vector<std::function<void(const Event &)>> sinks_;  // subscribed before the recorder
};

Config quick() {
  Config c;
  c.idle_timeout = 0;
  c.request_timeout = 1;
  return c;
}

TEST_F(ServiceTest, IdleTerminalIsClosedOnceAndItsSlotFreed) {
  Config c = quick();
  c.idle_timeout = 1;
  start(c);
  Udp quiet, busy;
  log_on(quiet, "13900000001");
  log_on(busy, "13900000002");
  advance(600);
  busy.send(data("13900000002", "x"), port_);  // the busy one talks half way
  ASSERT_TRUE(wait(EventType::kData, "13900000002"));
  advance(600);
  advance(0);
  auto idle = wait(EventType::kIdle, "13900000001", 500);
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->reason, "idle");
  EXPECT_EQ(idle->peer.port, quiet.port());
  EXPECT_EQ(count(EventType::kIdle, "13900000001"), 1u);
  EXPECT_EQ(count(EventType::kIdle, "13900000002"), 0u);
  EXPECT_EQ(call([](Service &) { return get_online_user_amount(); }), 1);
  EXPECT_FALSE(call([](Service &s) { return s.find("13900000001")->online; }));
  EXPECT_EQ(call([](Service &s) { return s.counters().idle_expiries; }), 1u);
  // A frame from it afterwards is not from a terminal on line.
  quiet.send(data("13900000001", "late"), port_);
  EXPECT_EQ(quiet.next_code(), 0x83);
}

TEST_F(ServiceTest, ParameterRequestsAreAnsweredOrTimedOutOneAtATime) {
  start(quick());
  Udp t;
  log_on(t, "13900000001");
  std::vector<ParamResult> results;
  std::mutex m;
  auto done = [&](const ParamResult &r) {
    std::lock_guard<std::mutex> g(m);
    results.push_back(r);
  };
  const auto first = call([&](Service &s) { return s.read_params("13900000001", done); });
  const auto second = call([&](Service &s) { return s.read_params("13900000001", done); });
  ASSERT_EQ(t.next_code(), 0x8B);
  EXPECT_EQ(t.next_code(300), -1) << "the second read waits for the first";
  // tag 7 = 42, tag 1 = "abc", tag 18 = 1234-5-2-2-5
  t.send(reply(0x0B, "13900000001",
               {7, 4, 0, 42, 1, 5, 'a', 'b', 'c', 18, 9, 0x00, 0x04, 0xD2, 0x00, 0x40, 0x18, 0x05}),
         port_);
  auto answer = wait(EventType::kParamRead, "13900000001");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->request, first);
  ASSERT_EQ(answer->params.size(), 3u);
  EXPECT_EQ(format_param(answer->params[0]), "42");
  EXPECT_EQ(format_param(answer->params[1]), "abc");
  EXPECT_EQ(format_param(answer->params[2]), "1234-5-2-2-5");
  ASSERT_EQ(t.next_code(), 0x8B) << "the second read goes out once the first is answered";
  // The loop's own clock runs on too, so leave it room: 900 ms is not late,
  // 1000 ms is.
  advance(900);
  EXPECT_EQ(count(EventType::kTimeout), 0u) << "not yet late";
  advance(100);
  auto timeout = wait(EventType::kTimeout, "13900000001", 0);
  ASSERT_TRUE(timeout);
  EXPECT_EQ(timeout->request, second);
  EXPECT_EQ(timeout->reason, "param_read");

  // A write: checked, sent, confirmed.
  ParamValue v;
  std::string why;
  ASSERT_TRUE(parse_assignment("7=010", &v, &why)) << why;
  const auto write = call([&](Service &s) { return s.write_params("13900000001", {v}, done); });
  auto frame = t.receive();
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, reply(0x8D, "13900000001", {7, 4, 0, 10})) << "tag 7 = 10";
  t.send(head(0x0D, "13900000001"), port_);
  auto set = wait(EventType::kParamSet, "13900000001");
  ASSERT_TRUE(set);
  EXPECT_EQ(set->request, write);
  // A terminal off line ends a request at once.
  call([&](Service &s) { return s.read_params("13900000099", done); });
  std::lock_guard<std::mutex> g(m);
  ASSERT_EQ(results.size(), 4u);
  EXPECT_TRUE(results[0].ok);
  EXPECT_STREQ(result_name(results[1].error), "timeout");
  EXPECT_TRUE(results[2].ok);
  EXPECT_STREQ(result_name(results[3].error), "offline");
}

TEST_F(ServiceTest, ParameterQueueIsBoundedAndCancelledRequestsLeaveIt) {
  Config c = quick();
  c.request_timeout = 3;
  c.param_queue = 3;
  start(c);
  Udp t;
  const std::string id = "13900000001";
  log_on(t, id);
  std::vector<ParamResult> results;
  std::mutex m;
  auto done = [&](const ParamResult &r) {
    std::lock_guard<std::mutex> g(m);
    results.push_back(r);
  };
  auto read = [&] { return call([&](Service &s) { return s.read_params(id, done); }); };
  const auto on_wire = read(), queued = read(), last = read();
  read();
  {
    std::lock_guard<std::mutex> g(m);
    ASSERT_EQ(results.size(), 1u) << "the fourth is refused at once";
    EXPECT_STREQ(result_name(results[0].error), "queue-full");
  }
  ASSERT_EQ(t.next_code(), 0x8B);
  EXPECT_TRUE(call([&](Service &s) { return s.cancel(queued); }));
  EXPECT_TRUE(call([&](Service &s) { return s.cancel(on_wire); }));
  EXPECT_FALSE(call([&](Service &s) { return s.cancel(last + 1000); }));
  auto refused = wait(EventType::kError, id);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->reason, "queue-full");
  auto cancelled = wait(EventType::kError, id);
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->reason, "cancelled");
  EXPECT_EQ(cancelled->request, queued);
  // The one on the wire keeps its place: the terminal's answer is still its
  // own, and only then does the next one go out.
  EXPECT_EQ(t.next_code(300), -1);
  t.send(reply(0x0B, id, {7, 4, 0, 42}), port_);
  auto answer = wait(EventType::kParamRead, id);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->request, on_wire);
  ASSERT_EQ(t.next_code(), 0x8B) << "the last read goes out";
  t.send(reply(0x0B, id, {7, 4, 0, 43}), port_);
  ASSERT_TRUE(wait(EventType::kParamRead, id));
  call([](Service &) {});  // the callback runs just after the event
  std::lock_guard<std::mutex> g(m);
  ASSERT_EQ(results.size(), 2u) << "no callback for a cancelled request";
  EXPECT_EQ(results[1].request, last);
}

TEST_F(ServiceTest, DownlinksWaitForTheTerminalExpireOrOverflow) {
  Config c = quick();
  c.downlink_queue = 2;
  start(c);
  {
    Udp earlier;  // heard once, gone now
    log_on(earlier, "13900000001");
    earlier.send(head(0x02, "13900000001"), port_);
    ASSERT_TRUE(wait(EventType::kLogout, "13900000001"));
  }
  struct Case {
    const char *payload;
    unsigned expiry_s;
    SendStatus status;
  };
  const Case cases[] = {
      {"first", 0, SendStatus::kQueued},
      {"short-lived", 1, SendStatus::kQueued},
      {"third", 0, SendStatus::kDropped},
  };
  std::vector<SendResult> results;
  for (const Case &k : cases) {
    results.push_back(call([&](Service &s) {
      return s.send("13900000001", k.payload, std::strlen(k.payload), k.expiry_s);
    }));
    EXPECT_EQ(results.back().status, k.status) << k.payload;
  }
  auto dropped = wait(EventType::kDownlinkDropped, "13900000001");
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->reason, "queue-full");
  EXPECT_EQ(dropped->request, results[2].handle);
  advance(1000);
  auto expired = wait(EventType::kDownlinkExpired, "13900000001", 0);
  ASSERT_TRUE(expired);
  EXPECT_EQ(expired->request, results[1].handle);

  // The terminal is heard: the message still waiting goes out behind the LogonAck.
  Udp t;
  t.send(logon("13900000001"), port_);
  EXPECT_EQ(t.next_code(), 0x81);
  auto down = t.receive();
  ASSERT_TRUE(down);
  EXPECT_EQ((*down)[1], 0x89);
  EXPECT_EQ(std::string(down->end() - 5, down->end()), "first");
  auto sent = wait(EventType::kDownlinkSent, "13900000001");
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->request, results[0].handle);
  // On line, but "first" awaits its DataReply: one on its way at a time.
  EXPECT_EQ(call([](Service &s) { return s.send("13900000001", "now", 3).status; }), SendStatus::kQueued);
  EXPECT_EQ(t.next_code(300), -1);
  t.send(head(0x05, "13900000001"), port_);
  auto delivered = wait(EventType::kDownlinkDelivered, "13900000001");
  ASSERT_TRUE(delivered);
  EXPECT_EQ(delivered->request, results[0].handle);
  EXPECT_EQ(t.next_code(), 0x89) << "the next goes once the first is answered";
  EXPECT_STREQ(result_name(call([](Service &s) { return s.send("13900000001", "", 0).reason; })), "empty");
}

// A downlink to a terminal on line: written, then delivered by its
// DataReply, or written again and finally unconfirmed when none comes; with
// confirmation off, sent is the end.
TEST_F(ServiceTest, DownlinksAreConfirmedByDataReplyOrEndUnconfirmed) {
  struct Case {
    const char *name;
    bool confirm, replies;
    int writes;                 // UserDataDown frames the terminal sees
    const char *final_state;
  };
  const Case cases[] = {
      {"answered", true, true, 1, "delivered"},
      {"silent", true, false, 2, "unconfirmed"},
      {"unconfirmed mode", false, false, 1, "sent"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    Config c = quick();
    c.downlink_confirm = k.confirm;
    c.downlink_confirm_timeout = 1;
    c.downlink_retries = 1;
    start(c);
    Udp t;
    log_on(t, "13900000001");
    const SendResult r = call([](Service &s) { return s.send("13900000001", "hi", 2); });
    ASSERT_EQ(r.status, SendStatus::kSent);
    int writes = 0;
    for (int code; (code = t.next_code()) != -1;) {
      EXPECT_EQ(code, 0x89);
      ++writes;
      if (k.replies) t.send(head(0x05, "13900000001"), port_);
      if (writes == k.writes) break;
      advance(1000);  // no DataReply in time: written again
    }
    EXPECT_EQ(writes, k.writes);
    if (k.confirm) {
      if (!k.replies) advance(1000);  // the last try runs out
      auto end = wait(k.replies ? EventType::kDownlinkDelivered : EventType::kDownlinkUnconfirmed, "13900000001");
      ASSERT_TRUE(end);
      EXPECT_EQ(end->request, r.handle);
      if (!k.replies) EXPECT_EQ(end->reason, "no-reply");
    } else {
      t.send(head(0x05, "13900000001"), port_);  // a late DataReply changes nothing
      ASSERT_TRUE(wait(EventType::kDataReply, "13900000001"));
      advance(2000);
      EXPECT_EQ(t.next_code(100), -1) << "never written again";
      EXPECT_EQ(count(EventType::kDownlinkDelivered) + count(EventType::kDownlinkUnconfirmed), 0u);
    }
    const auto info = call([&](Service &s) { return s.downlink(r.handle); });
    ASSERT_TRUE(info);
    EXPECT_STREQ(downlink_state_name(info->state), k.final_state);
    EXPECT_EQ(info->sends, static_cast<unsigned>(k.writes));
    TearDown();
    svc_.reset();
    std::lock_guard<std::mutex> g(mutex_);
    events_.clear();
    taken_.clear();
  }
}

TEST_F(ServiceTest, DownlinkAwaitingItsReplyEndsWhenTheTerminalLeaves) {
  start(quick());
  Udp t;
  log_on(t, "13900000001");
  const SendResult r = call([](Service &s) { return s.send("13900000001", "hi", 2); });
  ASSERT_EQ(t.next_code(), 0x89);
  t.send(head(0x02, "13900000001"), port_);
  auto end = wait(EventType::kDownlinkUnconfirmed, "13900000001");
  ASSERT_TRUE(end);
  EXPECT_EQ(end->request, r.handle);
  EXPECT_EQ(end->reason, "offline");
}

// Only IDs the fleet state holds get downlinks (or one the allow-list names
// whole); a refused one leaves nothing behind.
TEST_F(ServiceTest, DownlinksToUnknownIdsAreRefusedWithoutAnEntry) {
  const std::string path = ::testing::TempDir() + "allow-down.txt";
  std::ofstream(path) << "13900000042\n139*\n";
  Config c = quick();
  c.allow_list = path;
  start(c);
  // Parameter requests follow the same rule: the whole ID named gets as
  // far as the core (off line), a prefix does not.
  for (const auto &[id, want] : {std::pair{"13900000099", CommandResult::kUnknownId},
                                 std::pair{"13900000042", CommandResult::kOffline}}) {
    CommandResult ended = CommandResult::kOk;
    const CommandResult r = call([&](Service &s) {
      return read_command(s, id, [&](const ParamResult &p) { ended = request_result(p); }).result;
    });
    EXPECT_EQ(r == CommandResult::kOk ? ended : r, want) << id;
  }
  struct Case {
    const char *id;
    SendStatus status;
    const char *reason;
  };
  for (const Case &k : {Case{"13900000099", SendStatus::kRejected, "unknown-id"},  // a prefix is not enough
                        Case{"13900000042", SendStatus::kQueued, "ok"}}) {
    const SendResult r = call([&](Service &s) { return s.send(k.id, "x", 1); });
    EXPECT_EQ(r.status, k.status) << k.id;
    EXPECT_STREQ(result_name(r.reason), k.reason) << k.id;
    EXPECT_EQ(call([&](Service &s) { return s.find(k.id) != nullptr; }), k.status == SendStatus::kQueued) << k.id;
  }
  EXPECT_EQ(count(EventType::kDownlinkQueued), 1u);
  EXPECT_EQ(call([](Service &s) { return s.counters().terminals_known; }), 1u);
}

// Off-line terminals with nothing waiting are forgotten after fleet_forget,
// and past fleet_max the longest silent go first; terminals on line or with
// downlinks waiting stay.
TEST_F(ServiceTest, FleetForgetsSilentTerminalsAndKeepsToItsCap) {
  Config c = quick();
  c.fleet_max = 3;
  c.fleet_forget = 2;
  start(c);
  Udp online, waiting;
  log_on(online, "13900000001");
  log_on(waiting, "13900000002");
  EXPECT_TRUE(call([](Service &s) { return s.close("13900000002", false); }));
  EXPECT_EQ(call([](Service &s) { return s.send("13900000002", "x", 1).status; }), SendStatus::kQueued);
  for (const char *id : {"13900000011", "13900000012", "13900000013"}) {
    Udp gone;
    log_on(gone, id);
    gone.send(head(0x02, id), port_);
    ASSERT_TRUE(wait(EventType::kLogout, id));
  }
  auto known = [&] {
    return call([](Service &s) {
      std::vector<std::string> ids;
      for (const Terminal &t : s.terminals()) ids.push_back(t.id);
      return ids;
    });
  };
  EXPECT_EQ(known(), (std::vector<std::string>{"13900000001", "13900000002", "13900000013"}))
      << "the longest silent resting ones went first";
  EXPECT_EQ(call([](Service &s) { return s.counters().terminals_forgotten; }), 2u);
  advance(1900);
  EXPECT_EQ(known().size(), 3u) << "not silent long enough yet";
  advance(100);
  EXPECT_EQ(known(), (std::vector<std::string>{"13900000001", "13900000002"})) << "silent too long";
  EXPECT_EQ(call([](Service &s) { return s.counters().terminals_known; }), 2u);
}

TEST_F(ServiceTest, OperatorClosesFreeSlotsAndTellTheTerminalWhenAsked) {
  start(quick());
  Udp told, untold;
  log_on(told, "13900000001");
  log_on(untold, "13900000002");
  EXPECT_TRUE(call([](Service &s) { return s.close("13900000001", true); }));
  EXPECT_EQ(told.next_code(), 0x82) << "LogoutCmd";
  EXPECT_EQ(call([](Service &s) { return s.close_all(false); }), 1);
  EXPECT_EQ(untold.next_code(300), -1);
  EXPECT_FALSE(call([](Service &s) { return s.close("13900000001", true); })) << "already off line";
  EXPECT_EQ(count(EventType::kClosed), 2u);
  EXPECT_EQ(call([](Service &) { return get_online_user_amount(); }), 0);
}

// Sinks run once the operation that reported the event is over: one that
// calls back into the service sees the table with the frame applied, and
// what its own calls report comes after.
TEST_F(ServiceTest, SinksThatCallBackSeeASettledTable) {
  const std::string id = "13900000001";
  struct Seen {
    EventType type;
    bool inbound;
    bool online;
    std::uint16_t peer_port, event_port;
    std::size_t known;
  };
  std::vector<Seen> seen;  // loop thread only until the service stops
  SendResult sent;
  bool closed = false;
  sinks_.push_back([&](const Event &e) {
    if (e.id != id) return;
    Service &s = *svc_;
    const Terminal *t = s.find(id);
    seen.push_back({e.type, e.inbound, t && t->online, t ? t->peer.port : std::uint16_t(0), e.peer.port,
                    s.terminals().size()});
    if (e.type == EventType::kLogon && sent.handle == 0) sent = s.send(id, "hi", 2);
    if (e.type == EventType::kData) {
      closed = s.close(id, false);
      seen.push_back({EventType::kClosed, false, s.find(id)->online, 0, 0, s.terminals().size()});
    }
  });
  Config c = quick();
  c.trace = true;
  start(c);
  Udp a, b;
  log_on(a, id);
  EXPECT_EQ(a.next_code(), 0x89) << "the sink's downlink goes out";
  b.send(logon(id), port_);  // the same ID from another address
  ASSERT_EQ(b.next_code(), 0x81);
  ASSERT_TRUE(wait(EventType::kDuplicateLogon, id));
  b.send(data(id, "x"), port_);
  ASSERT_TRUE(wait(EventType::kClosed, id));
  svc_->stop();
  loop_.join();

  EXPECT_EQ(sent.status, SendStatus::kSent);
  EXPECT_TRUE(closed);
  auto first = [&](EventType type, bool inbound) {
    for (std::size_t i = 0; i < seen.size(); ++i)
      if (seen[i].type == type && seen[i].inbound == inbound) return i;
    return seen.size();
  };
  const std::size_t wire_in = first(EventType::kWire, true);
  ASSERT_LT(wire_in, seen.size());
  EXPECT_TRUE(seen[wire_in].online) << "the logon was applied before its datagram was reported";
  EXPECT_EQ(seen[wire_in].known, 1u);
  const std::size_t dup = first(EventType::kDuplicateLogon, false);
  ASSERT_LT(dup, seen.size());
  EXPECT_EQ(seen[dup].peer_port, b.port()) << "the table follows the new address already";
  EXPECT_LT(first(EventType::kLogon, false), first(EventType::kDownlinkSent, false))
      << "what the sink's send reported comes after the event it ran in";
  const std::size_t after_close = first(EventType::kClosed, false);
  ASSERT_LT(after_close, seen.size());
  EXPECT_FALSE(seen[after_close].online) << "close() from a sink takes effect at once";
  svc_.reset();
}

TEST_F(ServiceTest, StopEndsQueuedMessagesAndPendingRequests) {
  start(quick());
  Udp t;
  log_on(t, "13900000001");
  std::promise<ParamResult> ended;
  Udp away;
  log_on(away, "13900000077");
  EXPECT_TRUE(call([](Service &s) { return s.close("13900000077", false); }));
  call([&](Service &s) {
    s.send("13900000077", "later", 5);
    s.read_params("13900000001", [&](const ParamResult &r) { ended.set_value(r); });
  });
  svc_->stop();
  loop_.join();
  svc_.reset();
  EXPECT_STREQ(result_name(ended.get_future().get().error), "stopped");
  auto dropped = wait(EventType::kDownlinkDropped, "13900000077", 0);
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->reason, "centre-stopped");
  std::lock_guard<std::mutex> g(mutex_);
  EXPECT_EQ(events_.back().type, EventType::kStop);
}

// A spoofer sends frames with a terminal's ID from another address.
TEST_F(ServiceTest, LogonOnlyPolicyRefusesFramesFromAnotherAddress) {
  for (const char *policy : {"follow", "logon-only"}) {
    SCOPED_TRACE(policy);
    Config c = quick();
    ASSERT_TRUE(policy_from_name(policy, &c.address_policy));
    start(c);
    Udp genuine, spoofer;
    log_on(genuine, "13900000001");
    spoofer.send(data("13900000001", "forged"), port_);
    if (std::string(policy) == "follow") {
      EXPECT_EQ(spoofer.next_code(), 0x85);
      auto moved = wait(EventType::kAddrChange, "13900000001");
      ASSERT_TRUE(moved);
      EXPECT_EQ(moved->old_peer.port, genuine.port());
      EXPECT_EQ(moved->peer.port, spoofer.port());
    } else {
      EXPECT_EQ(spoofer.next_code(), 0x83) << "told to log on";
      auto refused = wait(EventType::kRejected);
      ASSERT_TRUE(refused);
      EXPECT_EQ(refused->reason, "address");
      EXPECT_EQ(refused->id, "13900000001");
      EXPECT_EQ(refused->peer.port, spoofer.port());
      EXPECT_EQ(count(EventType::kData), 0u);
      spoofer.send(head(0x02, "13900000001"), port_);  // a forged logout
      EXPECT_EQ(spoofer.next_code(), 0x83);
      // The genuine terminal is untouched: on line, acknowledged at its address.
      genuine.send(data("13900000001", "real"), port_);
      EXPECT_EQ(genuine.next_code(), 0x85);
      auto real = wait(EventType::kData, "13900000001");
      ASSERT_TRUE(real);
      EXPECT_EQ(std::string(real->data.begin(), real->data.end()), "real");
      EXPECT_EQ(call([](Service &s) { return s.find("13900000001")->peer.port; }), genuine.port());
      // A logon moves it: the new address is taken.
      log_on(spoofer, "13900000001");
      EXPECT_EQ(call([](Service &s) { return s.find("13900000001")->peer.port; }), spoofer.port());
      EXPECT_EQ(count(EventType::kDuplicateLogon), 1u);
    }
    TearDown();
    svc_.reset();
    std::lock_guard<std::mutex> g(mutex_);
    events_.clear();
    taken_.clear();
  }
}

// Under logon-only, no frame from another address is a sign of life: the
// silent genuine terminal goes idle on time while a spoofer sends every
// kind of frame in its name, each refused and answered NotLoggedOn.
TEST_F(ServiceTest, LogonOnlyForgeriesAreNoSignOfLife) {
  Config c = quick();
  c.address_policy = AddressPolicy::kLogonOnly;
  c.idle_timeout = 2;
  start(c);
  Udp genuine, spoofer;
  log_on(genuine, "13900000001");
  struct Case {
    const char *kind;
    Bytes frame;
  };
  const Case forged[] = {
      {"id_report", head(0x13, "13900000001")},
      {"invalid_cmd", head(0x04, "13900000001")},
      {"data_reply", head(0x05, "13900000001")},
      {"param_read_reply", reply(0x0B, "13900000001", {7, 4, 0, 42})},
      {"user_data", data("13900000001", "forged")},
  };
  advance(1500);
  std::size_t sent = 0;
  for (const Case &k : forged) {
    spoofer.send(k.frame, port_);
    EXPECT_EQ(spoofer.next_code(), 0x83) << k.kind;
    ++sent;
  }
  advance(600);  // 2.1 s after the genuine logon, 0.6 s after the forgeries
  ASSERT_TRUE(wait(EventType::kIdle, "13900000001", 0)) << "still on line after " << sent << " forgeries";
  EXPECT_EQ(call([](Service &s) { return s.counters().rejected.at("address"); }), sent);
  EXPECT_EQ(count(EventType::kIdReport) + count(EventType::kInvalidFrame) + count(EventType::kDataReply), 0u);
}

TEST_F(ServiceTest, AllowListRefusesOtherIds) {
  const std::string path = ::testing::TempDir() + "allow.txt";
  std::ofstream(path) << "# fleet A\n13900000001\nABC*   # the ABC range\n";
  Config c = quick();
  c.allow_list = path;
  start(c);
  struct Case {
    const char *id;
    bool allowed;
  };
  for (const Case &k : {Case{"13900000001", true}, Case{"ABC00000042", true}, Case{"13900000002", false},
                        Case{"AB", false}}) {
    Udp t;
    t.send(logon(k.id), port_);
    EXPECT_EQ(t.next_code(k.allowed ? 3000 : 300), k.allowed ? 0x81 : -1) << k.id;
    if (!k.allowed) {
      auto refused = wait(EventType::kRejected, k.id);
      ASSERT_TRUE(refused) << k.id;
      EXPECT_EQ(refused->reason, "not-allowed");
      t.send(data(k.id, "x"), port_);
      EXPECT_EQ(t.next_code(), 0x83) << "nothing was stored for " << k.id;
    }
  }
  EXPECT_EQ(call([](Service &) { return get_online_user_amount(); }), 2);
}

TEST_F(ServiceTest, RejectedDatagramsNameSourceLengthAndBytes) {
  Config c = quick();
  c.trace = true;
  start(c);
  Bytes bad_mark = head(0x09, "13900000001");
  bad_mark[0] = 0x7A;
  Bytes bad_logon = head(0x01, "13900000001", 20);
  struct Case {
    Bytes datagram;
    const char *reason;
    const char *traced_kind;  // what the library found in the head
    const char *traced_id;
  };
  const Case cases[] = {
      {{0x7B, 0x01, 0x1B, 0x5B, 0x32}, "short", "unknown", ""},
      {bad_mark, "bad-frame", "unknown", ""},
      {bad_logon, "bad-logon", "logon", "13900000001"},
      {Bytes(1100, 0x41), "too-large", "unknown", ""},
  };
  Udp t;
  for (const Case &k : cases) {
    t.send(k.datagram, port_);
    auto e = wait(EventType::kRejected);
    ASSERT_TRUE(e) << k.reason;
    EXPECT_EQ(e->reason, k.reason);
    EXPECT_EQ(e->peer.addr, 0x7F000001u);
    EXPECT_EQ(e->peer.port, t.port());
    EXPECT_EQ(e->length, k.datagram.size());
    const std::size_t shown = std::min<std::size_t>(k.datagram.size(), 32);
    EXPECT_EQ(hex_bytes(e->data.data(), e->data.size()), hex_bytes(k.datagram.data(), shown));
  }
  // The trace saw each of them come in, with its real length.
  for (const Case &k : cases) {
    auto w = wait(EventType::kWire);
    ASSERT_TRUE(w);
    EXPECT_TRUE(w->inbound);
    EXPECT_EQ(w->length, k.datagram.size());
    EXPECT_EQ(w->peer.port, t.port());
    EXPECT_EQ(w->text, k.traced_kind) << k.reason;
    EXPECT_EQ(w->id, k.traced_id) << k.reason;
  }
  auto rejected = call([](Service &s) { return s.counters().rejected; });
  EXPECT_EQ(rejected["short"], 1u);
  EXPECT_EQ(rejected["too-large"], 1u);
}

// Frames in and out are named, attributed and counted by the code and ID
// the library found in their heads.
TEST_F(ServiceTest, TracedFramesCarryTheirKindAndTerminal) {
  Config c = quick();
  c.trace = true;
  start(c);
  Udp t;
  log_on(t, "13900000001");
  t.send(data("13900000001", "hello"), port_);
  EXPECT_EQ(t.next_code(), 0x85);
  ASSERT_TRUE(wait(EventType::kData, "13900000001"));
  const std::pair<bool, const char *> want[] = {
      {true, "logon"}, {false, "logon_ack"}, {true, "user_data"}, {false, "data_ack"}};
  for (const auto &[inbound, kind] : want) {
    auto w = wait(EventType::kWire);
    ASSERT_TRUE(w) << kind;
    EXPECT_EQ(w->inbound, inbound) << kind;
    EXPECT_EQ(w->text, kind);
    EXPECT_EQ(w->id, "13900000001") << kind;
  }
  const auto term = call([](Service &s) { return *s.find("13900000001"); });
  EXPECT_EQ(term.datagrams_out, 2u);
  EXPECT_EQ(term.out.acks, 2u);
  ASSERT_EQ(term.recent.size(), 4u);
  EXPECT_STREQ(term.recent[1].kind, "logon_ack");
  EXPECT_STREQ(term.recent[3].kind, "data_ack");
}

TEST_F(ServiceTest, CaptureFileHoldsEveryDatagramInAndOut) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  const std::string path = ::testing::TempDir() + "service_test.pcap";
  std::remove(path.c_str());
  Config c = quick();
  c.pcap = path;
  start(c);
  Udp t;
  log_on(t, "13900000001");
  t.send(data("13900000001", "hello"), port_);
  EXPECT_EQ(t.next_code(), 0x85);
  t.send({1, 2, 3}, port_);  // short, still captured
  ASSERT_TRUE(wait(EventType::kRejected));
  const auto counters = call([](Service &s) { return s.counters(); });
  svc_->stop();
  loop_.join();
  svc_.reset();

  const std::string cmd = "tshark -r " + path + " -T fields -e ip.src -e udp.srcport -e ip.dst -e udp.dstport -e udp.length 2>/dev/null";
  std::FILE *p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::vector<std::string> lines;
  char line[256];
  while (std::fgets(line, sizeof line, p)) lines.emplace_back(line);
  ASSERT_EQ(::pclose(p), 0) << (lines.empty() ? "" : lines[0]);
  ASSERT_EQ(lines.size(), counters.datagrams_in + counters.datagrams_out);
  ASSERT_EQ(lines.size(), 5u);  // logon, ack, data, ack, short
  const std::string from = "127.0.0.1\t" + std::to_string(t.port()) + "\t127.0.0.1\t" + std::to_string(port_);
  const std::string to = "127.0.0.1\t" + std::to_string(port_) + "\t127.0.0.1\t" + std::to_string(t.port());
  EXPECT_EQ(lines[0], from + "\t30\n");
  EXPECT_EQ(lines[1], to + "\t24\n");
  EXPECT_EQ(lines[2], from + "\t29\n");
  EXPECT_EQ(lines[4], from + "\t11\n");
}

TEST(PcapWriter, RotatesBySizeKeepingTheNewestFiles) {
  const std::string path = ::testing::TempDir() + "rotate.pcap";
  for (const char *s : {"", ".1", ".2", ".3"}) std::remove((path + s).c_str());
  PcapWriter w;
  std::string why;
  ASSERT_TRUE(w.open(path, 2000, 2, &why)) << why;
  const Bytes payload(500, 0x41);
  timeval now{};
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(w.write(now, 0x7F000001, 1, 0x7F000001, 2, payload.data(), payload.size(), payload.size(), &why))
        << why;
  w.close();
  for (const char *s : {"", ".1", ".2"}) EXPECT_TRUE(std::ifstream(path + s).good()) << s;
  EXPECT_FALSE(std::ifstream(path + ".3").good());
}

TEST_F(ServiceTest, WorkPostedFromOtherThreadsRunsOnTheLoopInOrder) {
  start(quick());
  std::vector<int> seen;  // touched on the loop thread only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 250; ++i) svc_->post([&seen, t, i](Service &) { seen.push_back(t * 1000 + i); });
    });
  for (auto &th : threads) th.join();
  const auto snapshot = call([&](Service &) { return seen; });
  ASSERT_EQ(snapshot.size(), 1000u);
  std::vector<int> last(4, -1);
  for (int v : snapshot) {
    EXPECT_GT(v % 1000, last[v / 1000]) << "each thread's work in its order";
    last[v / 1000] = v % 1000;
  }
}

TEST(ServiceStart, BannerInUtf8AndBindErrorsWithTheSystemsText) {
  Udp taken;
  Config c;
  c.port = taken.port();
  {
    Service busy(c);
    std::string why;
    EXPECT_FALSE(busy.start(&why));
    EXPECT_NE(why.find("Address already in use"), std::string::npos) << why;
  }
  c.port = 0;
  Service svc(c);
  std::vector<Event> seen;
  svc.subscribe([&](const Event &e) { seen.push_back(e); });
  std::string why;
  ASSERT_TRUE(svc.start(&why)) << why;
  svc.stop();
  EXPECT_EQ(svc.run(), 0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].type, EventType::kStart);
  EXPECT_NE(seen[0].text.find("\xE7\xAB\xAF\xE5\x8F\xA3" + std::to_string(svc.port())), std::string::npos)
      << "'port' in UTF-8, then the number: " << seen[0].text;
  EXPECT_EQ(seen[1].type, EventType::kStop);
}

// ---- the parameter catalogue ---------------------------------------------

TEST(ParamCatalogue, ParsesDecimalValuesWithinTheirLimits) {
  struct Case {
    const char *item;
    const char *shown;  // nullptr: refused
  };
  const Case cases[] = {
      {"7=010", "10"},                         // decimal, never octal
      {"7=65535", "65535"},
      {"7=65536", nullptr},
      {"13=4294967295", "4294967295"},
      {"13=4294967296", nullptr},
      {"13=18446744073709551617", nullptr},     // past 64 bits
      {"11=-1", nullptr},
      {"11=+1", nullptr},
      {"11=", nullptr},
      {"11=0x1", nullptr},
      {"4294967297=abc", nullptr},              // the tag overflows
      {"+1=ab", nullptr},
      {"1=abcdefgh", "abcdefgh"},
      {"1=abcdefghi", nullptr},
      {"2=with spaces", "with spaces"},
      {"6=1234567890", nullptr},                // exactly 11
      {"6=12345678901", "12345678901"},
      {"26=1", "1"},
      {"27=1", nullptr},
      {"18=1234-5-2-2-5", "1234-5-2-2-5"},
      {"18=16777215-8-1-0-1", "16777215-8-1-0-1"},
      {"18=16777216-8-1-0-1", nullptr},         // N1 past 24 bits
      {"18=99999999999-5-1-0-1", nullptr},
      {"18=1-9-1-0-1", nullptr},
      {"18=1-8-3-0-1", nullptr},
      {"18=1-8-1-3-1", nullptr},
      {"18=1-8-1-0-6", nullptr},
      {"18=1-8-1-0", nullptr},
      {"18=1-8-1-0-1-", nullptr},
      {"18=1-8-1-0-1x", nullptr},
      {"novalue", nullptr},
  };
  for (const Case &k : cases) {
    ParamValue v;
    std::string why;
    const bool ok = parse_assignment(k.item, &v, &why);
    EXPECT_EQ(ok, k.shown != nullptr) << k.item << ": " << why;
    if (ok && k.shown) EXPECT_EQ(format_param(v), k.shown) << k.item;
    if (!ok) EXPECT_FALSE(why.empty()) << k.item;
  }
}

TEST(ParamCatalogue, ValuesTravelInTheLibraryForm) {
  ParamValue v;
  ASSERT_TRUE(parse_assignment("13=16909060", &v, nullptr));
  int len = 0;
  EXPECT_EQ(param_bytes(v, &len), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(len, 4);
  ASSERT_TRUE(parse_assignment("18=1-5-1-0-1", &v, nullptr));
  const Bytes composite = param_bytes(v, &len);
  EXPECT_EQ(len, 9);
  EXPECT_EQ(composite.back(), 0) << "read by the library to its NUL";
  const std::uint8_t two[] = {0x12, 0x34};
  ASSERT_TRUE(param_from_library(7, two, 2, &v));
  EXPECT_EQ(v.number, 0x1234u);
  EXPECT_FALSE(param_from_library(27, two, 2, &v));
}

TEST(AllowList, EntriesArePrefixesOrWholeIds) {
  AllowList a;
  std::string why;
  ASSERT_TRUE(a.parse("139*\n  ABC \n# comment\n\n", &why)) << why;
  EXPECT_TRUE(a.allows("13900000001"));
  EXPECT_TRUE(a.allows("ABC"));
  EXPECT_FALSE(a.allows("ABCD"));
  EXPECT_FALSE(a.allows("13"));
  EXPECT_FALSE(a.parse("123456789012\n", &why));
  EXPECT_NE(why.find("line 1"), std::string::npos);
}

// The texts an operator reads when a value is refused: each names the tag
// once (the console shows them as they are, HTTP and MQTT add nothing that
// repeats it).
TEST(ParamCatalogue, RefusalsNameTheTagOnce) {
  struct Case {
    const char *item, *text;
  } cases[] = {
      {"7=70000", "tag 7 takes a decimal number from 0 to 65535"},
      {"7=x", "tag 7 takes a decimal number from 0 to 65535"},
      {"5=123456789", "tag 5 takes at most 8 characters"},
      {"6=short", "tag 6 takes exactly 11 characters"},
      {"18=1-2", "tag 18 takes N1-N2-N3-N4-N5: decimal numbers with N1 0-16777215, N2 5-8, N3 1-2, N4 0-2, N5 1-5"},
      {"99=1", "unknown parameter tag 99"},
      {"999=1", "unknown parameter tag 999"},
      {"x=1", "a tag is a decimal number, got \"x\""},
  };
  for (const Case &k : cases) {
    ParamValue v;
    std::string why;
    EXPECT_FALSE(parse_assignment(k.item, &v, &why)) << k.item;
    EXPECT_EQ(why, k.text) << k.item;
  }
}

// JSON from outside: refused past its size or nesting, whatever the
// brackets inside strings say; the limits themselves are allowed.
TEST(JsonInput, BoundsSizeAndDepth) {
  auto nest = [](int n) {
    const auto k = static_cast<std::size_t>(n);
    return std::string(k, '[') + std::string(k, ']');
  };
  struct Case {
    std::string text;
    const char *error;  // nullptr: parsed
  } cases[] = {
      {nest(kJsonMaxDepth), nullptr},
      {nest(kJsonMaxDepth + 1), "nested deeper than 16 levels"},
      {nest(30000), "nested deeper than 16 levels"},
      {nest(100000), "larger than 65536 bytes"},
      {"{\"a\":\"" + std::string(1000, '[') + "\\\"[\"}", nullptr},  // brackets in a string do not count
      {"\"" + std::string(kJsonMaxBytes - 2, 'x') + "\"", nullptr},
      {"\"" + std::string(kJsonMaxBytes - 1, 'x') + "\"", "larger than 65536 bytes"},
      {"{\"a\":", "not valid JSON"},
      {"", "not valid JSON"},
  };
  for (const Case &k : cases) {
    nlohmann::json j = 5;
    std::string why;
    const bool ok = parse_json_input(k.text, &j, &why);
    EXPECT_EQ(ok, k.error == nullptr) << k.text.substr(0, 40) << ": " << why;
    if (k.error) {
      EXPECT_EQ(why, k.error);
      EXPECT_EQ(j, 5) << "left as it was";
    }
  }
}

// The one command layer every front end maps from: each refusal and each
// outcome has its own result, checked in the order the core checks them.
TEST_F(ServiceTest, CommandLayerNamesEveryOutcome) {
  Config c = quick();
  c.downlink_queue = 1;
  start(c);
  Udp t;
  log_on(t, "13900000001");
  using R = CommandResult;
  const std::string big(1025, 'x');
  struct Case {
    const char *id;
    std::string bytes;
    R want;
  } sends[] = {
      {"", "x", R::kBadId},
      {"13900000001", "", R::kEmpty},
      {"13900000001", big, R::kTooLarge},
      {"13900000009", "x", R::kUnknownId},  // never heard: nothing queued
      {"13900000001", std::string(1024, 'y'), R::kSent},
  };
  for (const Case &k : sends)
    EXPECT_EQ(call([&](Service &s) { return send_command(s, k.id, k.bytes).result; }), k.want) << k.id;

  EXPECT_EQ(call([](Service &s) { return close_command(s, "13900000009", false); }), R::kUnknownId);
  EXPECT_EQ(call([](Service &s) { return close_command(s, "13900000001", false); }), R::kOk);
  EXPECT_EQ(call([](Service &s) { return close_command(s, "13900000001", false); }), R::kOffline);
  // Heard but off line: the first waits, the next finds the queue full.
  EXPECT_EQ(call([](Service &s) { return send_command(s, "13900000001", "a").result; }), R::kQueued);
  EXPECT_EQ(call([](Service &s) { return send_command(s, "13900000001", "b").result; }), R::kQueueFull);

  // Requests: a never-heard ID is not asked at all; a heard one off line is
  // ended by the core with "offline".
  int calls = 0;
  R ended = R::kOk;
  EXPECT_EQ(call([&](Service &s) { return read_command(s, "13900000009", [&](const ParamResult &) { ++calls; }).result; }),
            R::kUnknownId);
  EXPECT_EQ(calls, 0);
  call([&](Service &s) {
    read_command(s, "13900000001", [&](const ParamResult &r) { ++calls, ended = request_result(r); });
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ended, R::kOffline);
}

TEST(CommandNames, EveryResultHasItsOwnText) {
  std::set<std::string> seen;
#define DTU_COMMAND_SEEN(name, text)                                 \
  EXPECT_TRUE(seen.insert(result_name(CommandResult::name)).second) << text; \
  EXPECT_EQ(result_from_name(text), CommandResult::name);
  DTU_COMMAND_RESULTS(DTU_COMMAND_SEEN)
#undef DTU_COMMAND_SEEN
  EXPECT_EQ(result_from_name("no-such-result"), CommandResult::kOther);
}

// The downlink states and the address policies: a text each, and a policy
// read back from its text (what the option and the file give).
TEST(CommandNames, EveryStateAndPolicyHasItsOwnText) {
  std::set<std::string> states, policies;
#define DTU_STATE_SEEN(name, text) EXPECT_TRUE(states.insert(downlink_state_name(DownlinkState::name)).second) << text;
  DTU_DOWNLINK_STATES(DTU_STATE_SEEN)
#undef DTU_STATE_SEEN
#define DTU_POLICY_SEEN(name, text)                                  \
  {                                                                  \
    AddressPolicy p = AddressPolicy::name == AddressPolicy::kFollow ? AddressPolicy::kLogonOnly : AddressPolicy::kFollow; \
    EXPECT_TRUE(policy_from_name(policy_name(AddressPolicy::name), &p)) << text; \
    EXPECT_EQ(p, AddressPolicy::name) << text;                       \
    EXPECT_TRUE(policies.insert(policy_name(p)).second) << text;     \
  }
  DTU_ADDRESS_POLICIES(DTU_POLICY_SEEN)
#undef DTU_POLICY_SEEN
  AddressPolicy p = AddressPolicy::kLogonOnly;
  EXPECT_FALSE(policy_from_name("Follow", &p));
  EXPECT_EQ(p, AddressPolicy::kLogonOnly) << "left as it was";
}

TEST(CommandParams, TagAndValueTextAreBothChecked) {
  const ParamInfo *number = nullptr;
  for (const ParamInfo &p : param_catalogue())
    if (p.form == ParamForm::kU8 && number == nullptr) number = &p;
  ASSERT_NE(number, nullptr);
  const std::string tag = std::to_string(number->tag);
  struct {
    std::string tag, value;
    CommandResult want;
  } cases[] = {
      {tag, "7", CommandResult::kOk},
      {tag, "256", CommandResult::kBadValue},
      {tag, "-1", CommandResult::kBadValue},
      {"x" + tag, "7", CommandResult::kBadValue},
      {"99999", "7", CommandResult::kBadValue},
  };
  for (const auto &k : cases) {
    ParamValue v;
    std::string why;
    EXPECT_EQ(param_from_text(k.tag, k.value, &v, &why), k.want) << k.tag << "=" << k.value;
    EXPECT_EQ(why.empty(), k.want == CommandResult::kOk) << k.tag << "=" << k.value;
    if (k.want == CommandResult::kOk) EXPECT_EQ(v.number, 7u);
  }
}

}  // namespace
