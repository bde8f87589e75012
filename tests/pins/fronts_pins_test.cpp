// What the front ends write: the name of every event kind, terminal IDs with
// hostile bytes in every place an ID is written, every option as a file key
// and as a flag, and every console command against a running service.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>

#include <unistd.h>

#include "dtucentre/console.h"
#include "dtucentre/format.h"
#include "dtucentre/options.h"
#include "counters_json.h"
#include "harness.h"
#include "render.h"

namespace pins {
namespace {

// ---- event names -------------------------------------------------------------

TEST(EventNames, EachKindIsWrittenUnderItsOwnNameEverywhere) {
  const char *const kNames[] = {
      "start", "stop", "logon", "logout", "idle", "closed", "data", "data_reply", "addr_change",
      "duplicate_logon", "invalid_frame", "id_report", "not_logged_on", "param_read", "param_set", "timeout",
      "downlink_queued", "downlink_sent", "downlink_expired", "downlink_dropped", "downlink_delivered",
      "downlink_unconfirmed", "rejected", "wire", "error", "logon_refused", "health"};
  ASSERT_EQ(std::size(kNames), static_cast<std::size_t>(kEventTypeCount));
  for (int i = 0; i < kEventTypeCount; ++i) {
    Event e;
    e.type = static_cast<EventType>(i);
    e.time_ms = 1765219975123;
    e.id = "13900000001";
    SCOPED_TRACE(kNames[i]);
    EXPECT_STREQ(event_name(e.type), kNames[i]);
    EXPECT_EQ(centre::event_json(e)["event"], kNames[i]) << "JSON log";
    EXPECT_EQ(dtu::http::event_json(e)["event"], kNames[i]) << "HTTP and its event stream";
    const std::string line = centre::event_line(e);
    EXPECT_EQ(line.substr(25, std::string(kNames[i]).size() + 1), std::string(kNames[i]) + (i < 2 ? " " : " "))
        << "text log: " << line;
    centre::EventFilter f;
    EXPECT_TRUE(f.set_type(kNames[i], false));
    EXPECT_FALSE(f.shows(e)) << "filter -" << kNames[i];
  }
  EXPECT_STREQ(event_name(static_cast<EventType>(kEventTypeCount)), "unknown");
}

// What a function writes to standard output.
std::string stdout_of(const std::function<void()> &f) {
  char *buf = nullptr;
  std::size_t size = 0;
  std::FILE *mem = open_memstream(&buf, &size);
  std::FILE *old = stdout;
  stdout = mem;
  f();
  stdout = old;
  std::fclose(mem);
  std::string s(buf, size);
  std::free(buf);
  return s;
}

// ---- terminal IDs with hostile bytes ---------------------------------------

// A C0 control, DEL, or a C1 control written in UTF-8.
bool has_control(const std::string &s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < s.size() && (static_cast<unsigned char>(s[i + 1]) & 0xE0) == 0x80) return true;
  }
  return false;
}

struct HostileId {
  std::string raw;
  std::string as_id_text;  // topics, HTTP, event stream, JSON and text log
  std::string as_screen;   // the console's messages
};
const HostileId kHostile[] = {
    {"1+2", "1%2B2", "1+2"},
    {"a/b", "a%2Fb", "a/b"},
    {"#", "%23", "#"},
    {"50%", "50%25", "50%"},
    {"a\\b", "a\\b", "a\\\\b"},
    {"x\x7Fy", "x%7Fy", "x\\x7Fy"},
    {"\x1b[2J", "%1B[2J", "\\x1B[2J"},
    {"\x01\r\n\t", "%01%0D%0A%09", "\\x01\\r\\n\\t"},
    {"q\"", "q\"", "q\""},
    {"\xff\xfe", "%FF%FE", "\\xFF\\xFE"},
    {"\xc2\x9b" "1m", "%C2%9B1m", "\\xC2\\x9B1m"},  // CSI, in UTF-8
};

TEST(HostileIds, EscapedInTopicsHttpLogsAndConsole) {
  for (const HostileId &h : kHostile) {
    SCOPED_TRACE(h.as_id_text);
    EXPECT_EQ(id_text(h.raw), h.as_id_text);
    std::string back;
    ASSERT_TRUE(id_from_text(h.as_id_text, &back));
    EXPECT_EQ(back, h.raw);
    Event e;
    e.type = EventType::kData;
    e.time_ms = 1765219975123;
    e.id = h.raw;
    e.peer = {0x7F000001, 4000};
    e.data = {'o', 'k'};
    const std::string line = centre::event_line(e);
    EXPECT_NE(line.find(" " + h.as_id_text + " "), std::string::npos) << line;
    EXPECT_FALSE(has_control(line)) << line;
    const std::string json = centre::dump(centre::event_json(e));
    EXPECT_FALSE(has_control(json)) << json;
    EXPECT_TRUE(centre::valid_utf8(json));
    const auto jj = centre::Json::parse(json);
    EXPECT_EQ(jj["id"], h.as_id_text);
    const std::string http = dtu::http::dump(dtu::http::event_json(e));
    EXPECT_FALSE(has_control(http)) << http;
    EXPECT_EQ(dtu::http::Json::parse(http)["id"], h.as_id_text);
    e.type = EventType::kRejected;
    EXPECT_FALSE(has_control(centre::event_line(e))) << centre::event_line(e);
  }
}

// Text without its line ends.
std::string lines(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\n'), s.end());
  return s;
}

// A terminal that logs on with such an ID, as the HTTP API and the console's
// list show it.
TEST(HostileIds, ALiveTerminalsIdIsEscapedInTheApiAndTheConsole) {
  Centre c;
  Config cfg;
  cfg.idle_timeout = 0;
  c.start(cfg, true);
  Udp t;
  const std::string id = "a+/#\\\x7f\x1b[2J";
  c.log_on(t, id);
  int status = 0;
  const std::string body = http_get(c.http->port(), "/api/terminals", &status);
  EXPECT_EQ(status, 200);
  EXPECT_FALSE(has_control(lines(body))) << body;
  const auto j = dtu::http::Json::parse(body);
  const auto &rows = j.is_array() ? j : j["terminals"];
  ASSERT_EQ(rows.size(), 1u) << body;
  EXPECT_EQ(rows[0]["id"], "a%2B%2F%23\\%7F%1B[2J");
  EXPECT_EQ(http_get(c.http->port(), "/api/terminals/a%252B%252F%2523%255C%257F%251B%5B2J", &status).empty(), false);
  EXPECT_EQ(status, 200) << "the escaped ID names the terminal in a path";
  const std::string list = c.call([](Service &s) {
    return stdout_of([&] {
      centre::Output o;
      centre::EventFilter f;
      centre::Console con(s, o, f, false);
      con.execute("list");
    });
  });
  EXPECT_FALSE(has_control(lines(list))) << list;
  EXPECT_NE(list.find("a+/#\\\\\\x7F\\x1B[2J"), std::string::npos) << list;
}

// A registered terminal's name and group beside its ID in the text and
// JSON log; nothing for one not registered, nor for a rejected datagram's ID.
TEST(MetaNames, WrittenBesideTheIdOnlyWhenRegistered) {
  TerminalMeta both{"Pump \"3\" \xc3\xa9", "north", "", {}}, name_only{"G", "", "", {}}, neither{"", "", "n", {}};
  struct Case {
    EventType type;
    const TerminalMeta *meta;
    const char *line_has;  // "" : no name= nor group= in the line
    const char *name, *group;  // nullptr: not in the JSON
  };
  const Case cases[] = {
      {EventType::kData, nullptr, "", nullptr, nullptr},
      {EventType::kData, &both, " 127.0.0.1:4000  name=\"Pump \\\"3\\\" \xc3\xa9\"  group=north  bytes=", "Pump \"3\" \xc3\xa9", "north"},
      {EventType::kLogon, &name_only, " 127.0.0.1:4000  name=\"G\"  reported=", "G", nullptr},
      {EventType::kIdle, &neither, "", nullptr, nullptr},
      {EventType::kRejected, &both, "", nullptr, nullptr},
  };
  for (const Case &k : cases) {
    Event e;
    e.type = k.type;
    e.time_ms = 1765219975123;
    e.id = "13900000001";
    e.peer = {0x7F000001, 4000};
    const std::string line = centre::event_line(e, k.meta);
    SCOPED_TRACE(line);
    if (*k.line_has) EXPECT_NE(line.find(k.line_has), std::string::npos);
    else EXPECT_EQ(line, centre::event_line(e)) << "as a terminal not registered";
    const auto j = centre::Json::parse(centre::dump(centre::event_json(e, k.meta)));
    EXPECT_EQ(j.contains("name"), k.name != nullptr);
    EXPECT_EQ(j.contains("group"), k.group != nullptr);
    if (k.name) EXPECT_EQ(j["name"], k.name);
    if (k.group) EXPECT_EQ(j["group"], k.group);
  }
}

// ---- options -------------------------------------------------------------------

centre::ParseResult parse(std::vector<std::string> a, centre::Options *o, std::string *why) {
  a.insert(a.begin(), "dtucentre");
  std::vector<char *> argv;
  for (std::string &s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  return centre::parse_options(static_cast<int>(a.size()), argv.data(), o, why);
}

std::string b(bool v) { return v ? "true" : "false"; }
std::string n(unsigned long long v) { return std::to_string(v); }

struct OptionRow {
  const char *key;
  const char *file_value;   // TOML
  std::string file_expect;
  std::vector<std::string> flag;  // "@" stands for a file holding the row's file_value
  std::string flag_expect;
  std::function<std::string(const centre::Options &)> field;
};

const std::vector<OptionRow> &option_rows() {
  using O = const centre::Options &;
  static const std::vector<OptionRow> rows = {
      {"port", "7001", "7001", {"--port", "7002"}, "7002", [](O o) { return n(o.service.port); }},
      {"bind", "\"127.0.0.2\"", "127.0.0.2", {"--bind", "127.0.0.3"}, "127.0.0.3", [](O o) { return o.service.bind; }},
      {"filter", "[\"10.0.0.1\", \"10.1.0.9\"]", "10.0.0.1,10.1.0.9", {"--config", "@", "--filter", "10.0.0.2"}, "10.0.0.2,",
       [](O o) {
         std::string s;
         for (auto &f : o.service.filters) s += f + ",";
         return o.service.filters.size() > 1 ? s.substr(0, s.size() - 1) : s;
       }},
      {"ack", "false", "false", {"--config", "@", "--ack"}, "true", [](O o) { return b(o.service.ack); }},
      {"idle_timeout", "11", "11", {"--idle-timeout", "12"}, "12", [](O o) { return n(o.service.idle_timeout); }},
      {"request_timeout", "13", "13", {"--request-timeout", "14"}, "14", [](O o) { return n(o.service.request_timeout); }},
      {"downlink_queue", "15", "15", {"--downlink-queue", "16"}, "16", [](O o) { return n(o.service.downlink_queue); }},
      {"downlink_expiry", "17", "17", {"--downlink-expiry", "18"}, "18", [](O o) { return n(o.service.downlink_expiry); }},
      {"downlink_confirm", "false", "false", {"--config", "@", "--downlink-confirm"}, "true",
       [](O o) { return b(o.service.downlink_confirm); }},
      {"downlink_confirm_timeout", "19", "19", {"--downlink-confirm-timeout", "20"}, "20",
       [](O o) { return n(o.service.downlink_confirm_timeout); }},
      {"downlink_retries", "3", "3", {"--downlink-retries", "4"}, "4", [](O o) { return n(o.service.downlink_retries); }},
      {"fleet_max", "21", "21", {"--fleet-max", "22"}, "22", [](O o) { return n(o.service.fleet_max); }},
      {"fleet_forget", "23", "23", {"--fleet-forget", "24"}, "24", [](O o) { return n(o.service.fleet_forget); }},
      // An empty file (read by parse_options) names nothing.
      {"param_names", "\"/dev/null\"", "/dev/null", {"--param-names", "/dev/../dev/null"}, "/dev/../dev/null",
       [](O o) { return o.param_names; }},
      {"receive_buffer", "100000", "100000", {"--receive-buffer", "200000"}, "200000",
       [](O o) { return n(o.service.receive_buffer); }},
      {"param_queue", "5", "5", {"--param-queue", "6"}, "6", [](O o) { return n(o.service.param_queue); }},
      {"address_policy", "\"logon-only\"", "logon-only", {"--config", "@", "--address-policy", "follow"}, "follow",
       [](O o) { return std::string(dtu::svc::policy_name(o.service.address_policy)); }},
      {"allow_list", "\"/tmp/a.list\"", "/tmp/a.list", {"--allow-list", "/tmp/b.list"}, "/tmp/b.list",
       [](O o) { return o.service.allow_list; }},
      {"admit", "\"registry\"", "registry", {"--config", "@", "--admit", "all"}, "all",
       [](O o) { return std::string(o.service.admit_registered_only ? "registry" : "all"); }},
      {"pcap", "\"/tmp/a.pcap\"", "/tmp/a.pcap", {"--pcap", "/tmp/b.pcap"}, "/tmp/b.pcap", [](O o) { return o.service.pcap; }},
      {"pcap_rotate_mb", "5", "5", {"--pcap-rotate-mb", "6"}, "6", [](O o) { return n(o.service.pcap_rotate_mb); }},
      {"pcap_keep", "7", "7", {"--pcap-keep", "8"}, "8", [](O o) { return n(o.service.pcap_keep); }},
      {"trace", "true", "true", {"--trace"}, "true", [](O o) { return b(o.service.trace); }},
      {"recent_frames", "9", "9", {"--recent-frames", "10"}, "10", [](O o) { return n(o.service.recent_frames); }},
      {"state_dir", "\"/tmp/s1\"", "/tmp/s1", {"--state-dir", "/tmp/s2"}, "/tmp/s2",
       [](O o) { return o.service.state_dir; }},
      {"journal_max_mb", "5", "5", {"--journal-max-mb", "6"}, "6", [](O o) { return n(o.service.journal_max_mb); }},
      {"journal_retention", "7", "7", {"--journal-retention", "8"}, "8",
       [](O o) { return n(o.service.journal_retention); }},
      {"journal_full", "\"drop-oldest\"", "drop-oldest", {"--config", "@", "--journal-full", "stop"}, "stop",
       [](O o) { return std::string(o.service.journal_full == JournalFull::kStop ? "stop" : "drop-oldest"); }},
      {"journal_group_ms", "9", "9", {"--journal-group-ms", "10"}, "10", [](O o) { return n(o.service.journal_group_ms); }},
      {"journal_group_records", "11", "11", {"--journal-group-records", "12"}, "12",
       [](O o) { return n(o.service.journal_group_records); }},
      {"log_format", "\"json\"", "json", {"--log-format", "json"}, "json", [](O o) { return o.log_format; }},
      {"log_file", "\"/tmp/a.log\"", "/tmp/a.log", {"--log-file", "/tmp/b.log"}, "/tmp/b.log", [](O o) { return o.log_file; }},
      {"quiet", "true", "true 60", {"--quiet"}, "true 60", [](O o) { return b(o.quiet) + " " + n(o.summary_interval); }},
      {"summary_interval", "25", "25", {"--summary-interval", "26"}, "26", [](O o) { return n(o.summary_interval); }},
      {"simulate", "2", "2", {"--simulate", "3"}, "3", [](O o) { return n(static_cast<unsigned>(o.simulate)); }},
      {"duration", "1.5", "1.5", {"--duration", "2.5"}, "2.5", [](O o) {
         char s[32];
         std::snprintf(s, sizeof s, "%g", o.duration);
         return std::string(s);
       }},
      {"mqtt", "\"127.0.0.1:1884\"", "on 127.0.0.1:1884", {"--mqtt", "127.0.0.2:1885"}, "on 127.0.0.2:1885",
       [](O o) { return std::string(o.mqtt_on ? "on " : "off ") + o.mqtt.host + ":" + n(o.mqtt.port); }},
      {"mqtt_prefix", "\"p1\"", "p1", {"--mqtt-prefix", "p2"}, "p2", [](O o) { return o.mqtt.prefix; }},
      {"mqtt_centre", "\"c1\"", "c1", {"--mqtt-centre", "c2"}, "c2", [](O o) { return o.mqtt.centre; }},
      {"mqtt_client_id", "\"i1\"", "i1", {"--mqtt-client-id", "i2"}, "i2", [](O o) { return o.mqtt.client_id; }},
      {"mqtt_keepalive", "31", "31", {"--mqtt-keepalive", "32"}, "32", [](O o) { return n(o.mqtt.keepalive); }},
      {"mqtt_username", "\"u1\"", "u1", {"--mqtt-username", "u2"}, "u2", [](O o) { return o.mqtt.username; }},
      {"mqtt_password", "\"w1\"", "w1", {"--mqtt-password", "w2"}, "w2", [](O o) { return o.mqtt.password; }},
      {"mqtt_tls_ca", "\"/tmp/ca1\"", "/tmp/ca1", {"--mqtt-tls-ca", "/tmp/ca2"}, "/tmp/ca2", [](O o) { return o.mqtt.tls_ca; }},
      {"mqtt_tls_cert", "\"/tmp/c1\"", "/tmp/c1", {"--mqtt-tls-cert", "/tmp/c2"}, "/tmp/c2",
       [](O o) { return o.mqtt.tls_cert; }},
      {"mqtt_tls_key", "\"/tmp/k1\"", "/tmp/k1", {"--mqtt-tls-key", "/tmp/k2"}, "/tmp/k2", [](O o) { return o.mqtt.tls_key; }},
      {"mqtt_ack", "\"immediate\"", "false", {"--config", "@", "--mqtt-ack", "broker"}, "true",
       [](O o) { return b(o.mqtt.ack_after_broker); }},
      {"mqtt_buffer", "33", "33", {"--mqtt-buffer", "34"}, "34", [](O o) { return n(o.mqtt.buffer); }},
      {"mqtt_stats_interval", "35", "35", {"--mqtt-stats-interval", "36"}, "36", [](O o) { return n(o.mqtt.stats_interval); }},
      {"mqtt_claim_unknown", "false", "false", {"--config", "@", "--mqtt-claim-unknown"}, "true",
       [](O o) { return b(o.mqtt.claim_unknown); }},
      {"mqtt_handover_timeout", "37", "37", {"--mqtt-handover-timeout", "38"}, "38",
       [](O o) { return n(o.mqtt.handover_timeout); }},
      {"http", "\"127.0.0.1:8081\"", "127.0.0.1:8081", {"--http", "127.0.0.1:8082"}, "127.0.0.1:8082",
       [](O o) { return o.http.listen; }},
      {"http_token", "\"t1\"", "t1", {"--http-token", "t2"}, "t2", [](O o) { return o.http.token; }},
      {"http_root", "\"/tmp/r1\"", "/tmp/r1", {"--http-root", "/tmp/r2"}, "/tmp/r2", [](O o) { return o.http.root; }},
      {"http_max_per_client", "3", "3", {"--http-max-per-client", "4"}, "4",
       [](O o) { return n(o.http.max_per_client); }},
      {"http_priority", "\"idle\"", "idle", {"--config", "@", "--http-priority", "normal"}, "normal",
       [](O o) { return o.http.priority; }},
  };
  return rows;
}

TEST(Options, EveryKeyReachesItsFieldFromTheFileAndAsAFlag) {
  // The table covers every key the program takes.
  centre::Options dummy;
  std::string why;
  const std::string keys = stdout_of([&] { EXPECT_EQ(parse({"--list-keys"}, &dummy, &why), centre::ParseResult::kExit0); });
  std::set<std::string> listed, covered;
  for (std::size_t p = 0, q; (q = keys.find('\n', p)) != std::string::npos; p = q + 1) listed.insert(keys.substr(p, q - p));
  for (const OptionRow &r : option_rows()) covered.insert(r.key);
  EXPECT_EQ(listed, covered);

  const std::string path = testing::TempDir() + "pins-options-" + std::to_string(::getpid()) + ".conf";
  const centre::Options defaults;
  for (const OptionRow &r : option_rows()) {
    SCOPED_TRACE(r.key);
    const std::string text = std::string(r.key) + " = " + r.file_value + "\n";
    centre::Options f;
    ASSERT_TRUE(centre::load_config_text(text, "t.conf", &f, &why)) << why;
    if (std::string(r.key) == "quiet") {
      EXPECT_EQ(f.quiet, true);  // the summary interval follows in parse_options
    } else {
      EXPECT_EQ(r.field(f), r.file_expect) << "from the file";
    }
    const bool over_file = r.flag.size() > 1 && r.flag[1] == "@";
    EXPECT_NE(over_file ? r.file_expect : r.field(defaults), r.flag_expect) << "the row must move the field";

    std::FILE *out = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), out);
    std::fclose(out);
    std::vector<std::string> args = r.flag;
    for (std::string &a : args)
      if (a == "@") a = path;
    centre::Options g;
    ASSERT_EQ(parse(args, &g, &why), centre::ParseResult::kRun) << why;
    EXPECT_EQ(r.field(g), r.flag_expect) << "as a flag";
    // The whole file through parse_options too.
    centre::Options h;
    ASSERT_EQ(parse({"--config", path}, &h, &why), centre::ParseResult::kRun) << why;
    EXPECT_EQ(r.field(h), r.file_expect) << "--config";
  }
  std::remove(path.c_str());

  // With the gateway on (acknowledging after the broker) the service does
  // not acknowledge user data itself; with mqtt_ack = immediate it does.
  centre::Options m, i;
  ASSERT_EQ(parse({"--mqtt", "127.0.0.1:1884"}, &m, &why), centre::ParseResult::kRun) << why;
  EXPECT_FALSE(m.service.ack);
  ASSERT_EQ(parse({"--mqtt", "127.0.0.1:1884", "--mqtt-ack", "immediate"}, &i, &why), centre::ParseResult::kRun);
  EXPECT_TRUE(i.service.ack);
}

// ---- the console, against a running service ---------------------------------------

class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    Config cfg;
    cfg.idle_timeout = 0;
    cfg.request_timeout = 30;
    c.start(cfg);
  }
  // Runs one line at the console (JSON mode) and returns its reply.
  centre::Json run(const std::string &line) {
    const std::string out = c.call([&](Service &s) {
      return stdout_of([&] {
        centre::Output o;
        centre::Console con(s, o, filter, true);
        con.execute(line);
      });
    });
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << line << " -> " << out;
    return centre::Json::parse(out);
  }
  std::vector<std::string> ids(const centre::Json &list) {
    std::vector<std::string> v;
    for (auto &t : list["terminals"]) v.push_back(t["id"]);
    return v;
  }
  Centre c;
  centre::EventFilter filter;
};

using Ids = std::vector<std::string>;

TEST_F(Console, ListFiltersCombineAndPrefixesMatchAtTheStartOnly) {
  Udp a, x, off;
  c.log_on(off, "13900000009");
  c.call([](Service &s) { return s.close("13900000009", false); });
  c.log_on(a, "13900000001");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  c.log_on(x, "21390000000");  // holds 139, not at its start
  const std::pair<const char *, Ids> rows[] = {
      {"list", {"13900000001", "13900000009", "21390000000"}},
      {"list online", {"13900000001", "21390000000"}},
      {"list offline", {"13900000009"}},
      {"list 139", {"13900000001", "13900000009"}},
      {"list 139 online", {"13900000001"}},
      {"list 2139", {"21390000000"}},
      {"list 3900", {}},
      {"list idle>2", {"13900000001", "13900000009"}},
      {"list idle<2", {"21390000000"}},
      {"list idle>60", {}},
      {"list idle<60", {"13900000001", "13900000009", "21390000000"}},
      {"list online idle>1 1390", {"13900000001"}},
  };
  for (const auto &[line, want] : rows) {
    const auto j = run(line);
    EXPECT_EQ(j["reply"], "list") << line;
    EXPECT_EQ(ids(j), want) << line;
    EXPECT_EQ(j["shown"], want.size()) << line;
    EXPECT_EQ(j["online"], 2) << line;
  }
  const auto all = run("list");
  EXPECT_EQ(all["terminals"][2]["idle_s"], 0) << "just heard";
  EXPECT_GE(all["terminals"][0]["idle_s"], 2) << "silent for 2.1 s";
  EXPECT_LT(all["terminals"][0]["idle_s"], 60);
}

TEST_F(Console, CommandsDoWhatTheySayAndReplyOnce) {
  Udp a, b;
  c.log_on(a, "13900000001");
  c.log_on(b, "13900000002");
  auto j = run("help");
  std::set<std::string> words;
  for (auto &h : j["commands"]) {
    const std::string u = h["command"];
    words.insert(u.substr(0, u.find(' ')));
  }
  EXPECT_EQ(words, (std::set<std::string>{"list", "send", "sendhex", "close", "closeall", "read", "params", "set", "filter",
                                           "history", "meta", "unmeta", "registry", "stats", "help", "quit"}));

  j = run("send 13900000001 \"a b\\x01\"");
  EXPECT_EQ(j["status"], "sent");
  EXPECT_EQ(j["bytes"], 4);
  auto down = a.receive();
  ASSERT_TRUE(down);
  EXPECT_EQ((*down)[1], 0x89);
  EXPECT_EQ(Bytes(down->end() - 4, down->end()), (Bytes{'a', ' ', 'b', 0x01}));
  a.send(sim::head(0x05, "13900000001"), c.port);
  ASSERT_TRUE(c.wait(EventType::kDownlinkDelivered));
  j = run("sendhex 13900000001 41 42");
  EXPECT_EQ(j["bytes"], 2);
  EXPECT_EQ(a.next_code(), 0x89);
  // An ID never heard: every command that names it is refused unknown-id.
  for (const char *never : {"send 99999999999 hi", "read 99999999999", "set 99999999999 7=1"}) {
    j = run(never);
    EXPECT_EQ(j["ok"], false) << never;
    EXPECT_NE(j["error"].get<std::string>().find("unknown-id"), std::string::npos) << never << ": " << j["error"];
  }

  j = run("read 13900000002");
  EXPECT_EQ(j["ok"], true);
  EXPECT_GT(j["request"], 0);
  EXPECT_EQ(b.next_code(), 0x8B);
  j = run("set 13900000002 7=10 1=abc");
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["values"], 2);
  EXPECT_EQ(b.next_code(), 0x8D);

  j = run("stats");
  const auto want = c.call([](Service &s) { return counters_json(s.counters()); });
  for (auto &[k, v] : want.items()) EXPECT_EQ(j[k].dump(), v.dump()) << k;

  j = run("close 13900000001");
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(a.next_code(300), -1) << "not told without --tell";
  j = run("close 13900000001");
  EXPECT_EQ(j["ok"], false) << "no longer on line";
  j = run("read 13900000001");
  EXPECT_EQ(j["ok"], false);
  EXPECT_NE(j["error"].get<std::string>().find("not on line"), std::string::npos);
  j = run("send 13900000001 later");
  EXPECT_EQ(j["status"], "queued");
  j = run("closeall --tell");
  EXPECT_EQ(j["closed"], 1);
  EXPECT_EQ(b.next_code(), 0x82);
  EXPECT_EQ(c.call([](Service &s) { return s.counters().online; }), 0);
  j = run("quit");
  EXPECT_EQ(j["reply"], "quit");
}

TEST_F(Console, MetaSetsMergesAndUnregistersAndRegistrySelects) {
  struct Step {
    const char *line;
    bool ok;
    const char *want;  // a field's dump (key=value), or a piece of the error
  };
  const Step steps[] = {
      {"meta 13900000001", false, "13900000001 is not registered"},
      {"meta 13900000001 name=\"Pump 3\" group=pumps label:site=north", true, "name=\"Pump 3\""},
      {"meta 13900000001 note='a b'", true, "labels={\"site\":\"north\"}"},  // merged: the rest kept
      {"meta 13900000001", true, "note=\"a b\""},
      {"meta 13900000001 label:site= label:floor=2", true, "labels={\"floor\":\"2\"}"},
      {"meta 13900000001 name=", true, "name=\"\""},
      {"meta 13900000001 group=\"a b\"", false, "group: only letters"},
      {"meta 13900000001 name=\"x\\x1b\"", false, "name: control characters are not allowed"},
      {"meta 13900000001 colour=red", false, "\"colour\" is not name, group, note or label:KEY"},
      {"meta 13900000001 name", false, "is not FIELD=VALUE"},
      {"meta 13900000002 group=meters", true, "group=\"meters\""},
      {"registry", true, "shown=2"},
      {"registry group=pumps", true, "shown=1"},
      {"registry label:floor=2", true, "shown=1"},
      {"registry prefix=1390000000", true, "shown=2"},
      {"registry name=nobody", true, "shown=0"},
      {"registry colour=red", false, "selector: expected all"},
      {"unmeta 13900000002", true, "id=\"13900000002\""},
      {"unmeta 13900000002", false, "13900000002 is not registered"},
      {"registry", true, "shown=1"},
  };
  for (const Step &s : steps) {
    const auto j = run(s.line);
    SCOPED_TRACE(s.line + std::string(" -> ") + j.dump());
    EXPECT_EQ(j["ok"], s.ok);
    if (!s.ok) {
      EXPECT_NE(j["error"].get<std::string>().find(s.want), std::string::npos);
      continue;
    }
    const std::string want = s.want, key = want.substr(0, want.find('='));
    EXPECT_EQ(key + "=" + j[key].dump(), want);
  }
  EXPECT_EQ(run("meta 13900000001")["group"], "pumps") << "a refused change changes nothing";
  EXPECT_EQ(c.call([](Service &s) { return s.registry().size(); }), 1u);
}

TEST_F(Console, FilterChoosesTypesAndIdPrefix) {
  auto j = run("filter -data -wire");
  EXPECT_EQ(j["hidden"], (std::vector<std::string>{"data", "wire"}));
  j = run("filter +data");
  EXPECT_EQ(j["hidden"], (std::vector<std::string>{"wire"}));
  j = run("filter quiet +logon");
  EXPECT_EQ(j["shown"], (std::vector<std::string>{"start", "stop", "logon", "error", "logon_refused", "health"}));
  j = run("filter all id 139");
  EXPECT_TRUE(j["hidden"].empty());
  EXPECT_EQ(j["id_prefix"], "139");
  EXPECT_EQ(run("filter -nonsense")["ok"], false);

  struct Case {
    EventType type;
    const char *id;
    bool shown;
  };
  const Case cases[] = {{EventType::kData, "13900000001", true},
                        {EventType::kData, "21390000000", false},
                        {EventType::kData, "1", false},
                        {EventType::kRejected, "", true},
                        {EventType::kStart, "", true}};
  for (const Case &k : cases) {
    Event e;
    e.type = k.type;
    e.id = k.id;
    EXPECT_EQ(filter.shows(e), k.shown) << k.id;
  }
  run("filter quiet");
  Event data;
  data.type = EventType::kData;
  data.id = "13900000001";
  EXPECT_FALSE(filter.shows(data));
  data.type = EventType::kError;
  EXPECT_TRUE(filter.shows(data));
}

TEST_F(Console, QuietSummaryCountsWhatHappened) {
  Udp a;
  c.log_on(a, "13900000001");
  a.send(data("13900000001", "x"), c.port);
  ASSERT_TRUE(c.wait(EventType::kData));
  a.send({1, 2, 3}, c.port);
  ASSERT_TRUE(c.wait(EventType::kRejected));
  auto line = [&](bool json) {
    return c.call([&](Service &s) {
      centre::Output o;
      centre::Console con(s, o, filter, json);
      return con.summary();
    });
  };
  const auto j = centre::Json::parse(line(true));
  EXPECT_EQ(j["event"], "summary");
  EXPECT_EQ(j["online"], 1);
  EXPECT_EQ(j["datagrams_in"], 3);
  EXPECT_EQ(j["data_in"], 1);
  EXPECT_EQ(j["rejected"], 1);
  const std::string text = line(false);
  EXPECT_NE(text.find("on line 1  datagrams in 3"), std::string::npos) << text;
  EXPECT_NE(text.find("data 1  rejected 1"), std::string::npos) << text;
}

}  // namespace
}  // namespace pins
