// Every counter of the service, as the stats JSON and as /metrics show it:
// one row per cause, and each figure must move by exactly what the row says
// (datagrams and bytes by what the terminals sent and received), every other
// figure not at all.  Then the times of first and last hearing a terminal,
// and the write side of parameter timeouts.
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>

#include "counters_json.h"
#include "harness.h"

namespace pins {
namespace {

const std::string A = "13900000001";

using Figures = std::map<std::string, long long>;

// The stats JSON (keys as they are, "rejected.REASON") and the service's own
// /metrics samples (the HTTP server's and the process's left out).
Figures figures(Centre &c) {
  Figures f;
  const auto j = c.call([](Service &s) { return counters_json(s.counters()); });
  for (auto &[k, v] : j.items()) {
    if (v.is_object())
      for (auto &[r, n] : v.items()) f["rejected." + r] = n.get<long long>();
    else
      f[k] = v.get<long long>();
  }
  int status = 0;
  std::istringstream metrics(http_get(c.http->port(), "/metrics", &status));
  EXPECT_EQ(status, 200);
  for (std::string line; std::getline(metrics, line);) {
    if (line.rfind("dtu_", 0) != 0 || line.rfind("dtu_http_", 0) == 0) continue;
    // The health rows' figures are gauges refreshed by the once-a-second
    // tick: they follow the counters above, a tick late.
    if (line.rfind("dtu_health_", 0) == 0 || line.rfind("dtu_table_", 0) == 0 ||
        line.rfind("dtu_socket_", 0) == 0)
      continue;
    const std::size_t sp = line.rfind(' ');
    f[line.substr(0, sp)] = std::stoll(line.substr(sp + 1));
  }
  return f;
}

struct World {
  Centre c;
  Udp t, u;  // a terminal, and a second socket (another address)
};

struct Row {
  const char *name;
  std::function<void(Config &)> config;
  std::function<void(World &)> before;  // not counted
  std::function<void(World &)> action;  // counted; waits for what it causes
  Figures moves;                        // besides datagrams and bytes
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

const auto none = [](World &) {};
const auto plain = [](Config &) {};
const auto on_line = [](World &w) { w.c.log_on(w.t, A); };

Figures in(const std::string &kind) { return {{"dtu_frames_in_total{kind=\"" + kind + "\"}", 1}}; }
Figures merge(std::initializer_list<Figures> parts) {
  Figures f;
  for (const Figures &p : parts)
    for (auto &[k, v] : p) f[k] += v;
  return f;
}
const Figures kAck = {{"acks", 1}, {"dtu_frames_out_total{kind=\"acks\"}", 1}};
const Figures kOnline = {{"online", 1}, {"dtu_terminals_online", 1}};
const Figures kOffline = {{"online", -1}, {"dtu_terminals_online", -1}};
const Figures kKnown = {{"terminals_known", 1}, {"dtu_terminals_known", 1}};
Figures rejected(const std::string &reason) {
  return {{"rejected." + reason, 1}, {"dtu_rejected_total{reason=\"" + reason + "\"}", 1}};
}
Figures downlinks(const std::string &state, const std::string &json) {
  return {{json, 1}, {"dtu_downlinks_total{state=\"" + state + "\"}", 1}};
}

void expect_event(World &w, EventType type) { ASSERT_TRUE(w.c.wait(type, "", 6000)) << event_name(type); }
ParamValue tag7(const char *v) {
  ParamValue p;
  std::string why;
  EXPECT_TRUE(parse_assignment(std::string("7=") + v, &p, &why)) << why;
  return p;
}

const Row kRows[] = {
    {"logon", plain, none,
     [](World &w) { w.c.log_on(w.t, A); },
     merge({{{"logons", 1}}, in("logon"), kAck, kOnline, kKnown})},
    {"logout", plain, on_line,
     [](World &w) {
       w.t.send(sim::head(0x02, A), w.c.port);
       expect_event(w, EventType::kLogout);
     },
     // the centre answers a logout with a LogoutCmd
     merge({{{"logouts", 1}}, in("logout"), kOffline, {{"dtu_frames_out_total{kind=\"commands\"}", 1}}})},
    {"user data", plain, on_line,
     [](World &w) {
       w.t.send(data(A, "hello"), w.c.port);
       expect_event(w, EventType::kData);
     },
     merge({{{"data", 1}}, in("data"), kAck})},
    {"user data unacknowledged", [](Config &c) { c.ack = false; }, on_line,
     [](World &w) {
       w.t.send(data(A, "hello"), w.c.port);
       expect_event(w, EventType::kData);
     },
     merge({{{"data", 1}}, in("data")})},
    {"data reply", plain, on_line,
     [](World &w) {
       w.t.send(sim::head(0x05, A), w.c.port);
       expect_event(w, EventType::kDataReply);
     },
     in("data_reply")},
    {"invalid command report", plain, on_line,
     [](World &w) {
       w.t.send(sim::head(0x04, A), w.c.port);
       expect_event(w, EventType::kInvalidFrame);
     },
     in("invalid")},  // a terminal's report of our fault gets no answer
    {"unknown code", plain, on_line,
     [](World &w) {
       w.t.send(sim::head(0x77, A), w.c.port);
       expect_event(w, EventType::kInvalidFrame);
     },
     merge({in("other"), kAck})},
    {"id report", plain, on_line,
     [](World &w) {
       w.t.send(sim::head(0x13, A), w.c.port);
       expect_event(w, EventType::kIdReport);
     },
     in("id_report")},
    {"parameter read answered", plain, on_line,
     [](World &w) {
       w.c.call([](Service &s) { return s.read_params(A); });
       ASSERT_EQ(w.t.next_code(), 0x8B);
       w.t.send(sim::frame_with_body(0x0B, A, {7, 4, 0, 42}), w.c.port);
       expect_event(w, EventType::kParamRead);
     },
     merge({in("param_read"), {{"dtu_frames_out_total{kind=\"params\"}", 1}}})},
    {"parameter write answered", plain, on_line,
     [](World &w) {
       w.c.call([](Service &s) { return s.write_params(A, {tag7("10")}); });
       ASSERT_EQ(w.t.next_code(), 0x8D);
       w.t.send(sim::head(0x0D, A), w.c.port);
       expect_event(w, EventType::kParamSet);
     },
     merge({in("param_set"), {{"dtu_frames_out_total{kind=\"params\"}", 1}}})},
    {"parameter read timed out", plain, on_line,
     [](World &w) {
       w.c.call([](Service &s) { return s.read_params(A); });
       expect_event(w, EventType::kTimeout);
     },
     {{"param_timeouts", 1}, {"dtu_param_timeouts_total", 1}, {"dtu_frames_out_total{kind=\"params\"}", 1}}},
    {"parameter write timed out", plain, on_line,
     [](World &w) {
       w.c.call([](Service &s) { return s.write_params(A, {tag7("10")}); });
       expect_event(w, EventType::kTimeout);
     },
     {{"param_timeouts", 1}, {"dtu_param_timeouts_total", 1}, {"dtu_frames_out_total{kind=\"params\"}", 1}}},
    {"downlink delivered", plain, on_line,
     [](World &w) {
       w.c.call([](Service &s) { return s.send(A, "hi", 2).status; });
       ASSERT_EQ(w.t.next_code(), 0x89);
       w.t.send(sim::head(0x05, A), w.c.port);
       expect_event(w, EventType::kDownlinkDelivered);
     },
     merge({downlinks("sent", "downlinks_sent"), downlinks("delivered", "downlinks_delivered"), in("data_reply"),
            {{"dtu_frames_out_total{kind=\"downlinks\"}", 1}}})},
    {"downlink resent, then unconfirmed",
     [](Config &c) {
       c.downlink_confirm_timeout = 1;
       c.downlink_retries = 1;
     },
     on_line,
     [](World &w) {
       w.c.call([](Service &s) { return s.send(A, "hi", 2).status; });
       expect_event(w, EventType::kDownlinkUnconfirmed);
     },
     merge({downlinks("sent", "downlinks_sent"), downlinks("unconfirmed", "downlinks_unconfirmed"),
            {{"downlinks_resent", 1}, {"dtu_downlinks_resent_total", 1}},
            {{"dtu_frames_out_total{kind=\"downlinks\"}", 2}}})},
    {"downlink queued for a terminal off line", plain,
     [](World &w) {
       w.c.log_on(w.t, A);
       w.c.call([](Service &s) { return s.close(A, false); });
     },
     [](World &w) {
       EXPECT_EQ(w.c.call([](Service &s) { return s.send(A, "hi", 2).status; }), SendStatus::kQueued);
     },
     merge({downlinks("queued", "downlinks_queued"), {{"dtu_downlink_queue_length", 1}}})},
    {"queued downlink expired", plain,
     [](World &w) {
       w.c.log_on(w.t, A);
       w.c.call([](Service &s) { return s.close(A, false); });
       w.c.call([](Service &s) { return s.send(A, "hi", 2, 1).status; });
     },
     [](World &w) { expect_event(w, EventType::kDownlinkExpired); },
     merge({downlinks("expired", "downlinks_expired"), {{"dtu_downlink_queue_length", -1}}})},
    {"downlink dropped, the queue full", [](Config &c) { c.downlink_queue = 1; },
     [](World &w) {
       w.c.log_on(w.t, A);
       w.c.call([](Service &s) { return s.close(A, false); });
       w.c.call([](Service &s) { return s.send(A, "hi", 2).status; });
     },
     [](World &w) {
       EXPECT_EQ(w.c.call([](Service &s) { return s.send(A, "hi", 2).status; }), SendStatus::kDropped);
     },
     downlinks("dropped", "downlinks_dropped")},
    {"queued downlink sent when the terminal is heard", plain,
     [](World &w) {
       w.c.log_on(w.t, A);
       w.c.call([](Service &s) { return s.close(A, false); });
       w.c.call([](Service &s) { return s.send(A, "hi", 2).status; });
     },
     [](World &w) {
       w.c.log_on(w.t, A);
       ASSERT_EQ(w.t.next_code(), 0x89);
       expect_event(w, EventType::kDownlinkSent);
     },
     merge({{{"logons", 1}}, in("logon"), kAck, kOnline, downlinks("sent", "downlinks_sent"),
            {{"dtu_frames_out_total{kind=\"downlinks\"}", 1}, {"dtu_downlink_queue_length", -1}}})},
    {"address change", plain, on_line,
     [](World &w) {
       w.u.send(data(A, "moved"), w.c.port);
       expect_event(w, EventType::kAddrChange);
     },
     merge({{{"data", 1}}, in("data"), kAck, {{"addr_changes", 1}, {"dtu_addr_changes_total", 1}}})},
    {"duplicate logon", plain, on_line,
     [](World &w) {
       w.u.send(logon(A), w.c.port);
       expect_event(w, EventType::kDuplicateLogon);
     },
     merge({{{"logons", 1}}, in("logon"), kAck, {{"duplicate_logons", 1}, {"dtu_duplicate_logons_total", 1}}})},
    {"idle expiry", [](Config &c) { c.idle_timeout = 1; }, on_line,
     [](World &w) { expect_event(w, EventType::kIdle); },
     merge({kOffline, {{"idle_expiries", 1}, {"dtu_idle_expiries_total", 1}}})},
    {"operator close, telling the terminal", plain, on_line,
     [](World &w) {
       EXPECT_TRUE(w.c.call([](Service &s) { return s.close(A, true); }));
       ASSERT_EQ(w.t.next_code(), 0x82);
     },
     merge({kOffline, {{"dtu_frames_out_total{kind=\"commands\"}", 1}}})},
    {"forgotten", [](Config &c) { c.fleet_forget = 1; },
     [](World &w) {
       w.c.log_on(w.t, A);
       w.c.call([](Service &s) { return s.close(A, false); });
     },
     [](World &w) {
       for (int i = 0; i < 60 && w.c.call([](Service &s) { return s.counters().terminals_forgotten; }) == 0; ++i)
         std::this_thread::sleep_for(std::chrono::milliseconds(100));
     },
     merge({{{"terminals_forgotten", 1}, {"dtu_terminals_forgotten_total", 1}},
            {{"terminals_known", -1}, {"dtu_terminals_known", -1}}})},
    {"short datagram", plain, none,
     [](World &w) {
       w.t.send({0x7B, 0x01, 0x00}, w.c.port);
       expect_event(w, EventType::kRejected);
     },
     rejected("short")},
    {"datagram over the largest frame", plain, none,
     [](World &w) {
       w.t.send(Bytes(2000, 0x7B), w.c.port);
       expect_event(w, EventType::kRejected);
     },
     rejected("too-large")},
    {"frame without its end mark", plain, none,
     [](World &w) {
       Bytes b = sim::head(0x09, A);
       b.back() = 0x00;
       w.t.send(b, w.c.port);
       expect_event(w, EventType::kRejected);
     },
     rejected("bad-frame")},
};

// One test per row, so that the rows run side by side.
class Counters : public ::testing::TestWithParam<Row> {};

TEST_P(Counters, EachFigureMovesByExactlyItsCause) {
  {
    const Row &row = GetParam();
    World w;
    Config c;
    c.idle_timeout = 0;
    c.request_timeout = 1;
    row.config(c);
    w.c.start(c, true);
    row.before(w);
    w.t.drain(50);
    const Figures before = figures(w.c);
    traffic() = {};
    row.action(w);
    w.t.drain();
    w.u.drain(50);
    const Figures after = figures(w.c);

    Figures want = row.moves;
    const Traffic tr = traffic();
    for (const char *k : {"datagrams_in", "dtu_datagrams_total{direction=\"in\"}"}) want[k] += tr.sent;
    for (const char *k : {"bytes_in", "dtu_bytes_total{direction=\"in\"}"}) want[k] += tr.sent_bytes;
    for (const char *k : {"datagrams_out", "dtu_datagrams_total{direction=\"out\"}"}) want[k] += tr.received;
    for (const char *k : {"bytes_out", "dtu_bytes_total{direction=\"out\"}"}) want[k] += tr.received_bytes;
    for (auto &[k, v] : want) ASSERT_TRUE(after.count(k) || v == 0) << "no figure " << k;
    for (auto &[k, v] : after) {
      const auto b = before.find(k);
      const long long moved = v - (b == before.end() ? 0 : b->second);
      const auto w_it = want.find(k);
      EXPECT_EQ(moved, w_it == want.end() ? 0 : w_it->second) << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, Counters, ::testing::ValuesIn(kRows), [](const auto &info) {
  std::string n = info.param.name;
  for (char &ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
});

// ---- first and last seen ------------------------------------------------

TEST(FleetTimes, FirstSeenStaysLastSeenFollowsAcceptedDatagramsOnly) {
  Centre c;
  Config cfg;
  cfg.idle_timeout = 0;
  cfg.address_policy = dtu::svc::AddressPolicy::kLogonOnly;
  c.start(cfg);
  Udp t, other;
  auto times = [&] {
    return c.call([](Service &s) {
      const Terminal *t = s.find(A);
      return t ? std::make_pair(t->first_seen_ms, t->last_seen_ms) : std::make_pair<std::int64_t, std::int64_t>(-1, -1);
    });
  };
  EXPECT_EQ(times().first, -1) << "never heard: no entry";
  const std::int64_t t0 = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  c.log_on(t, A);
  const auto first = times();
  EXPECT_GE(first.first, t0 - 5);
  EXPECT_EQ(first.first, first.second) << "the logon sets both";

  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  t.send(data(A, "x"), c.port);
  ASSERT_TRUE(c.wait(EventType::kData, A));
  const auto second = times();
  EXPECT_EQ(second.first, first.first) << "first seen does not move";
  EXPECT_GE(second.second, first.second + 25) << "last seen follows accepted data";

  // Refused: another address under logon-only, and a malformed frame.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  other.send(data(A, "forged"), c.port);
  ASSERT_TRUE(c.wait(EventType::kRejected));
  Bytes bad = sim::head(0x09, A);
  bad.back() = 0;
  t.send(bad, c.port);
  ASSERT_TRUE(c.wait(EventType::kRejected));
  EXPECT_EQ(times(), second) << "refused datagrams are no sign of life";
}

// ---- a parameter write to a silent terminal ----------------------------------

TEST(ParamTimeouts, AWriteToASilentTerminalEndsTimeoutWithEventCallbackAndCount) {
  Centre c;
  Config cfg;
  cfg.idle_timeout = 0;
  cfg.request_timeout = 2;
  c.start(cfg);
  Udp t;
  c.log_on(t, A);
  auto result = std::make_shared<std::promise<ParamResult>>();
  const std::uint64_t h = c.call([&](Service &s) {
    return s.write_params(A, {tag7("10")}, [result](const ParamResult &r) { result->set_value(r); });
  });
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_EQ(t.next_code(), 0x8D);
  auto fut = result->get_future();
  ASSERT_EQ(fut.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  // Not before its time (a lower bound only: a busy machine makes it later).
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1950));
  const ParamResult r = fut.get();
  EXPECT_FALSE(r.ok);
  EXPECT_STREQ(dtu::svc::result_name(r.error), "timeout");
  EXPECT_EQ(r.request, h);
  EXPECT_EQ(r.id, A);
  auto e = c.wait(EventType::kTimeout, A, 100);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->reason, "param_set");
  EXPECT_EQ(e->request, h);
  EXPECT_EQ(c.count(EventType::kParamSet), 0u);
  EXPECT_EQ(c.call([](Service &s) { return s.counters().param_timeouts; }), 1u);
  // The write is over: the next one goes out.
  c.call([&](Service &s) { return s.write_params(A, {tag7("11")}); });
  EXPECT_EQ(t.next_code(), 0x8D);
}

}  // namespace
}  // namespace pins
