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

pid_t spawn(const std::vector<std::string> &args, const std::string &out_file = "") {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!out_file.empty()) {
      FILE *f = std::freopen(out_file.c_str(), "w", stdout);
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
    out = b.dir + "/centre-" + name + ".out";
    std::vector<std::string> args = {g_self, "--centre-child", std::to_string(b.port), name};
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
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  void publish(const std::string &t, const std::string &payload, const std::string &corr = "",
               std::uint32_t expiry = 0) {
    mosquitto_property *props = nullptr;
    if (!corr.empty())
      mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, corr.data(),
                                    static_cast<std::uint16_t>(corr.size()));
    if (expiry) mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, expiry);
    mosquitto_publish_v5(m_, nullptr, t.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false, props);
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

std::string user(const Msg &m, const std::string &name) {
  for (auto &kv : m.user)
    if (kv.first == name) return kv.second;
  return "";
}

// ---- the tests --------------------------------------------------------------

class MqttTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    broker_ = new Broker("shared");
    ASSERT_TRUE(broker_->start()) << "mosquitto did not start";
  }
  static void TearDownTestSuite() {
    delete broker_;
    broker_ = nullptr;
  }
  static Broker *broker_;
};
Broker *MqttTest::broker_ = nullptr;

// Every row of the contract with one centre: presence, uplink with its
// properties and the DataAck after the broker, events, downlinks with
// correlation and results, parameters, the centre's state and stats.
TEST_F(MqttTest, ContractRows) {
  Client sub(broker_->port);
  sub.subscribe("dtu/#");
  Centre c(*broker_, "A");
  ASSERT_NE(c.port, 0);
  Msg m;
  ASSERT_TRUE(sub.take("dtu/c/A/state", &m));
  EXPECT_EQ(m.payload, "online");

  Terminal t(c.port);
  t.log_on("13900000001");
  json st = sub.take_json("dtu/t/13900000001/status");
  EXPECT_EQ(st["online"], true);
  EXPECT_EQ(st["centre"], "A");
  EXPECT_EQ(st["reason"], "logon");
  EXPECT_EQ(st["reported"], "127.0.0.1:0");
  EXPECT_EQ(st["peer"].get<std::string>().rfind("127.0.0.1:", 0), 0u);

  // Uplink: the exact bytes (a NUL inside), properties, DataAck after PUBACK.
  const std::string payload("ab\0\xff", 4);
  t.send(data("13900000001", payload));
  ASSERT_TRUE(sub.take("dtu/t/13900000001/up", &m));
  EXPECT_EQ(m.payload, payload);
  EXPECT_EQ(user(m, "centre"), "A");
  EXPECT_EQ(user(m, "peer"), st["peer"]);
  EXPECT_EQ(user(m, "time").size(), 24u);
  EXPECT_TRUE(t.expect(kDataAck));

  // Events of the terminal.
  t.send(frame(0x05, "13900000001"));  // DataReply
  t.send(frame(0x13, "13900000001"));  // IdReport
  t.send(frame(0x04, "13900000001"));  // the terminal reports an invalid command
  for (const char *name : {"data_reply", "id_report", "invalid_frame"}) {
    ASSERT_TRUE(sub.take("dtu/t/13900000001/event", &m, 4000,
                         [&](const Msg &x) { return json::parse(x.payload)["event"] == name; }))
        << name;
    EXPECT_EQ(json::parse(m.payload)["centre"], "A");
  }
  Terminal other(c.port);
  other.send(data("13900000001", "moved"));  // from another address: followed
  ASSERT_TRUE(sub.take("dtu/t/13900000001/event", &m, 4000,
                       [](const Msg &x) { return json::parse(x.payload)["event"] == "addr_change"; }));
  Terminal stranger(c.port);
  stranger.send(data("13900000077", "x"));
  EXPECT_TRUE(sub.take("dtu/t/13900000077/event", &m, 4000,
                       [](const Msg &x) { return json::parse(x.payload)["event"] == "not_logged_on"; }));
  t.log_on("13900000001");  // back at the first address: another logon while on line
  ASSERT_TRUE(sub.take("dtu/t/13900000001/event", &m, 4000,
                       [](const Msg &x) { return json::parse(x.payload)["event"] == "duplicate_logon"; }));
  EXPECT_TRUE(sub.take("dtu/t/13900000001/status", &m, 4000,
                       [](const Msg &x) { return json::parse(x.payload)["reason"] == "takeover"; }));

  // Downlink on line: sent, with the correlation data back as text.
  sub.clear();
  Client pub(broker_->port);
  pub.publish("dtu/t/13900000001/down", "hello", "c-1");
  Bytes frame_in;
  ASSERT_TRUE(t.expect(kDown, 3000, &frame_in));
  EXPECT_EQ(std::string(frame_in.begin() + 16, frame_in.end()), "hello");
  json r = sub.take_json("dtu/t/13900000001/down/result");
  EXPECT_EQ(r["state"], "sent");
  EXPECT_EQ(r["corr"], "c-1");

  // Parameters: a read answered, a write confirmed.
  pub.publish("dtu/t/13900000001/params/get", R"({"req":7})");
  ASSERT_TRUE(t.expect(kParamRead));
  t.send(param_reply("13900000001"));
  r = sub.take_json("dtu/t/13900000001/params/get/reply");
  EXPECT_EQ(r["req"], 7);
  EXPECT_EQ(r["params"]["7"], 300);
  EXPECT_EQ(r["params"]["5"], "abc");
  pub.publish("dtu/t/13900000001/params/set", R"({"req":"w","params":{"7":10,"5":"xy"}})");
  ASSERT_TRUE(t.expect(kParamSet));
  t.send(frame(0x0D, "13900000001"));
  r = sub.take_json("dtu/t/13900000001/params/set/reply");
  EXPECT_EQ(r["req"], "w");
  EXPECT_EQ(r["ok"], true);

  // Off line: logout is presence; a downlink waits, a short-lived one
  // expires, both get their final result.
  t.send(frame(0x02, "13900000001"));
  st = sub.take_json("dtu/t/13900000001/status");
  EXPECT_EQ(st["online"], false);
  EXPECT_EQ(st["reason"], "logout");
  pub.publish("dtu/t/13900000001/down", "later", "\x01\x02");
  r = sub.take_json("dtu/t/13900000001/down/result");
  EXPECT_EQ(r["state"], "queued");
  EXPECT_EQ(r["corr"], "0102");
  pub.publish("dtu/t/13900000001/down", "brief", "b", 1);
  EXPECT_EQ(sub.take_json("dtu/t/13900000001/down/result")["state"], "queued");
  EXPECT_EQ(sub.take_json("dtu/t/13900000001/down/result", 5000)["state"], "expired");
  pub.publish("dtu/t/13900000001/params/get", "");
  EXPECT_EQ(sub.take_json("dtu/t/13900000001/params/get/reply")["error"], "offline");
  t.log_on("13900000001");
  ASSERT_TRUE(t.expect(kDown, 3000, &frame_in));
  EXPECT_EQ(std::string(frame_in.begin() + 16, frame_in.end()), "later");
  r = sub.take_json("dtu/t/13900000001/down/result");
  EXPECT_EQ(r["state"], "sent");
  EXPECT_EQ(r["corr"], "0102");

  // The centre's counters, retained.
  json stats = sub.take_json("dtu/c/A/stats", 4000);
  EXPECT_TRUE(stats.contains("datagrams_in"));

  // A clean stop: every terminal on line marked, the centre offline.
  sub.clear();
  EXPECT_EQ(c.stop(), 0);
  st = sub.take_json("dtu/t/13900000001/status");
  EXPECT_EQ(st["reason"], "centre-stopped");
  EXPECT_EQ(st["online"], false);
  ASSERT_TRUE(sub.take("dtu/c/A/state", &m));
  EXPECT_EQ(m.payload, "offline");
}

// Malformed commands: an error reply each, nothing to the terminal.
TEST_F(MqttTest, MalformedCommandsAnsweredNothingSent) {
  Client sub(broker_->port);
  sub.subscribe("dtu/t/#");
  Centre c(*broker_, "M");
  Terminal t(c.port);
  t.log_on("13900000002");
  sub.take_json("dtu/t/13900000002/status");
  Client pub(broker_->port);
  // Statuses anyone may publish: ignored or taken without harm.
  for (const char *bad : {"{", R"({"centre":7})", R"({"centre":"X","online":"yes","since":1})", "[]"})
    pub.publish("dtu/t/13900000099/status", bad);
  struct Case {
    const char *topic, *payload, *reply_topic, *field, *want;
  } cases[] = {
      {"dtu/t/13900000002/params/set", "{not json", "dtu/t/13900000002/params/set/reply", "error", "bad-json"},
      {"dtu/t/13900000002/params/get", "[1,", "dtu/t/13900000002/params/get/reply", "error", "bad-json"},
      {"dtu/t/13900000002/params/set", R"({"params":{"99":1}})", "dtu/t/13900000002/params/set/reply", "error",
       "tag 99"},
      {"dtu/t/13900000002/params/set", R"({"params":{"7":70000}})", "dtu/t/13900000002/params/set/reply", "error",
       "tag 7"},
      {"dtu/t/139000000021234/down", "x", "dtu/t/139000000021234/down/result", "reason", "bad-id"},
      {"dtu/t/%ZZ/params/get", "", "dtu/t/%ZZ/params/get/reply", "error", "bad-id"},
  };
  for (const Case &k : cases) {
    pub.publish(k.topic, k.payload);
    json r = sub.take_json(k.reply_topic);
    ASSERT_TRUE(r.is_object()) << k.topic << " " << k.payload;
    EXPECT_EQ(r[k.field].get<std::string>().rfind(k.want, 0), 0u) << r.dump();
  }
  pub.publish("dtu/t/13900000002/down", std::string(1025, 'x'));
  json r = sub.take_json("dtu/t/13900000002/down/result");
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
    sub.subscribe("dtu/t/13900000003/status");
    ASSERT_TRUE(sub.take("dtu/t/13900000003/status", nullptr));
  }
  b.stop();
  t.send(data("13900000003", "kept"));
  EXPECT_TRUE(t.expect(kDataAck, 1000));
  std::remove((b.dir + "/mosquitto.db").c_str());
  ASSERT_TRUE(b.start());
  Client sub(b.port);  // before the centre's next attempt (its pause has grown to a second or more)
  sub.subscribe("dtu/#");
  Msg m;
  ASSERT_TRUE(sub.take("dtu/t/13900000003/up", &m, 8000));
  EXPECT_EQ(m.payload, "kept");
  ASSERT_TRUE(sub.take("dtu/t/13900000003/status", nullptr, 8000));
  // A consumer that comes later finds them retained.
  Client late(b.port);
  late.subscribe("dtu/#");
  ASSERT_TRUE(late.take("dtu/t/13900000003/status", &m, 4000, [](const Msg &x) { return x.retain; }));
  EXPECT_EQ(json::parse(m.payload)["online"], true);
  ASSERT_TRUE(late.take("dtu/c/R/state", &m, 2000, [](const Msg &x) { return x.retain; }));
  EXPECT_EQ(m.payload, "online");
}

// Two centres on one broker: a terminal moves from A to B; the downlink
// queued at A follows it, and later downlinks go to B only.
TEST_F(MqttTest, TwoCentresTerminalMoves) {
  Client sub(broker_->port);
  sub.subscribe("dtu/t/13900000004/#");
  Centre a(*broker_, "A2");
  Centre b(*broker_, "B2", {"--no-claim"});
  Terminal t(a.port);
  t.log_on("13900000004");
  ASSERT_EQ(sub.take_json("dtu/t/13900000004/status")["centre"], "A2");
  t.send(frame(0x02, "13900000004"));  // off line at A
  ASSERT_EQ(sub.take_json("dtu/t/13900000004/status")["online"], false);
  Client pub(broker_->port);
  pub.publish("dtu/t/13900000004/down", "follow me", "f");
  ASSERT_EQ(sub.take_json("dtu/t/13900000004/down/result")["state"], "queued");

  t.retarget(b.port);
  t.log_on("13900000004");
  Bytes in;
  ASSERT_TRUE(t.expect(kDown, 5000, &in)) << "the queued downlink did not follow";
  EXPECT_EQ(std::string(in.begin() + 16, in.end()), "follow me");
  json r = sub.take_json("dtu/t/13900000004/down/result", 4000);
  EXPECT_EQ(r["state"], "sent");
  EXPECT_EQ(r["corr"], "f");
  pub.publish("dtu/t/13900000004/down", "second");
  ASSERT_TRUE(t.expect(kDown, 3000, &in));
  EXPECT_EQ(std::string(in.begin() + 16, in.end()), "second");
  EXPECT_EQ(t.receive(500), -1) << "a downlink went twice";
  EXPECT_EQ(sub.take_json("dtu/t/13900000004/down/result")["state"], "sent");
  EXPECT_FALSE(sub.take("dtu/t/13900000004/down/result", nullptr, 500)) << "two centres answered";
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
  sub.subscribe("dtu/#");
  Centre c(b, "T", {"--tls", std::to_string(b.tls_port), d + "/ca.pem", d + "/client.pem", d + "/client.key"});
  Terminal t(c.port);
  t.log_on("13900000005");
  t.send(data("13900000005", "over tls"));
  Msg m;
  ASSERT_TRUE(sub.take("dtu/t/13900000005/up", &m, 8000));
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
  sub->subscribe("dtu/t/+/up");
  const pid_t sim = spawn({g_dtusim, "--centre", "127.0.0.1:" + std::to_string(c.port), "-n", "100", "--rate", "1",
                           "--payload", "32", "--duration", "14", "--retry", "20", "--ack-timeout", "2"},
                          sim_out);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  b.stop();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  ASSERT_TRUE(b.start());
  finish(sim, 0);
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
  EXPECT_GT(acked, 1000);
}

// The program: `dtucentre --mqtt HOST:PORT` with settings as flags.
TEST_F(MqttTest, ProgramFlags) {
  if (g_dtucentre.empty()) GTEST_SKIP() << "no dtucentre";
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = loopback_tcp::address(0);
  ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  ::close(fd);
  const std::uint16_t udp = ntohs(sa.sin_port);
  Client sub(broker_->port);
  sub.subscribe("fleet/#");
  const pid_t pid = spawn({g_dtucentre, "--mqtt", "127.0.0.1:" + std::to_string(broker_->port), "--port",
                           std::to_string(udp), "--mqtt-prefix", "fleet", "--mqtt-centre", "P", "--quiet"},
                          "/dev/null");
  Msg m;
  ASSERT_TRUE(sub.take("fleet/c/P/state", &m, 5000));
  Terminal t(udp);
  t.log_on("13900000006");
  t.send(data("13900000006", "via the program"));
  ASSERT_TRUE(sub.take("fleet/t/13900000006/up", &m));
  EXPECT_EQ(m.payload, "via the program");
  EXPECT_TRUE(t.expect(kDataAck));
  Client pub(broker_->port);
  pub.publish("fleet/t/13900000006/down", "hello");
  Bytes in;
  ASSERT_TRUE(t.expect(kDown, 3000, &in));
  EXPECT_EQ(std::string(in.begin() + 16, in.end()), "hello");
  EXPECT_EQ(finish(pid), 0);
  EXPECT_TRUE(sub.take("fleet/t/13900000006/status", &m, 3000, [](const Msg &x) {
    return json::parse(x.payload)["reason"] == "centre-stopped";
  }));
}

// A broker that knows only MQTT 3.1.1 refuses a version 5 CONNECT with return
// code 1 and hangs up; the centre connects again with 3.1.1 and goes on: its
// first publish (its state) arrives on the 3.1.1 connection.
TEST(MqttFallback, ConnectsWithOldProtocolWhereVersion5IsRefused) {
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
  EXPECT_EQ(published, "dtu/c/old/state");
}

// The centre child: a service and a gateway until SIGTERM.
int centre_child(int argc, char **argv) {
  dtu::mqtt::Options o;
  o.port = static_cast<std::uint16_t>(std::atoi(argv[2]));
  o.centre = argv[3];
  o.stats_interval = 1;
  for (int i = 4; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-claim") o.claim_unknown = false;
    if (a == "--immediate") o.ack_after_broker = false;
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
  if (argc > 1) g_dtusim = argv[1];
  if (argc > 2) g_dtucentre = argv[2];
  const int rc = RUN_ALL_TESTS();
  mosquitto_lib_cleanup();
  if (rc == 0) std::system(("rm -rf " + g_tmp).c_str());
  else std::fprintf(stderr, "mqtt_test: brokers' logs kept in %s\n", g_tmp.c_str());
  return rc;
}
