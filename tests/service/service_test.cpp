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
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dtucentre.h"
#include "pcap_writer.h"
#include "service.h"
#include "sim/wire.h"

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

class Udp {
 public:
  Udp() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  ~Udp() { ::close(fd_); }
  std::uint16_t port() const { return port_; }
  void send(const Bytes &b, std::uint16_t to) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(to);
    ::sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  }
  // The next datagram, or nothing within timeout_ms.
  std::optional<Bytes> receive(int timeout_ms = 3000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return std::nullopt;
    Bytes b(2048);
    const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
    if (n < 0) return std::nullopt;
    b.resize(static_cast<std::size_t>(n));
    return b;
  }
  // The code byte of the next datagram, -1 for none.
  int next_code(int timeout_ms = 3000) {
    auto b = receive(timeout_ms);
    return b && b->size() > 1 ? (*b)[1] : -1;
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// ---- a running service -----------------------------------------------------

class ServiceTest : public ::testing::Test {
 protected:
  void start(Config c) {
    c.bind = "127.0.0.1";
    c.port = 0;
    svc_ = std::make_unique<Service>(c);
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
  for (int i = 0; i < 12; ++i) {  // the busy one keeps talking for 2.4 s
    busy.send(data("13900000002", "x"), port_);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  auto idle = wait(EventType::kIdle, "13900000001", 500);
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->reason, "idle");
  EXPECT_EQ(idle->peer.port, quiet.port());
  EXPECT_EQ(count(EventType::kIdle, "13900000001"), 1u);
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
  auto timeout = wait(EventType::kTimeout, "13900000001");
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
  EXPECT_EQ(results[1].error, "timeout");
  EXPECT_TRUE(results[2].ok);
  EXPECT_EQ(results[3].error, "offline");
}

TEST_F(ServiceTest, DownlinksWaitForTheTerminalExpireOrOverflow) {
  Config c = quick();
  c.downlink_queue = 2;
  start(c);
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
  auto expired = wait(EventType::kDownlinkExpired, "13900000001");
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
  // On line: straight out.
  EXPECT_EQ(call([](Service &s) { return s.send("13900000001", "now", 3).status; }), SendStatus::kSent);
  EXPECT_EQ(t.next_code(), 0x89);
  EXPECT_EQ(call([](Service &s) { return s.send("13900000001", "", 0).reason; }), "empty");
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

TEST_F(ServiceTest, StopEndsQueuedMessagesAndPendingRequests) {
  start(quick());
  Udp t;
  log_on(t, "13900000001");
  std::promise<ParamResult> ended;
  call([&](Service &s) {
    s.send("13900000077", "later", 5);
    s.read_params("13900000001", [&](const ParamResult &r) { ended.set_value(r); });
  });
  svc_->stop();
  loop_.join();
  svc_.reset();
  EXPECT_EQ(ended.get_future().get().error, "stopped");
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
    c.address_policy = policy;
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
  };
  const Case cases[] = {
      {{0x7B, 0x01, 0x1B, 0x5B, 0x32}, "short"},
      {bad_mark, "bad-frame"},
      {bad_logon, "bad-logon"},
      {Bytes(1100, 0x41), "too-large"},
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
  }
  auto rejected = call([](Service &s) { return s.counters().rejected; });
  EXPECT_EQ(rejected["short"], 1u);
  EXPECT_EQ(rejected["too-large"], 1u);
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

}  // namespace
