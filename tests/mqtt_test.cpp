// The MQTT gateway against a real broker: a mosquitto started here on a free
// loopback port, centres run as child processes of this program (the library
// is one per process), terminals on real UDP sockets, and a subscriber and
// publisher on libmosquitto.  Exits 77 when no mosquitto can be found.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gateway.h"
#include "loopback_tcp.h"
#include "service.h"
#include "sim/wire.h"

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

std::string g_self;    // this program, for the centre children
std::string g_dtusim;  // the simulator
std::string g_dtucentre;  // the centre program
std::string g_tmp;     // scratch directory: brokers, certificates
std::string g_prefix = "dtu";  // the running test's topic prefix

// A topic under the running test's prefix.
std::string T(const std::string &rest) { return g_prefix + "/" + rest; }

using loopback_tcp::can_connect;
using loopback_tcp::free_port;

bool until(const std::function<bool()> &ok, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (ok()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ok();
}

pid_t spawn(const std::vector<std::string> &args, const std::string &out_file = "",
            const std::string &err_file = "") {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!out_file.empty()) {
      FILE *f = std::freopen(out_file.c_str(), "w", stdout);
      (void)f;
    }
    if (!err_file.empty()) {
      FILE *f = std::freopen(err_file.c_str(), "w", stderr);
      (void)f;
    }
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int finish(pid_t pid, int sig = SIGTERM) {
  if (pid <= 0) return -1;
  if (sig) kill(pid, sig);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- the broker ----------------------------------------------------------
struct Broker {
  std::string dir;
  std::uint16_t port = 0, tls_port = 0;
  pid_t pid = -1;

  explicit Broker(const std::string &name, bool tls = false) {
    dir = g_tmp + "/" + name;
    mkdir(dir.c_str(), 0700);
    port = free_port();
    std::ofstream c(dir + "/mosquitto.conf");
    c << "persistence true\npersistence_location " << dir << "/\nlog_dest file " << dir << "/broker.log\n"
      << "user " << getpwuid(getuid())->pw_name << "\nallow_anonymous true\nmax_queued_messages 100000\nper_listener_settings false\n"
      << "listener " << port << " 127.0.0.1\n";
    if (tls) {
      tls_port = free_port();
      c << "listener " << tls_port << " 127.0.0.1\ncafile " << g_tmp << "/ca.pem\ncertfile " << g_tmp
        << "/server.pem\nkeyfile " << g_tmp << "/server.key\nrequire_certificate true\n";
    }
  }
  ~Broker() { stop(); }
  bool start() {
    pid = spawn({"mosquitto", "-c", dir + "/mosquitto.conf"});
    return until([&] { return can_connect(port); }, 5000);
  }
  void stop() {
    finish(pid);
    pid = -1;
  }
};

// ---- a centre in a child process -------------------------------------------
struct Centre {
  pid_t pid = -1;
  std::uint16_t port = 0;
  std::string out;

  Centre(const Broker &b, const std::string &name, std::vector<std::string> extra = {}) {
    out = b.dir + "/centre-" + g_prefix + "-" + name + ".out";
    std::remove(out.c_str());  // a port written there before is not this centre's
    std::vector<std::string> args = {g_self, "--centre-child", std::to_string(b.port), name, "--prefix", g_prefix};
    args.insert(args.end(), extra.begin(), extra.end());
    pid = spawn(args, out);
    until(
        [&] {
          std::ifstream in(out);
          unsigned p = 0;
          std::string word;
          if (in >> word >> p && word == "port") port = static_cast<std::uint16_t>(p);
          return port != 0;
        },
        5000);
  }
  ~Centre() { stop(); }
  int stop() {
    const int rc = finish(pid);
    pid = -1;
    return rc;
  }
};

// ---- an MQTT client -------------------------------------------------------
struct Msg {
  std::string topic, payload, corr;
  bool retain = false;
  std::vector<std::pair<std::string, std::string>> user;
};

class Client {
 public:
  explicit Client(std::uint16_t port, const char *id = nullptr, bool clean = true) {
    m_ = mosquitto_new(id, clean, this);
    // A kept session (clean false) as MQTT 3.1.1, where it outlives the connection.
    mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, clean ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_message_v5_callback_set(m_, [](mosquitto *, void *obj, const mosquitto_message *msg,
                                             const mosquitto_property *props) {
      auto *self = static_cast<Client *>(obj);
      Msg m;
      m.topic = msg->topic;
      m.payload.assign(static_cast<const char *>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
      m.retain = msg->retain;
      for (const mosquitto_property *p = props; p; p = mosquitto_property_next(p)) {
        char *name = nullptr, *value = nullptr;
        if (mosquitto_property_identifier(p) == MQTT_PROP_USER_PROPERTY &&
            mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, false)) {
          m.user.emplace_back(name, value);
          free(name);
          free(value);
        }
      }
      void *v = nullptr;
      std::uint16_t len = 0;
      if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &v, &len, false)) {
        m.corr.assign(static_cast<char *>(v), len);
        free(v);
      }
      std::lock_guard<std::mutex> g(self->mu_);
      self->msgs_.push_back(std::move(m));
      self->cv_.notify_all();
    });
    mosquitto_connect_v5_callback_set(m_, [](mosquitto *mosq, void *obj, int rc, int, const mosquitto_property *) {
      auto *self = static_cast<Client *>(obj);
      if (rc != 0) return;
      std::lock_guard<std::mutex> g(self->mu_);
      for (const std::string &t : self->subs_) mosquitto_subscribe_v5(mosq, nullptr, t.c_str(), 1, 0, nullptr);
      self->connected_ = true;
      self->cv_.notify_all();
    });
    mosquitto_subscribe_v5_callback_set(m_, [](mosquitto *, void *obj, int mid, int, const int *, const mosquitto_property *) {
      auto *self = static_cast<Client *>(obj);
      std::lock_guard<std::mutex> g(self->mu_);
      self->subacks_.insert(mid);
      self->cv_.notify_all();
    });
    mosquitto_connect_bind_v5(m_, "127.0.0.1", port, 30, nullptr, nullptr);
    mosquitto_loop_start(m_);
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return connected_; });
  }
  ~Client() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
    mosquitto_destroy(m_);
  }
  void subscribe(const std::string &t) {
    {
      std::lock_guard<std::mutex> g(mu_);
      subs_.push_back(t);
    }
    int mid = 0;
    mosquitto_subscribe_v5(m_, &mid, t.c_str(), 1, 0, nullptr);
    // Subscribed once the broker says so (its retained messages follow).
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return subacks_.count(mid) > 0; });
  }
  void publish(const std::string &t, const std::string &payload, const std::string &corr = "",
               std::uint32_t expiry = 0, bool retain = false) {
    mosquitto_property *props = nullptr;
    if (!corr.empty())
      mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, corr.data(),
                                    static_cast<std::uint16_t>(corr.size()));
    if (expiry) mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, expiry);
    mosquitto_publish_v5(m_, nullptr, t.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain, props);
    mosquitto_property_free_all(&props);
  }
  // The first message on `topic` not taken yet (and matching `ok`), within ms.
  bool take(const std::string &topic, Msg *out, int ms = 4000, const std::function<bool(const Msg &)> &ok = {}) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (auto it = msgs_.begin(); it != msgs_.end(); ++it)
        if (it->topic == topic && (!ok || ok(*it))) {
          if (out) *out = *it;
          msgs_.erase(it);
          return true;
        }
      return false;
    });
  }
  json take_json(const std::string &topic, int ms = 4000) {
    Msg m;
    if (!take(topic, &m, ms)) return json();
    return json::parse(m.payload, nullptr, false);
  }
  std::vector<Msg> all() {
    std::lock_guard<std::mutex> g(mu_);
    return msgs_;
  }
  void clear() {
    std::lock_guard<std::mutex> g(mu_);
    msgs_.clear();
  }

 private:
  mosquitto *m_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Msg> msgs_;
  std::vector<std::string> subs_;
  std::set<int> subacks_;
  bool connected_ = false;
};

// ---- a terminal -------------------------------------------------------------
// Frames from the simulator's codec, written apart from the library.
Bytes frame(std::uint8_t code, const std::string &id) { return sim::head(code, id); }
Bytes logon(const std::string &id) { return sim::logon(id, 0x7F000001, 0, false); }  // states 127.0.0.1:0
Bytes data(const std::string &id, const std::string &payload) {
  return sim::user_data(id, Bytes(payload.begin(), payload.end()));
}
// A ParamReadReply with tag 7 = 300 and tag 5 = "abc".
Bytes param_reply(const std::string &id) {
  return sim::param_frame(sim::kParamReadReply, id, {{7, {0x01, 0x2C}}, {5, {'a', 'b', 'c'}}});
}

class Terminal {
 public:
  explicit Terminal(std::uint16_t centre) : centre_(centre) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = loopback_tcp::address(0);
    ::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  }
  ~Terminal() { ::close(fd_); }
  void send(const Bytes &b) {
    sockaddr_in sa = loopback_tcp::address(centre_);
    ::sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  }
  // The next datagram's code byte within ms (-1: none), its body into *body.
  int receive(int ms = 3000, Bytes *all = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return -1;
    Bytes b(2048);
    const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
    if (n < 2) return -1;
    b.resize(static_cast<std::size_t>(n));
    if (all) *all = b;
    return b[1];
  }
  // The next datagram of `code`, skipping others.
  bool expect(int code, int ms = 3000, Bytes *all = nullptr) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end)
      if (receive(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count()),
                  all) == code)
        return true;
    return false;
  }
  void log_on(const std::string &id) {
    send(logon(id));
    ASSERT_TRUE(expect(0x81)) << "no LogonAck for " << id;
  }
  void retarget(std::uint16_t centre) { centre_ = centre; }

 private:
  int fd_ = -1;
  std::uint16_t centre_;
};

constexpr int kDataAck = 0x85, kDown = 0x89, kParamRead = 0x8B, kParamSet = 0x8D;

// Datagrams the kernel dropped for want of room in the buffer of the UDP
// socket bound to 127.0.0.1:port (/proc/net/udp, last column).
long udp_drops(std::uint16_t port) {
  std::ifstream in("/proc/net/udp");
  std::string line;
  char want[32];
  std::snprintf(want, sizeof want, "0100007F:%04X", port);
  while (std::getline(in, line)) {
    if (line.find(want) == std::string::npos) continue;
    const std::size_t last = line.find_last_of(' ', line.find_last_not_of(' '));
    return std::atol(line.c_str() + last + 1);
  }
  return 0;
}

// A UDP port on 127.0.0.1 free a moment ago, for the program's --port.
std::uint16_t free_udp_port() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = loopback_tcp::address(0);
  ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  ::close(fd);
  return ntohs(sa.sin_port);
}

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A retained status for `id` as a centre publishes it.
std::string status_of(const std::string &centre, bool online, std::int64_t since_ms) {
  return json{{"online", online}, {"centre", centre}, {"peer", "127.0.0.1:9"}, {"reported", "127.0.0.1:9"},
              {"since", dtu::svc::iso_time(since_ms)}, {"reason", "logon"}}
      .dump();
}

std::int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string user(const Msg &m, const std::string &name) {
  for (auto &kv : m.user)
    if (kv.first == name) return kv.second;
  return "";
}

// ---- the tests --------------------------------------------------------------

// One broker for every test that does not stop, restart or reconfigure its
// own; each test has a topic prefix of its own (its name), so nothing one
// leaves retained reaches the next.
Broker *g_shared = nullptr;  // started once for the whole run

class SharedBroker : public ::testing::Environment {
 public:
  void SetUp() override {
    g_shared = new Broker("shared");
    if (!g_shared->start()) std::fprintf(stderr, "mqtt_test: the shared mosquitto did not start\n");
  }
  void TearDown() override {
    delete g_shared;
    g_shared = nullptr;
  }
};

class MqttTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker_ != nullptr && broker_->pid > 0 && can_connect(broker_->port)) << "mosquitto did not start";
    g_prefix = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  Broker *broker_ = g_shared;
};

// One centre "A" on the shared broker with a terminal on line: a subscriber
// to everything under the test's prefix (the terminal's first status and
// the centre's state taken), and a publisher for commands.
class MqttContract : public MqttTest {
 protected:
  static constexpr const char *kId = "13900000001";
  void SetUp() override {
    MqttTest::SetUp();
    sub_ = std::make_unique<Client>(broker_->port);
    sub_->subscribe(T("#"));
    centre_ = std::make_unique<Centre>(*broker_, "A");
    ASSERT_NE(centre_->port, 0);
    Msg m;
    ASSERT_TRUE(sub_->take(T("c/A/state"), &m));
    ASSERT_EQ(m.payload, "online");
    term_ = std::make_unique<Terminal>(centre_->port);
    term_->log_on(kId);
    status_ = sub_->take_json(leaf("status"));
    ASSERT_TRUE(status_.is_object());
    pub_ = std::make_unique<Client>(broker_->port);
  }
  // "{prefix}/t/13900000001/{name}"
  static std::string leaf(const std::string &name) { return T("t/") + kId + "/" + name; }
  // The next event of the terminal named `name`.
  bool event(const std::string &name, Msg *m = nullptr, const std::string &id = kId) {
    return sub_->take(T("t/") + id + "/event", m, 4000,
                      [&](const Msg &x) { return json::parse(x.payload, nullptr, false).value("event", "") == name; });
  }
  // Logged out: its status says so.
  void log_out() {
    term_->send(frame(0x02, kId));
    ASSERT_EQ(sub_->take_json(leaf("status"))["reason"], "logout");
  }

  std::unique_ptr<Client> sub_, pub_;
  std::unique_ptr<Centre> centre_;
  std::unique_ptr<Terminal> term_;
  json status_;
};

TEST_F(MqttContract, LogonIsARetainedStatus) {
  EXPECT_EQ(status_["online"], true);
  EXPECT_EQ(status_["centre"], "A");
  EXPECT_EQ(status_["reason"], "logon");
  EXPECT_EQ(status_["reported"], "127.0.0.1:0");
  EXPECT_EQ(status_["peer"].get<std::string>().rfind("127.0.0.1:", 0), 0u);
  Client late(broker_->port);
  late.subscribe(leaf("status"));
  Msg m;
  ASSERT_TRUE(late.take(leaf("status"), &m));
  EXPECT_TRUE(m.retain);
}

// The exact bytes (a NUL inside) with the centre, peer and time as
// properties; the DataAck once the broker has it.
TEST_F(MqttContract, UplinkBytesAndPropertiesThenDataAck) {
  const std::string payload("ab\0\xff", 4);
  term_->send(data(kId, payload));
  Msg m;
  ASSERT_TRUE(sub_->take(leaf("up"), &m));
  EXPECT_EQ(m.payload, payload);
  EXPECT_FALSE(m.retain);
  EXPECT_EQ(user(m, "centre"), "A");
  EXPECT_EQ(user(m, "peer"), status_["peer"]);
  EXPECT_EQ(user(m, "time").size(), 24u);
  EXPECT_TRUE(term_->expect(kDataAck));
}

TEST_F(MqttContract, TerminalFramesAreEvents) {
  const struct {
    std::uint8_t code;
    const char *event;
  } cases[] = {{0x05, "data_reply"}, {0x13, "id_report"}, {0x04, "invalid_frame"}};
  for (const auto &k : cases) {
    term_->send(frame(k.code, kId));
    Msg m;
    ASSERT_TRUE(event(k.event, &m)) << k.event;
    const json e = json::parse(m.payload);
    EXPECT_EQ(e["centre"], "A") << k.event;
    EXPECT_EQ(e["time"].get<std::string>().size(), 24u) << k.event;
  }
}

// Data from another address: followed, an event, and the status's peer.
TEST_F(MqttContract, AddressChangeIsAnEventAndTheStatusFollows) {
  Terminal other(centre_->port);
  other.send(data(kId, "moved"));
  Msg m;
  ASSERT_TRUE(event("addr_change", &m));
  const json e = json::parse(m.payload);
  EXPECT_EQ(e["old_peer"], status_["peer"]);
  const json st = sub_->take_json(leaf("status"));
  EXPECT_EQ(st["peer"], e["peer"]);
  EXPECT_NE(st["peer"], status_["peer"]);
}

TEST_F(MqttContract, DataFromATerminalNotOnLineIsAnEvent) {
  Terminal stranger(centre_->port);
  stranger.send(data("13900000077", "x"));
  EXPECT_TRUE(event("not_logged_on", nullptr, "13900000077"));
  EXPECT_FALSE(sub_->take(T("t/13900000077/up"), nullptr, 300));
}

// Another logon from another address while on line: an event, then a
// status that says takeover.
TEST_F(MqttContract, SecondLogonIsATakeover) {
  Terminal other(centre_->port);
  other.log_on(kId);
  ASSERT_TRUE(event("duplicate_logon"));
  const json st = sub_->take_json(leaf("status"));
  EXPECT_EQ(st["reason"], "takeover");
  EXPECT_EQ(st["online"], true);
}

// On line: sent, then delivered by the terminal's DataReply, with the
// correlation data back as text each time.
TEST_F(MqttContract, DownlinkSentThenDelivered) {
  pub_->publish(leaf("down"), "hello", "c-1");
  Bytes in;
  ASSERT_TRUE(term_->expect(kDown, 3000, &in));
  EXPECT_EQ(std::string(in.begin() + 16, in.end()), "hello");
  json r = sub_->take_json(leaf("down/result"));
  EXPECT_EQ(r, (json{{"state", "sent"}, {"corr", "c-1"}}));
  term_->send(frame(0x05, kId));
  r = sub_->take_json(leaf("down/result"));
  EXPECT_EQ(r, (json{{"state", "delivered"}, {"corr", "c-1"}}));
}

TEST_F(MqttContract, ParamsGetAnswered) {
  pub_->publish(leaf("params/get"), R"({"req":7})");
  ASSERT_TRUE(term_->expect(kParamRead));
  term_->send(param_reply(kId));
  const json r = sub_->take_json(leaf("params/get/reply"));
  EXPECT_EQ(r, (json{{"req", 7}, {"params", {{"7", 300}, {"5", "abc"}}}}));
}

TEST_F(MqttContract, ParamsSetConfirmed) {
  pub_->publish(leaf("params/set"), R"({"req":"w","params":{"7":10,"5":"xy"}})");
  ASSERT_TRUE(term_->expect(kParamSet));
  term_->send(frame(0x0D, kId));
  const json r = sub_->take_json(leaf("params/set/reply"));
  EXPECT_EQ(r, (json{{"req", "w"}, {"ok", true}}));
}

TEST_F(MqttContract, LogoutIsAStatus) {
  term_->send(frame(0x02, kId));
  const json st = sub_->take_json(leaf("status"));
  EXPECT_EQ(st["online"], false);
  EXPECT_EQ(st["reason"], "logout");
  EXPECT_EQ(st["centre"], "A");
}

// Off line a downlink waits (binary correlation data comes back in hex)
// and goes at the next logon with its final result.
TEST_F(MqttContract, DownlinkQueuedWhileOffLineSentAtLogon) {
  log_out();
  pub_->publish(leaf("down"), "later", "\x01\x02");
  EXPECT_EQ(sub_->take_json(leaf("down/result")), (json{{"state", "queued"}, {"corr", "0102"}}));
  term_->log_on(kId);
  Bytes in;
  ASSERT_TRUE(term_->expect(kDown, 3000, &in));
  EXPECT_EQ(std::string(in.begin() + 16, in.end()), "later");
  EXPECT_EQ(sub_->take_json(leaf("down/result")), (json{{"state", "sent"}, {"corr", "0102"}}));
}

// A downlink with a message expiry of 1 s, queued: it expires.
TEST_F(MqttContract, QueuedDownlinkExpires) {
  log_out();
  pub_->publish(leaf("down"), "brief", "b", 1);
  EXPECT_EQ(sub_->take_json(leaf("down/result"))["state"], "queued");
  EXPECT_EQ(sub_->take_json(leaf("down/result"), 5000),
            (json{{"state", "expired"}, {"reason", "expired"}, {"corr", "b"}}));
}

TEST_F(MqttContract, ParamsGetOffLineRefused) {
  log_out();
  pub_->publish(leaf("params/get"), "");
  EXPECT_EQ(sub_->take_json(leaf("params/get/reply")), (json{{"error", "offline"}}));
}

// The centre's counters, retained, with the gateway's own.
TEST_F(MqttContract, StatsRetained) {
  Client late(broker_->port);
  late.subscribe(T("c/A/stats"));
  Msg m;
  ASSERT_TRUE(late.take(T("c/A/stats"), &m, 4000, [](const Msg &x) { return x.retain; }));
  const json stats = json::parse(m.payload);
  EXPECT_TRUE(stats.contains("datagrams_in"));
  EXPECT_TRUE(stats["mqtt"].contains("published"));
}

// A clean stop: every terminal on line marked, the centre offline.
TEST_F(MqttContract, CleanStopMarksTerminalsAndCentre) {
  sub_->clear();
  EXPECT_EQ(centre_->stop(), 0);
  const json st = sub_->take_json(leaf("status"));
  EXPECT_EQ(st["reason"], "centre-stopped");
  EXPECT_EQ(st["online"], false);
  Msg m;
  ASSERT_TRUE(sub_->take(T("c/A/state"), &m));
  EXPECT_EQ(m.payload, "offline");
}

// Malformed commands: an error reply each, nothing to the terminal.
TEST_F(MqttTest, MalformedCommandsAnsweredNothingSent) {
  Client sub(broker_->port);
  sub.subscribe(T("t/#"));
  Centre c(*broker_, "M");
  Terminal t(c.port);
  t.log_on("13900000002");
  sub.take_json(T("t/13900000002/status"));
  Client pub(broker_->port);
  // Statuses anyone may publish: ignored or taken without harm.
  for (const char *bad : {"{", R"({"centre":7})", R"({"centre":"X","online":"yes","since":1})", "[]"})
    pub.publish(T("t/13900000099/status"), bad);
  // The whole text of each refusal (a parameter's names its tag once).
  const std::string set = T("t/13900000002/params/set");
  struct Case {
    std::string topic, payload, reply_topic, field, want;
  } cases[] = {
      {set, "{not json", set + "/reply", "error", "bad-json"},
      {T("t/13900000002/params/get"), "[1,", T("t/13900000002/params/get/reply"), "error", "bad-json"},
      {set, R"({"params":{"99":1}})", set + "/reply", "error", "unknown parameter tag 99"},
      {set, R"({"params":{"x":1}})", set + "/reply", "error", "a tag is a decimal number, got \"x\""},
      {set, R"({"params":{"7":70000}})", set + "/reply", "error", "tag 7 takes a decimal number from 0 to 65535"},
      {set, R"({"params":{"7":true}})", set + "/reply", "error", "tag 7: expected a string or a whole number"},
      {set, R"({"params":{"6":"short"}})", set + "/reply", "error", "tag 6 takes exactly 11 characters"},
      {set, R"({"params":{}})", set + "/reply", "error", "no params: give {\"params\":{\"TAG\":value,...}}"},
      {T("t/139000000021234/down"), "x", T("t/139000000021234/down/result"), "reason", "bad-id"},
      {T("t/13912345678/down"), "x", T("t/13912345678/down/result"), "reason", "unknown-id"},  // never heard
      {T("t/13912345678/params/get"), "", T("t/13912345678/params/get/reply"), "error", "unknown-id"},
      {T("t/13912345678/params/set"), R"({"params":{"7":1}})", T("t/13912345678/params/set/reply"), "error",
       "unknown-id"},
      {T("t/%ZZ/params/get"), "", T("t/%ZZ/params/get/reply"), "error", "bad-id"},
  };
  for (const Case &k : cases) {
    pub.publish(k.topic, k.payload);
    json r = sub.take_json(k.reply_topic);
    ASSERT_TRUE(r.is_object()) << k.topic << " " << k.payload;
    EXPECT_EQ(r[k.field], k.want) << k.payload;
  }
  pub.publish(T("t/13900000002/down"), std::string(1025, 'x'));
  json r = sub.take_json(T("t/13900000002/down/result"));
  EXPECT_EQ(r["state"], "rejected");
  EXPECT_EQ(r["reason"], "too-large");
  EXPECT_EQ(t.receive(500), -1) << "something reached the terminal";
}

// The broker restarted without its store: the centre reconnects and puts its
// retained statuses and state back.  In the immediate mode the DataAck does
// not wait, and what came meanwhile is published after the reconnect.
TEST_F(MqttTest, RetainedStatusesAfterReconnect) {
  Broker b("restart");
  ASSERT_TRUE(b.start());
  Centre c(b, "R", {"--immediate"});
  Terminal t(c.port);
  t.log_on("13900000003");
  {
    Client sub(b.port);
    sub.subscribe(T("t/13900000003/status"));
    ASSERT_TRUE(sub.take(T("t/13900000003/status"), nullptr));
  }
  b.stop();
  t.send(data("13900000003", "kept"));
  EXPECT_TRUE(t.expect(kDataAck, 1000));
  std::remove((b.dir + "/mosquitto.db").c_str());
  ASSERT_TRUE(b.start());
  Client sub(b.port);  // before the centre's next attempt (its pause has grown to a second or more)
  sub.subscribe(T("#"));
  Msg m;
  ASSERT_TRUE(sub.take(T("t/13900000003/up"), &m, 8000));
  EXPECT_EQ(m.payload, "kept");
  ASSERT_TRUE(sub.take(T("t/13900000003/status"), nullptr, 8000));
  // A consumer that comes later finds them retained.
  Client late(b.port);
  late.subscribe(T("#"));
  ASSERT_TRUE(late.take(T("t/13900000003/status"), &m, 4000, [](const Msg &x) { return x.retain; }));
  EXPECT_EQ(json::parse(m.payload)["online"], true);
  ASSERT_TRUE(late.take(T("c/R/state"), &m, 2000, [](const Msg &x) { return x.retain; }));
  EXPECT_EQ(m.payload, "online");
}

// Two centres on one broker: a terminal moves from A to B; the downlink
// queued at A follows it, and later downlinks go to B only.
TEST_F(MqttTest, TwoCentresTerminalMoves) {
  Client sub(broker_->port);
  sub.subscribe(T("t/13900000004/#"));
  Centre a(*broker_, "A2", {"--handover-timeout", "1"});
  Centre b(*broker_, "B2", {"--no-claim"});
  Terminal t(a.port);
  t.log_on("13900000004");
  ASSERT_EQ(sub.take_json(T("t/13900000004/status"))["centre"], "A2");
  t.send(frame(0x02, "13900000004"));  // off line at A
  ASSERT_EQ(sub.take_json(T("t/13900000004/status"))["online"], false);
  Client pub(broker_->port);
  pub.publish(T("t/13900000004/down"), "follow me", "f");
  ASSERT_EQ(sub.take_json(T("t/13900000004/down/result"))["state"], "queued");

  t.retarget(b.port);
  t.log_on("13900000004");
  Bytes in;
  ASSERT_TRUE(t.expect(kDown, 5000, &in)) << "the queued downlink did not follow";
  EXPECT_EQ(std::string(in.begin() + 16, in.end()), "follow me");
  json r = sub.take_json(T("t/13900000004/down/result"), 4000);
  EXPECT_EQ(r["state"], "sent");
  EXPECT_EQ(r["corr"], "f");
  t.send(frame(0x05, "13900000004"));
  EXPECT_EQ(sub.take_json(T("t/13900000004/down/result"))["state"], "delivered");
  pub.publish(T("t/13900000004/down"), "second");
  ASSERT_TRUE(t.expect(kDown, 3000, &in));
  EXPECT_EQ(std::string(in.begin() + 16, in.end()), "second");
  EXPECT_EQ(t.receive(500), -1) << "a downlink went twice";
  EXPECT_EQ(sub.take_json(T("t/13900000004/down/result"))["state"], "sent");
  EXPECT_FALSE(sub.take(T("t/13900000004/down/result"), nullptr, 500)) << "two centres answered";
  // B2 told A2 it took the handed-over downlink: past A2's handover
  // timeout nothing of it comes back to be sent a second time.
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  t.retarget(a.port);
  t.log_on("13900000004");
  EXPECT_FALSE(t.expect(kDown, 1000)) << "the handed-over downlink came back although B2 took it";
}

// Queues three downlinks for `id` (on line first, then logged out) and
// checks each is "queued".
void queue_three(Client &pub, Client &sub, Terminal &t, const std::string &id) {
  t.log_on(id);
  t.send(frame(0x02, id));
  ASSERT_TRUE(sub.take(T("t/") + id + "/status", nullptr, 4000,
                       [](const Msg &x) { return json::parse(x.payload)["online"] == false; }));
  for (int i = 0; i < 3; ++i) {
    pub.publish(T("t/") + id + "/down", "q" + std::to_string(i), "c" + std::to_string(i));
    ASSERT_EQ(sub.take_json(T("t/") + id + "/down/result")["state"], "queued");
  }
}

// The three reach the terminal as it logs on here, each with one result.
void three_arrive(Client &sub, Terminal &t, const std::string &id) {
  t.log_on(id);
  for (int i = 0; i < 3; ++i) {
    Bytes in;
    ASSERT_TRUE(t.expect(kDown, 1000, &in)) << id << ": downlink " << i << " did not come";
    EXPECT_EQ(std::string(in.begin() + 16, in.end()), "q" + std::to_string(i));
    json r = sub.take_json(T("t/") + id + "/down/result");
    EXPECT_EQ(r["state"], "sent") << r.dump();
    EXPECT_EQ(r["corr"], "c" + std::to_string(i));
    t.send(frame(0x05, id));  // its DataReply lets the next one go
    r = sub.take_json(T("t/") + id + "/down/result");
    EXPECT_EQ(r["state"], "delivered") << r.dump();
    EXPECT_EQ(r["corr"], "c" + std::to_string(i));
  }
  EXPECT_FALSE(sub.take(T("t/") + id + "/down/result", nullptr, 300)) << "a second result";
}

// Anyone may publish a retained status.  One naming a centre that is not on
// line, or one dated in the future, moves nothing: the downlinks queued
// here stay and go to the terminal when it logs on here again.
TEST_F(MqttTest, ForgedStatusMovesNothing) {
  Client pub(broker_->port);
  pub.publish(T("c/Real/state"), "online", "", 0, true);  // on line, never acts
  Client sub(broker_->port);
  sub.subscribe(T("t/#"));
  Centre c(*broker_, "F");
  struct Case {
    const char *id, *centre;
    std::int64_t ahead_ms;
  } cases[] = {{"13900000070", "Ghost", 0}, {"13900000071", "Real", 3600 * 1000}};
  for (const Case &k : cases) {
    Terminal t(c.port);
    queue_three(pub, sub, t, k.id);
    const std::string status = T("t/") + std::string(k.id) + "/status";
    pub.publish(status, status_of(k.centre, true, wall_ms() + k.ahead_ms), "", 0, true);
    ASSERT_TRUE(sub.take(status, nullptr, 4000,
                         [&](const Msg &x) { return json::parse(x.payload)["centre"] == k.centre; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    three_arrive(sub, t, k.id);
    pub.publish(status, "", "", 0, true);
  }
  pub.publish(T("c/Real/state"), "", "", 0, true);
}

// Downlinks handed to a centre that never takes them come back: at once
// when that centre goes off line (its will says so when it dies), after
// mqtt_handover_timeout when it stays on line and silent.
TEST_F(MqttTest, UntakenHandoverComesBack) {
  struct Case {
    const char *id, *peer;
    bool dies;
  } cases[] = {{"13900000072", "Dying", true}, {"13900000073", "Silent", false}};
  Client pub(broker_->port);
  for (const Case &k : cases) pub.publish(T("c/") + std::string(k.peer) + "/state", "online", "", 0, true);
  Client sub(broker_->port);
  sub.subscribe(T("t/#"));
  Centre c(*broker_, "H", {"--handover-timeout", "2"});
  for (const Case &k : cases) {
    Terminal t(c.port);
    queue_three(pub, sub, t, k.id);
    const std::string status = T("t/") + std::string(k.id) + "/status";
    pub.publish(status, status_of(k.peer, true, wall_ms()), "", 0, true);
    for (int i = 0; i < 3; ++i)
      ASSERT_TRUE(sub.take(T("t/") + std::string(k.id) + "/down", nullptr, 4000,
                           [](const Msg &x) { return user(x, "handed-over-by") == "H"; }))
          << "not handed over";
    if (k.dies) pub.publish(T("c/") + std::string(k.peer) + "/state", "offline", "", 0, true);
    // Dying: well inside the 2 s timeout, so only the offline state can
    // bring them back in time.  Silent: past the timeout.
    std::this_thread::sleep_for(std::chrono::milliseconds(k.dies ? 300 : 3000));
    three_arrive(sub, t, k.id);
    pub.publish(status, "", "", 0, true);
  }
  for (const Case &k : cases) pub.publish(T("c/") + std::string(k.peer) + "/state", "", "", 0, true);
}

// A request's "req" comes back while it is small.  One nested 100,000
// deep (about 200 KB) or too large to echo is refused as bad JSON, and the
// program lives on.  For an ID no centre has reported, as anyone may send.
TEST_F(MqttTest, HostileRequestJsonRefused) {
  if (g_dtucentre.empty()) GTEST_SKIP() << "no dtucentre";
  const std::uint16_t udp = free_udp_port();
  Client sub(broker_->port);
  sub.subscribe(T("#"));
  const pid_t pid = spawn({g_dtucentre, "--mqtt", "127.0.0.1:" + std::to_string(broker_->port), "--port",
                           std::to_string(udp), "--mqtt-prefix", g_prefix, "--mqtt-centre", "X", "--quiet"},
                          "/dev/null");
  ASSERT_TRUE(sub.take(T("c/X/state"), nullptr, 5000));
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string t = T("t/13900000075/");
  struct Case {
    std::string leaf, payload;
    json reply;
  } cases[] = {
      {"params/get", R"({"req":)" + deep + "}", {{"error", "bad-json"}}},
      {"params/set", R"({"params":{"7":1},"req":)" + deep + "}", {{"error", "bad-json"}}},
      {"params/get", R"({"req":[")" + std::string(600, 'x') + R"("]})", {{"error", "bad-json"}}},
      {"params/get", R"({"req":{"a":[1,"b"]}})", {{"req", {{"a", {1, "b"}}}}, {"error", "unknown-id"}}},
      {"params/get", R"({"req":")" + std::string(600, 'x') + R"("})",
       {{"req", std::string(600, 'x')}, {"error", "unknown-id"}}},
  };
  Client pub(broker_->port);
  for (const Case &k : cases) {
    pub.publish(t + k.leaf, k.payload);
    EXPECT_EQ(sub.take_json(t + k.leaf + "/reply"), k.reply) << k.payload.substr(0, 40);
  }
  EXPECT_EQ(kill(pid, 0), 0) << "the centre died";
  EXPECT_EQ(finish(pid), 0);
}

// With the DataAcks given at once and the broker away, a stop says how
// many acknowledged uplinks it throws away, on standard error and in the log.
TEST_F(MqttTest, StopSaysWhatItDrops) {
  if (g_dtucentre.empty()) GTEST_SKIP() << "no dtucentre";
  Broker b("dropping");
  ASSERT_TRUE(b.start());
  const std::uint16_t udp = free_udp_port();
  const std::string out = b.dir + "/centre.out", err = b.dir + "/centre.err";
  const pid_t pid = spawn({g_dtucentre, "--mqtt", "127.0.0.1:" + std::to_string(b.port), "--port",
                           std::to_string(udp), "--mqtt-ack", "immediate", "--mqtt-centre", "S", "--mqtt-prefix", g_prefix},
                          out, err);
  {
    Client sub(b.port);
    sub.subscribe(T("c/S/state"));
    ASSERT_TRUE(sub.take(T("c/S/state"), nullptr, 5000));
  }
  Terminal t(udp);
  t.log_on("13900000076");
  b.stop();
  for (int i = 0; i < 5; ++i) {
    t.send(data("13900000076", "f" + std::to_string(i)));
    ASSERT_TRUE(t.expect(kDataAck, 1000));
  }
  EXPECT_EQ(finish(pid), 0);
  // (How many of the five were still buffered and how many already handed
  // to the client library depends on when the gateway saw the broker go.)
  const std::string said = slurp(err), logged = slurp(out);
  for (const std::string &text : {said, logged}) {
    EXPECT_NE(text.find("MQTT: the stop dropped 5 uplinks not published ("), std::string::npos) << text;
    EXPECT_NE(text.find("); the terminals had their DataAcks for them: they are lost\n"), std::string::npos) << text;
  }
  EXPECT_EQ(said.rfind("dtucentre: MQTT: the stop dropped", 0) != std::string::npos ||
                said.find("\ndtucentre: MQTT: the stop dropped") != std::string::npos,
            true)
      << said;
}

// TLS with a client certificate: a certificate authority, server and client
// certificates made here.
TEST_F(MqttTest, Tls) {
  const std::string d = g_tmp;
  const std::string cmd =
      "(cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=test-ca -keyout ca.key -out ca.pem" +
      " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr" +
      " && printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext" +
      " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -extfile san.ext -out server.pem" +
      " && openssl req -newkey rsa:2048 -nodes -subj /CN=centre -keyout client.key -out client.csr" +
      " && openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -out client.pem";
  ASSERT_EQ(std::system((cmd + ") >/dev/null 2>&1").c_str()), 0) << "openssl";
  Broker b("tls", true);
  ASSERT_TRUE(b.start());
  Client sub(b.port);  // the plain listener
  sub.subscribe(T("#"));
  Centre c(b, "T", {"--tls", std::to_string(b.tls_port), d + "/ca.pem", d + "/client.pem", d + "/client.key"});
  Terminal t(c.port);
  t.log_on("13900000005");
  t.send(data("13900000005", "over tls"));
  Msg m;
  ASSERT_TRUE(sub.take(T("t/13900000005/up"), &m, 8000));
  EXPECT_EQ(m.payload, "over tls");
  EXPECT_TRUE(t.expect(kDataAck));
}

// A broker stopped for 5 s while 100 terminals send with resends: every
// acknowledged frame that reached the centre was published; the report says
// how many twice.
TEST_F(MqttTest, BrokerOutageLosesNothing) {
  if (g_dtusim.empty()) GTEST_SKIP() << "no dtusim";
  Broker b("outage");
  ASSERT_TRUE(b.start());
  Centre c(b, "O");
  std::set<std::string> seen;
  std::size_t received = 0;
  const std::string sim_out = b.dir + "/dtusim.out";
  auto sub = std::make_unique<Client>(b.port, "outage-sub", false);  // a session the broker keeps
  sub->subscribe(T("t/+/up"));
  const pid_t sim = spawn({g_dtusim, "--centre", "127.0.0.1:" + std::to_string(c.port), "-n", "100", "--rate", "1",
                           "--payload", "32", "--duration", "60", "--retry", "20", "--ack-timeout", "2"},
                          sim_out);
  auto distinct = [&] {
    std::set<std::string> d;
    for (const Msg &m : sub->all()) d.insert(m.payload);
    return d.size();
  };
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const std::size_t before = distinct();
  b.stop();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  ASSERT_TRUE(b.start());
  // The gateway's reconnect backs off with jitter (up to 5 s after five
  // seconds away), so the fleet runs until what it sent during the outage
  // has come through, and a little longer; then it stops and counts.
  until([&] { return distinct() >= before + 600; }, 30000);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  finish(sim, SIGTERM);
  const long drops = udp_drops(c.port);

  std::ifstream in(sim_out);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  long acked = -1, unanswered = -1, resends = -1, given_up = -1;
  const char *p = std::strstr(all.c_str(), "user data acknowledged:");
  ASSERT_NE(p, nullptr) << all;
  std::sscanf(p, "user data acknowledged: %ld, unanswered: %ld", &acked, &unanswered);
  const char *q = std::strstr(all.c_str(), "resends:");
  ASSERT_NE(q, nullptr) << all;
  std::sscanf(q, "resends: %ld", &resends);
  const char *g = std::strstr(q, "given up after ");
  if (g) std::sscanf(g, "given up after %*d resends: %ld", &given_up);
  until(
      [&] {
        seen.clear();
        const std::vector<Msg> msgs = sub->all();
        received = msgs.size();
        for (const Msg &m : msgs) seen.insert(m.payload);
        return static_cast<long>(seen.size()) + drops >= acked;
      },
      10000);
  std::printf("outage: %ld acknowledged, %ld unanswered at the end, %ld resends, %ld given up; "
              "%zu published, %zu distinct, %zu published twice or more; %ld datagrams dropped by the "
              "centre's socket buffer\n",
              acked, unanswered, resends, given_up, received, seen.size(), received - seen.size(), drops);
  EXPECT_GT(resends, 0) << "the outage did not bite";
  EXPECT_EQ(given_up, 0);
  // A terminal takes a DataAck for its oldest frame waiting (the ack names
  // none), so a datagram the kernel dropped before the centre saw it may
  // count as acknowledged by the ack of a later one.  Anything else missing
  // is the gateway's fault.
  EXPECT_GE(static_cast<long>(seen.size()) + drops, acked) << "an acknowledged frame was not published";
  EXPECT_GT(acked, static_cast<long>(before) + 600) << "the outage's frames were not acknowledged after it";
}

// With a journal the gateway publishes from its cursor: a broker away and
// back gets every uplink once the link returns, in the order each terminal
// sent them; a centre restarted on the same state directory publishes what
// the broker had not taken, and nothing it had.
TEST_F(MqttTest, JournalOutageAndRestartPublishEveryUplinkFromTheCursor) {
  Broker b("journal");
  ASSERT_TRUE(b.start());
  const std::string state = b.dir + "/state";
  Client sub(b.port, "journal-sub", false);  // a session the broker keeps across its restarts
  sub.subscribe(T("t/+/up"));
  const std::string ids[] = {"13900000101", "13900000102"};
  std::map<std::string, std::vector<std::string>> sent;
  auto send_each = [&](Terminal &t, const std::string &id, int from, int n) {
    for (int i = from; i < from + n; ++i) {
      t.send(data(id, id + "-" + std::to_string(i)));
      sent[id].push_back(id + "-" + std::to_string(i));
    }
  };
  // What the subscriber has: per terminal, each payload in the order it first
  // came, and how often each came.
  auto received = [&](std::map<std::string, std::vector<std::string>> *order, std::map<std::string, int> *count) {
    order->clear();
    count->clear();
    for (const Msg &m : sub.all()) {
      const std::string id = m.topic.substr(m.topic.size() - 14, 11);
      if ((*count)[m.payload]++ == 0) (*order)[id].push_back(m.payload);
    }
  };
  std::map<std::string, std::vector<std::string>> order;
  std::map<std::string, int> count;
  {
    Centre c(b, "J", {"--state-dir", state});
    ASSERT_NE(c.port, 0);
    Terminal t0(c.port), t1(c.port);
    t0.log_on(ids[0]);
    t1.log_on(ids[1]);
    send_each(t0, ids[0], 0, 5);
    send_each(t1, ids[1], 0, 5);
    ASSERT_TRUE(until([&] { return received(&order, &count), count.size() == 10; }, 5000));
    b.stop();
    for (int round = 0; round < 30; ++round) {
      send_each(t0, ids[0], 5 + round, 1);
      send_each(t1, ids[1], 5 + round, 1);
    }
    ASSERT_TRUE(b.start());
    EXPECT_TRUE(until([&] { return received(&order, &count), count.size() == 70; }, 15000)) << count.size();
    EXPECT_EQ(order, sent) << "every uplink, in each terminal's order";
    b.stop();
    send_each(t0, ids[0], 35, 10);
    send_each(t1, ids[1], 35, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // journaled (a group is 5 ms)
    EXPECT_EQ(c.stop(), 0);
  }
  // A subscriber of its own for the restart: the kept session above may
  // have old messages redelivered by the broker (its own at least once).
  ASSERT_TRUE(b.start());
  Client after(b.port);
  after.subscribe(T("t/+/up"));
  Centre again(b, "J", {"--state-dir", state});
  ASSERT_NE(again.port, 0);
  std::map<std::string, std::vector<std::string>> late;
  for (const std::string &id : ids) late[id].assign(sent[id].begin() + 35, sent[id].end());
  auto got = [&] {
    std::map<std::string, std::vector<std::string>> m;
    for (const Msg &x : after.all()) m[x.topic.substr(x.topic.size() - 14, 11)].push_back(x.payload);
    return m;
  };
  EXPECT_TRUE(until([&] { return after.all().size() >= 20; }, 15000)) << after.all().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // nothing more comes
  EXPECT_EQ(got(), late) << "what the broker had not taken, once, and nothing it had";
  for (const Msg &m : after.all()) EXPECT_FALSE(user(m, "seq").empty()) << m.payload << ": its record's seq";
}

// The program: `dtucentre --mqtt HOST:PORT` with settings as flags.
TEST_F(MqttTest, ProgramFlags) {
  if (g_dtucentre.empty()) GTEST_SKIP() << "no dtucentre";
  const std::uint16_t udp = free_udp_port();
  Client sub(broker_->port);
  sub.subscribe(T("#"));
  const pid_t pid = spawn({g_dtucentre, "--mqtt", "127.0.0.1:" + std::to_string(broker_->port), "--port",
                           std::to_string(udp), "--mqtt-prefix", g_prefix, "--mqtt-centre", "P", "--quiet"},
                          "/dev/null");
  Msg m;
  ASSERT_TRUE(sub.take(T("c/P/state"), &m, 5000));
  Terminal t(udp);
  t.log_on("13900000006");
  t.send(data("13900000006", "via the program"));
  ASSERT_TRUE(sub.take(T("t/13900000006/up"), &m));
  EXPECT_EQ(m.payload, "via the program");
  EXPECT_TRUE(t.expect(kDataAck));
  Client pub(broker_->port);
  pub.publish(T("t/13900000006/down"), "hello");
  Bytes in;
  ASSERT_TRUE(t.expect(kDown, 3000, &in));
  EXPECT_EQ(std::string(in.begin() + 16, in.end()), "hello");
  EXPECT_EQ(finish(pid), 0);
  EXPECT_TRUE(sub.take(T("t/13900000006/status"), &m, 3000, [](const Msg &x) {
    return json::parse(x.payload)["reason"] == "centre-stopped";
  }));
}

// A broker that knows only MQTT 3.1.1 refuses a version 5 CONNECT with return
// code 1 and hangs up; the centre connects again with 3.1.1 and goes on: its
// first publish (its state) arrives on the 3.1.1 connection.
TEST(MqttFallback, ConnectsWithOldProtocolWhereVersion5IsRefused) {
  g_prefix = "fallback";
  const int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = loopback_tcp::address(0);
  ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(lfd, 4), 0);
  socklen_t len = sizeof sa;
  ::getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len);
  Broker fake("old-broker");  // never started: its port is the fake one's
  fake.port = ntohs(sa.sin_port);
  Centre c(fake, "old");

  // Reads one MQTT packet (at most 5 s); its first byte and body.
  auto packet = [](int fd, std::uint8_t *type, Bytes *body) {
    auto get = [fd](std::uint8_t *b, std::size_t n) {
      for (std::size_t got = 0; got < n;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return false;
        const ssize_t r = ::recv(fd, b + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
      }
      return true;
    };
    std::size_t size = 0;
    std::uint8_t b = 0;
    if (!get(type, 1)) return false;
    for (int shift = 0; shift < 28; shift += 7) {
      if (!get(&b, 1)) return false;
      size |= static_cast<std::size_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) break;
    }
    body->assign(size, 0);
    return size == 0 || get(body->data(), size);
  };
  std::vector<int> levels;
  std::string published;
  for (int attempt = 0; attempt < 2 && published.empty(); ++attempt) {
    pollfd p{lfd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "the centre did not connect (attempt " << attempt + 1 << ")";
    const int fd = ::accept(lfd, nullptr, nullptr);
    std::uint8_t type = 0;
    Bytes body;
    ASSERT_TRUE(packet(fd, &type, &body) && type == 0x10 && body.size() > 6) << "no CONNECT";
    levels.push_back(body[6]);  // after the protocol name 00 04 "MQTT"
    const std::uint8_t refused[] = {0x20, 2, 0, 1}, accepted[] = {0x20, 2, 0, 0};
    const bool old = body[6] == 4;
    ::send(fd, old ? accepted : refused, 4, 0);
    while (old && packet(fd, &type, &body)) {
      if ((type & 0xF0) != 0x30 || body.size() < 2) continue;
      const std::size_t tlen = static_cast<std::size_t>(body[0]) << 8 | body[1];
      published = std::string(body.begin() + 2, body.begin() + 2 + std::min(tlen, body.size() - 2));
      break;
    }
    ::close(fd);
  }
  ::close(lfd);
  EXPECT_EQ(levels, (std::vector<int>{5, 4}));
  EXPECT_EQ(published, T("c/old/state"));
}

// The centre child: a service and a gateway until SIGTERM.
int centre_child(int argc, char **argv) {
  dtu::mqtt::Options o;
  o.port = static_cast<std::uint16_t>(std::atoi(argv[2]));
  o.centre = argv[3];
  o.stats_interval = 1;
  std::string state_dir;
  for (int i = 4; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--prefix" && i + 1 < argc) o.prefix = argv[++i];
    if (a == "--no-claim") o.claim_unknown = false;
    if (a == "--immediate") o.ack_after_broker = false;
    if (a == "--state-dir" && i + 1 < argc) state_dir = argv[++i];
    if (a == "--handover-timeout" && i + 1 < argc) o.handover_timeout = static_cast<unsigned>(std::atoi(argv[++i]));
    if (a == "--tls" && i + 4 < argc) {
      o.port = static_cast<std::uint16_t>(std::atoi(argv[i + 1]));
      o.tls_ca = argv[i + 2];
      o.tls_cert = argv[i + 3];
      o.tls_key = argv[i + 4];
      i += 4;
    }
  }
  dtu::svc::Config cfg;
  cfg.port = 0;
  cfg.state_dir = state_dir;
  dtu::mqtt::adjust(&cfg, o);
  dtu::svc::Service svc(cfg);
  dtu::mqtt::Gateway gw;
  std::string why;
  if (!gw.attach(svc, o, &why) || !svc.start(&why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  std::printf("port %u\n", svc.port());
  std::fflush(stdout);
  static dtu::svc::Service *active = &svc;
  signal(SIGTERM, [](int) { active->stop(); });
  svc.run();
  gw.close();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--centre-child") == 0) return centre_child(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  if (std::system("command -v mosquitto >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "mqtt_test: no mosquitto broker: skipped\n");
    return 77;
  }
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
  g_self = self;
  char tmpl[] = "/tmp/dtumqtt.XXXXXX";
  g_tmp = mkdtemp(tmpl);
  mosquitto_lib_init();
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new SharedBroker);
  if (argc > 1) g_dtusim = argv[1];
  if (argc > 2) g_dtucentre = argv[2];
  const int rc = RUN_ALL_TESTS();
  mosquitto_lib_cleanup();
  if (rc == 0) std::system(("rm -rf " + g_tmp).c_str());
  else std::fprintf(stderr, "mqtt_test: brokers' logs kept in %s\n", g_tmp.c_str());
  return rc;
}
