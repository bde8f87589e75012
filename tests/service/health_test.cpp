// The centre's health: the registry of named rows, the kernel's drop counter
// read from /proc/net/udp, and the service's own rows end to end (drops of
// a burst while the loop is held, a full table's refused logons).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dtucentre.h"
#include "health.h"
#include "service.h"
#include "sim/wire.h"
#include "udp_peer.h"

namespace {

using namespace dtu::svc;
using Bytes = std::vector<std::uint8_t>;

HealthRow row(const char *name, HealthState state, const char *reason = "", int figure = 0) {
  HealthRow r;
  r.name = name;
  r.state = state;
  r.reason = reason;
  r.fields = {{"figure", figure}};
  return r;
}

TEST(HealthRegistry, AChangeIsAStateOrReasonChangeNotAFigure) {
  struct Step {
    HealthRow row;
    bool changed;
    std::int64_t since;  // expected since_ms after the step (the step's time is its index + 1)
  };
  const Step steps[] = {
      {row("broker", HealthState::kStarting, "connecting"), true, 1},
      {row("broker", HealthState::kStarting, "connecting", 5), false, 1},
      {row("broker", HealthState::kDegraded, "unreachable"), true, 3},
      {row("broker", HealthState::kDegraded, "refused"), true, 4},
      {row("broker", HealthState::kOk), true, 5},
      {row("broker", HealthState::kOk, "", 9), false, 5},
  };
  Health h;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(h.set(steps[i].row, static_cast<std::int64_t>(i + 1)), steps[i].changed) << "step " << i;
    ASSERT_NE(h.find("broker"), nullptr);
    EXPECT_EQ(h.find("broker")->since_ms, steps[i].since) << "step " << i;
  }
  EXPECT_EQ(h.find("broker")->fields["figure"], 9) << "the figures are always the latest";
  EXPECT_EQ(h.rows().size(), 1u);
}

TEST(HealthRegistry, OverallStatusIsTheWorstRow) {
  struct Case {
    std::vector<HealthRow> rows;
    const char *status;
    bool ok;  // Health::ok(): what decides 200 or 503
    const char *summary;
    std::size_t problems;
  };
  const Case cases[] = {
      {{}, "ok", true, "ok", 0},
      {{row("socket", HealthState::kOk), row("table", HealthState::kOk)}, "ok", true, "ok", 0},
      {{row("socket", HealthState::kOk), row("broker", HealthState::kStarting, "connecting")}, "starting", false,
       "starting: broker connecting", 1},
      {{row("broker", HealthState::kStarting, "connecting"), row("table", HealthState::kDegraded, "table-full")},
       "degraded", false, "degraded: broker connecting; table table-full", 2},
  };
  for (const Case &c : cases) {
    Health h;
    for (const HealthRow &r : c.rows) h.set(r, 1);
    const nlohmann::json j = h.to_json();
    EXPECT_EQ(j["status"], c.status);
    EXPECT_EQ(h.ok(), c.ok) << c.status;
    EXPECT_EQ(h.summary(), c.summary);
    EXPECT_EQ(j["problems"].size(), c.problems) << j.dump();
    for (const HealthRow &r : c.rows) EXPECT_EQ(j["checks"][r.name]["status"], health_state_name(r.state));
  }
}

// ---- the kernel's drop counter ----------------------------------------------

const char kProcNetUdp[] =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
    "  101: 0100007F:138A 00000000:0000 07 00000000:00000300 00:00000000 00000000     0        0 1001 2 ffff 17\n"
    "  102: 00000000:138A 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 1002 2 ffff 4\n"
    "  103: 0200007F:138B 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 1003 2 ffff 9\n"
    "  104: garbage\n";

TEST(KernelDrops, TheDropColumnOfTheSocketBoundToThatAddressAndPort) {
  struct Case {
    std::uint32_t addr;
    std::uint16_t port;
    bool found;
    std::uint64_t drops, queued;
  };
  const Case cases[] = {
      {0x7F000001, 0x138A, true, 17, 0x300},  // 127.0.0.1:5002
      {0, 0x138A, true, 4, 0},                // every address, same port
      {0x7F000002, 0x138B, true, 9, 0},       // 127.0.0.2: the octets in their order
      {0x7F000001, 0x138B, false, 0, 0},      // that port on another address
      {0x7F000001, 0x1234, false, 0, 0},
  };
  for (const Case &c : cases) {
    std::uint64_t drops = 0, queued = 0;
    EXPECT_EQ(udp_socket_drops(kProcNetUdp, c.addr, c.port, &drops, &queued), c.found) << c.addr << ":" << c.port;
    EXPECT_EQ(drops, c.drops);
    EXPECT_EQ(queued, c.queued);
  }
}

// ---- the service's own rows -------------------------------------------------

// Terminals whose own buffer holds whatever the centre sends back at once.
struct Udp : test::Udp {
  Udp() : test::Udp(8 << 20) {}
};

class HealthService : public ::testing::Test {
 protected:
  void start(Config c) {
    c.bind = "127.0.0.1";
    c.port = 0;
    c.idle_timeout = 0;
    svc_ = std::make_unique<Service>(c);
    svc_->subscribe([this](const Event &e) {
      std::lock_guard<std::mutex> g(mutex_);
      events_.push_back(e);
    });
    std::string why;
    ASSERT_TRUE(svc_->start(&why)) << why;
    loop_ = std::thread([this] { svc_->run(); });
  }
  void TearDown() override {
    if (svc_) {
      svc_->stop();
      loop_.join();
    }
  }
  template <typename F>
  auto call(F f) {
    auto p = std::make_shared<std::promise<decltype(f(*svc_))>>();
    auto fut = p->get_future();
    svc_->post([p, f](Service &s) mutable { p->set_value(f(s)); });
    return fut.get();
  }
  // Polls fn on the loop until it holds, for at most 10 s (the rows are
  // brought up to date once a second).
  template <typename F>
  bool eventually(F fn) {
    for (int i = 0; i < 200; ++i) {
      if (call(fn)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  std::vector<Event> events(EventType type) {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<Event> v;
    for (const Event &e : events_)
      if (e.type == type) v.push_back(e);
    return v;
  }
  // Sends `n` short datagrams while the loop is held, then lets it go: what
  // the socket's buffer cannot hold the system drops.
  void burst_while_held(int n) {
    std::promise<void> sent;
    std::shared_future<void> go = sent.get_future().share();
    std::promise<void> holding;
    svc_->post([go, &holding](Service &) {
      holding.set_value();
      go.wait();
    });
    holding.get_future().wait();
    Udp t;
    const Bytes tiny = {1, 2, 3, 4};  // under 16 bytes: refused as "short", no answer
    for (int i = 0; i < n; ++i) t.send(tiny, svc_->port());
    sent.set_value();
  }

  std::unique_ptr<Service> svc_;
  std::thread loop_;
  std::mutex mutex_;
  std::vector<Event> events_;
};

TEST_F(HealthService, DropsOfABurstLargerThanTheReceiveBufferAreCountedAndReported) {
  Config c;
  c.receive_buffer = 16384;
  start(c);
  constexpr int kSent = 600;
  burst_while_held(kSent);
  ASSERT_TRUE(eventually([](Service &s) {
    const Counters &k = s.counters();
    return k.kernel_drops > 0 && k.datagrams_in + k.kernel_drops == static_cast<std::uint64_t>(kSent);
  })) << "every datagram either seen or counted as dropped";
  const HealthRow r = call([](Service &s) { return *s.health().find("socket"); });
  EXPECT_EQ(r.state, HealthState::kDegraded);
  EXPECT_EQ(r.reason, "kernel-drops");
  EXPECT_EQ(r.fields["kernel_drops"], call([](Service &s) { return s.counters().kernel_drops; }));
  const auto seen = events(EventType::kHealth);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].check, "socket");
  EXPECT_EQ(seen[0].reason, "kernel-drops");
}

TEST_F(HealthService, TheDefaultReceiveBufferHoldsSuchABurst) {
  start(Config{});
  const auto fields = call([](Service &s) { return s.health().find("socket")->fields; });
  ASSERT_EQ(fields["receive_buffer_asked"], 4 << 20);
  if (fields["receive_buffer"] < (4 << 20)) GTEST_SKIP() << "the system granted only " << fields["receive_buffer"];
  constexpr int kSent = 1500;
  burst_while_held(kSent);
  ASSERT_TRUE(eventually([](Service &s) { return s.counters().datagrams_in == static_cast<std::uint64_t>(kSent); }));
  EXPECT_EQ(call([](Service &s) { return s.counters().kernel_drops; }), 0u);
}

TEST_F(HealthService, AFullTableRefusesEachNewTerminalOnceAndCountsItsRetries) {
  start(Config{});
  Udp fleet;
  auto id = [](int i) {
    char b[12];
    std::snprintf(b, sizeof b, "139%08d", i);
    return std::string(b);
  };
  // A hundred at a time, so that no receive buffer the system may grant
  // overflows.
  for (int n = 100; n <= DTU_MAX_USERS; n += 100) {
    for (int i = n - 100; i < n; ++i) fleet.send(sim::logon(id(i), 0x7F000001, 0, false), svc_->port());
    ASSERT_TRUE(eventually([n](Service &s) { return s.counters().online == n; }));
  }
  ASSERT_TRUE(eventually([](Service &s) { return s.health().find("table")->state == HealthState::kDegraded; }));
  for (int attempt = 0; attempt < 3; ++attempt)
    for (int i = DTU_MAX_USERS; i < DTU_MAX_USERS + 5; ++i) fleet.send(sim::logon(id(i), 0x7F000001, 0, false), svc_->port());
  ASSERT_TRUE(eventually([](Service &s) { return s.counters().refused_logon_attempts == 15; }));
  const Counters k = call([](Service &s) { return s.counters(); });
  EXPECT_EQ(k.logons_refused.at("table-full"), 5u);
  const auto refused = events(EventType::kLogonRefused);
  ASSERT_EQ(refused.size(), 5u) << "once per terminal, not per retry";
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(refused[static_cast<std::size_t>(i)].id, id(DTU_MAX_USERS + i));
    EXPECT_EQ(refused[static_cast<std::size_t>(i)].reason, "table-full");
  }
  const auto health = events(EventType::kHealth);
  ASSERT_FALSE(health.empty());
  EXPECT_EQ(health.back().check, "table");
  EXPECT_EQ(health.back().reason, "table-full");

  // Room again: the table is well, and a refused terminal that now gets in
  // is no longer remembered as refused.
  call([&](Service &s) { return s.close(id(0), false); });
  fleet.drain(200);
  fleet.send(sim::logon(id(DTU_MAX_USERS), 0x7F000001, 0, false), svc_->port());
  ASSERT_TRUE(eventually([](Service &s) { return s.counters().online == DTU_MAX_USERS; }));
  ASSERT_TRUE(eventually([](Service &s) { return s.health().find("table")->state == HealthState::kDegraded; }));
  fleet.send(sim::logon(id(DTU_MAX_USERS + 1), 0x7F000001, 0, false), svc_->port());
  ASSERT_TRUE(eventually([](Service &s) { return s.counters().refused_logon_attempts == 16; }));
  EXPECT_EQ(events(EventType::kLogonRefused).size(), 5u) << "still the same episode";
}

}  // namespace
