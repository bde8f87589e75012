// The centre's parts that need no network: options and configuration,
// command-line words, escaping of a terminal's bytes, the input splitter,
// command replies to bad input, the log's writer and its reject limiter,
// and the simulator's report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dtucentre/console.h"
#include "dtucentre/format.h"
#include "dtucentre/input.h"
#include "dtucentre/options.h"
#include "dtucentre/output.h"
#include "dtucentre/rejects.h"
#include "sim/fleet.h"

namespace {

centre::ParseResult parse(std::vector<std::string> a, centre::Options *o, std::string *why) {
  a.insert(a.begin(), "dtucentre");
  std::vector<char *> argv;
  for (std::string &s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  return centre::parse_options(static_cast<int>(a.size()), argv.data(), o, why);
}

// The flags, after --config FILE holding `file` when it is not null.
centre::ParseResult parse_over(std::vector<std::string> args, const char *file, centre::Options *o,
                               std::string *why) {
  const std::string path = testing::TempDir() + "centre-rows-" + std::to_string(::getpid()) + ".conf";
  if (file != nullptr) {
    std::ofstream(path) << file;
    args.insert(args.begin(), {"--config", path});
  }
  const centre::ParseResult r = parse(args, o, why);
  std::remove(path.c_str());
  return r;
}

TEST(Options, BadValuesAreRefusedNamingTheArgument) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--port", "5590x"}, "--port"},          {{"--port", "4294967298"}, "--port"},
      {{"-p", "-1"}, "--port"},                 {{"--duration", "-1"}, "--duration"},
      {{"--duration", "nan"}, "--duration"},    {{"--duration", "inf"}, "--duration"},
      {{"--idle-timeout", "0x10"}, "--idle-timeout"}, {{"--simulate", "501"}, "--simulate"},
      {{"--request-timeout", "0"}, "--request-timeout"}, {{"--log-format", "xml"}, "--log-format"},
      {{"--address-policy", "any"}, "--address-policy"}, {{"--nonsense"}, "--nonsense"},
      {{"--port"}, "--port"},                   {{"extra"}, "extra"},
  };
  for (const auto &[args, name] : bad) {
    centre::Options o;
    std::string why;
    EXPECT_EQ(parse(args, &o, &why), centre::ParseResult::kBad) << args[0];
    EXPECT_NE(why.find(name), std::string::npos) << args[0] << ": " << why;
  }
}

TEST(Options, FlagsWinOverTheFileAndUnknownKeysAreRefused) {
  centre::Options o;
  std::string why;
  ASSERT_TRUE(centre::load_config_text("port = 7000\nidle_timeout = 20\nfilter = [\"10.0.0.1\"]\n"
                                       "log_format = \"json\"\nack = false\n", "t.conf", &o, &why)) << why;
  EXPECT_EQ(o.service.port, 7000);
  EXPECT_EQ(o.service.idle_timeout, 20u);
  EXPECT_EQ(o.service.filters, std::vector<std::string>{"10.0.0.1"});
  EXPECT_FALSE(o.service.ack);
  EXPECT_EQ(o.log_format, "json");

  const std::pair<const char *, const char *> bad[] = {
      {"prot = 1\n", "\"prot\""},            {"port = \"x\"\n", "port"},
      {"port = 70000\n", "port"},            {"idle_timeout = -5\n", "idle_timeout"},
      {"ack = 1\n", "ack"},                  {"port = \n", "t.conf:1"},
  };
  for (const auto &[text, name] : bad) {
    centre::Options b;
    EXPECT_FALSE(centre::load_config_text(text, "t.conf", &b, &why)) << text;
    EXPECT_NE(why.find(name), std::string::npos) << text << ": " << why;
  }

  const std::string path = testing::TempDir() + "centre-test-" + std::to_string(::getpid()) + ".conf";
  std::FILE *f = std::fopen(path.c_str(), "w");
  std::fputs("port = 7000\nidle_timeout = 20\n", f);
  std::fclose(f);
  centre::Options c;
  ASSERT_EQ(parse({"--config", path, "--port", "7001"}, &c, &why), centre::ParseResult::kRun) << why;
  EXPECT_EQ(c.service.port, 7001);
  EXPECT_EQ(c.service.idle_timeout, 20u);
  std::remove(path.c_str());
}

// Values the centre could not use at its start (or would misread) are bad
// arguments, exit code 2, naming what is wrong; the rows beside them that
// must still run.
TEST(Options, ValuesTheCentreCannotUseAreRefusedAtOnce) {
  struct Row {
    std::vector<std::string> args;
    const char *file;  // configuration text; nullptr: no file
    bool ok;
    const char *name;
  };
  const Row rows[] = {
      {{"--config", testing::TempDir()}, nullptr, false, "--config"},  // a folder
      {{}, "port = 0x10\n", false, "port"},
      {{}, "idle_timeout = 0o20\n", false, "idle_timeout"},
      {{}, "pcap_keep = 0b11\n", false, "pcap_keep"},
      {{}, "duration = 0x10\n", false, "duration"},
      {{}, "port = 1_000\nduration = 2.5\n", true, ""},
      {{"--filter", "10.0.0.1", "--filter", "10.0.9.9"}, nullptr, false, "filters"},
      {{}, "filter = [\"10.0.0.1\", \"10.1.0.1\", \"10.2.0.1\", \"10.3.0.1\", \"10.4.0.1\"]\n", false, "filters"},
      {{"--filter", "0.0.0.0"}, nullptr, false, "filters"},
      {{"--filter", "10.0.0.1", "--filter", "10.1.0.1"}, nullptr, true, ""},
      {{"--mqtt", "127.0.0.1:1883", "--mqtt-prefix", "dtu/#"}, nullptr, false, "--mqtt-prefix"},
      {{"--mqtt", "127.0.0.1:1883"}, "mqtt_prefix = \"a/+/b\"\n", false, "mqtt_prefix"},
      {{"--mqtt", "127.0.0.1:1883", "--mqtt-centre", "a/b"}, nullptr, false, "--mqtt-centre"},
      {{"--mqtt", "127.0.0.1:1883", "--mqtt-prefix", "fleet/north"}, nullptr, true, ""},
      {{"--summary-interval", "4294968"}, nullptr, false, "--summary-interval"},
      {{"--summary-interval", "4294967"}, nullptr, true, ""},
  };
  for (const Row &r : rows) {
    centre::Options o;
    std::string why;
    const auto got = parse_over(r.args, r.file, &o, &why);
    const std::string what = (r.file ? r.file : "") + (r.args.empty() ? "" : r.args.back());
    EXPECT_EQ(got, r.ok ? centre::ParseResult::kRun : centre::ParseResult::kBad) << what << ": " << why;
    if (!r.ok) EXPECT_NE(why.find(r.name), std::string::npos) << what << ": " << why;
  }
}

// The acknowledgement mode for each setup: who sends the DataAck (the
// service, after the commit or at once; the gateway after the broker; no
// one), and the modes the setup cannot serve.
TEST(Options, AckModeFollowsTheSetupUnlessNamed) {
  struct Row {
    std::vector<std::string> args;
    const char *file;
    const char *mode;  // nullptr: refused, naming "ack"
    bool service_acks, after_commit, after_broker;
  };
  const std::string mqtt = "--mqtt=127.0.0.1:1883", dir = "--state-dir=/tmp/d";
  const Row rows[] = {
      {{}, nullptr, "immediate", true, false, false},
      {{dir}, nullptr, "journal", true, true, false},
      {{dir, mqtt}, nullptr, "journal", true, true, false},
      {{mqtt}, nullptr, "broker", false, false, true},
      {{mqtt}, "ack = true\nmqtt_ack = \"immediate\"\n", "immediate", true, false, false},
      {{dir, mqtt, "--mqtt-ack", "broker"}, nullptr, "broker", false, false, true},
      {{dir, mqtt}, "ack = \"immediate\"\n", "immediate", true, false, false},
      {{mqtt, "--no-ack"}, nullptr, "off", false, false, false},
      {{dir, "--no-state-dir"}, "ack = true\n", "immediate", true, false, false},
      {{"--ack=journal"}, nullptr, nullptr},
      {{"--ack=broker"}, nullptr, nullptr},
      {{}, "ack = \"sometimes\"\n", nullptr},
  };
  for (const Row &r : rows) {
    centre::Options o;
    std::string why;
    const std::string what = (r.file ? r.file : "") + (r.args.empty() ? "" : r.args.back());
    const centre::ParseResult got = parse_over(r.args, r.file, &o, &why);
    if (r.mode == nullptr) {
      EXPECT_EQ(got, centre::ParseResult::kBad) << what;
      EXPECT_NE(why.find("ack"), std::string::npos) << what << ": " << why;
      continue;
    }
    ASSERT_EQ(got, centre::ParseResult::kRun) << what << ": " << why;
    EXPECT_STREQ(centre::ack_mode_name(o.ack), r.mode) << what;
    EXPECT_EQ(o.service.ack, r.service_acks) << what;
    EXPECT_EQ(o.service.ack_on_commit, r.after_commit) << what;
    if (o.mqtt_on) EXPECT_EQ(o.mqtt.ack_after_broker, r.after_broker) << what;
  }
}

// The state directory: systemd's STATE_DIRECTORY unless the file or a flag
// names one; "" or --no-state-dir is memory only.
TEST(Options, StateDirectoryComesFromTheEnvironmentUnlessNamed) {
  ::setenv("STATE_DIRECTORY", "/var/lib/dtucentre:/var/lib/other", 1);
  const std::pair<const char *, std::string> rows[] = {
      {nullptr, "/var/lib/dtucentre"}, {"state_dir = \"/srv/c\"\n", "/srv/c"}, {"state_dir = \"\"\n", ""}};
  for (const auto &[file, dir] : rows) {
    centre::Options o;
    std::string why;
    ASSERT_EQ(parse_over({}, file, &o, &why), centre::ParseResult::kRun) << why;
    EXPECT_EQ(o.service.state_dir, dir) << (file ? file : "(no file)");
  }
  centre::Options o;
  std::string why;
  ASSERT_EQ(parse({"--no-state-dir"}, &o, &why), centre::ParseResult::kRun) << why;
  EXPECT_EQ(o.service.state_dir, "");
  ::unsetenv("STATE_DIRECTORY");
}

// What a function writes on standard output.
template <class F>
std::string stdout_of(F f) {
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

// --help names every key the file takes, as its flag, with its default.
TEST(Options, HelpShowsEveryKeyAsAFlagWithItsDefault) {
  centre::Options o;
  std::string why;
  const std::string keys = stdout_of([&] { parse({"--list-keys"}, &o, &why); });
  const std::string help = stdout_of([&] { EXPECT_EQ(parse({"--help"}, &o, &why), centre::ParseResult::kExit0); });
  std::istringstream in(keys);
  int n = 0;
  for (std::string key; std::getline(in, key); ++n) {
    std::string flag = "--" + key;
    std::replace(flag.begin(), flag.end(), '_', '-');
    std::size_t pos = std::string::npos;
    for (const char *after : {" ", ",", "\n"}) pos = std::min(pos, help.find(flag + after));
    ASSERT_NE(pos, std::string::npos) << flag;
    // The option's text runs to the next line that starts a flag.
    const std::size_t next = help.find("\n      --", pos);
    EXPECT_NE(help.substr(pos, next - pos).find("(default "), std::string::npos) << flag;
  }
  EXPECT_GT(n, 40);
}

// Switches turn on alone and off by their --no- flag, over the file; the
// flags that are no key of the file are refused in it.
TEST(Options, SwitchesAndFlagOnlyOptions) {
  using O = const centre::Options &;
  struct Row {
    std::vector<std::string> args;
    const char *file;
    bool (*holds)(O);
  };
  const Row rows[] = {
      {{"--no-ack"}, "ack = true\n", [](O o) { return !o.service.ack; }},
      {{"--ack"}, "ack = false\n", [](O o) { return o.service.ack; }},
      {{"--no-downlink-confirm"}, "downlink_confirm = true\n", [](O o) { return !o.service.downlink_confirm; }},
      {{"--trace"}, nullptr, [](O o) { return o.service.trace; }},
      {{"--json"}, "log_format = \"text\"\n", [](O o) { return o.log_format == "json"; }},
      {{"--console"}, nullptr, [](O o) { return o.console; }},
      {{"-p", "7003"}, "port = 7000\n", [](O o) { return o.service.port == 7003; }},
      {{"--filter", "10.2.0.1"}, "filter = [\"10.1.0.1\"]\n",
       [](O o) { return o.service.filters == std::vector<std::string>{"10.2.0.1"}; }},
  };
  for (const Row &r : rows) {
    centre::Options o;
    std::string why;
    ASSERT_EQ(parse_over(r.args, r.file, &o, &why), centre::ParseResult::kRun) << r.args[0] << ": " << why;
    EXPECT_TRUE(r.holds(o)) << r.args[0];
  }
  for (const char *text : {"console = true\n", "json = true\n", "no_ack = true\n"}) {
    centre::Options o;
    std::string why;
    EXPECT_FALSE(centre::load_config_text(text, "t.conf", &o, &why)) << text;
    EXPECT_NE(why.find("unknown key"), std::string::npos) << why;
  }
}

TEST(Words, QuotesAndEscapes) {
  const std::pair<const char *, std::vector<std::string>> good[] = {
      {"set 1 2=\"a b\" 7=600", {"set", "1", "2=a b", "7=600"}},
      {"send 1 'x\\ny'", {"send", "1", "x\\ny"}},
      {"send 1 \"a\\r\\n\\x41\\0\"", {"send", "1", std::string("a\r\nA\0", 5)}},
      {"  a\\ b  ", {"a b"}},
      {"", {}},
  };
  for (const auto &[line, words] : good) {
    std::vector<std::string> w;
    std::string why;
    ASSERT_TRUE(centre::split_words(line, &w, &why)) << line << ": " << why;
    EXPECT_EQ(w, words) << line;
  }
  for (const char *line : {"send 1 \"open", "send 1 'open", "a\\q", "a\\x4", "end\\"}) {
    std::vector<std::string> w;
    std::string why;
    EXPECT_FALSE(centre::split_words(line, &w, &why)) << line;
  }
}

TEST(Escaping, ATerminalsBytesNeverReachTheScreenOrJsonRaw) {
  EXPECT_EQ(centre::escape_bytes("\x1b[2J\\ok\r\n\xff"), "\\x1B[2J\\\\ok\\r\\n\\xFF");
  EXPECT_TRUE(centre::valid_utf8("ab\xe4\xb8\xad"));
  for (const char *s : {"\xff", "\xc0\x80", "\xed\xa0\x80", "\xe4\xb8", "\xf4\x90\x80\x80"})
    EXPECT_FALSE(centre::valid_utf8(s)) << centre::escape_bytes(s);
  EXPECT_EQ(centre::escape_text("\xe4\xb8\xad\x1b\xc2\x9b"), "\xe4\xb8\xad\\x1B\\xC2\\x9B");

  dtu::svc::Event e;
  e.type = dtu::svc::EventType::kLogon;
  e.id = "\x1b]0;\xff\xfe";
  e.peer = {0x7F000001, 4000};
  const std::string line = centre::event_line(e);
  EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  EXPECT_NE(line.find("%1B]0;%FF%FE"), std::string::npos) << line;
  const std::string json = centre::dump(centre::event_json(e));
  EXPECT_TRUE(centre::valid_utf8(json)) << json;
  EXPECT_NE(json.find("\"id\":\"%1B]0;%FF%FE\""), std::string::npos) << json;
}

TEST(LineSplitter, LongLinesAreRefusedWholeAndTheNextLineSurvives) {
  centre::LineSplitter split;
  std::vector<std::string> lines;
  int too_long = 0;
  auto line = [&](const std::string &s) { lines.push_back(s); };
  auto over = [&] { ++too_long; };
  const std::string big(centre::kMaxLine * 3, 'x');
  split.feed("help\r\n", 6, line, over);
  for (std::size_t i = 0; i < big.size(); i += 1000) split.feed(big.data() + i, std::min<std::size_t>(1000, big.size() - i), line, over);
  split.feed("\nlist\nsta", 9, line, over);
  split.end(line, over);
  EXPECT_EQ(lines, (std::vector<std::string>{"help", "list", "sta"}));
  EXPECT_EQ(too_long, 1);
}

TEST(EventLine, StartAndStopSayInEnglishWhatHappenedAndKeepTheBanner) {
  dtu::svc::Event start;
  start.type = dtu::svc::EventType::kStart;
  start.peer = {0x7F000001, 5002};
  start.text = "\xe5\x90\xaf 5002";
  const std::string line = centre::event_line(start);
  EXPECT_NE(line.find("  start  listening on 127.0.0.1:5002  banner=\"\xe5\x90\xaf 5002\""), std::string::npos) << line;
  dtu::svc::Event stop;
  stop.type = dtu::svc::EventType::kStop;
  stop.text = "\xe5\x81\x9c";
  EXPECT_NE(centre::event_line(stop).find("  stop  stopped  banner=\"\xe5\x81\x9c\""), std::string::npos);
}

// Rejected lines: the first few per reason and source address in a window,
// the rest counted into one summary when the window ends.
TEST(RejectLimiter, HoldsBackRepeatsPerReasonAndSourceAndSumsThemUp) {
  centre::RejectLimiter limit(3, 10000, 3);
  auto reject = [](const char *reason, std::uint32_t addr, std::uint16_t port, std::int64_t t) {
    dtu::svc::Event e;
    e.type = dtu::svc::EventType::kRejected;
    e.reason = reason;
    e.peer = {addr, port};
    e.length = 16;
    e.time_ms = t;
    return e;
  };
  int shown = 0;
  for (int i = 0; i < 100; ++i) shown += limit.admit(reject("short", 0x0A000001, static_cast<std::uint16_t>(i), i));
  EXPECT_EQ(shown, 3);  // other source ports are the same source
  EXPECT_TRUE(limit.admit(reject("bad-frame", 0x0A000001, 1, 200)));
  EXPECT_TRUE(limit.admit(reject("short", 0x0A000002, 1, 200)));
  dtu::svc::Event other;
  other.type = dtu::svc::EventType::kData;
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(limit.admit(other));
  EXPECT_TRUE(limit.due(9999).empty());

  auto s = limit.due(10000);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].reason, "short");
  EXPECT_EQ(s[0].addr, 0x0A000001u);
  EXPECT_EQ(s[0].suppressed, 97u);
  EXPECT_EQ(s[0].bytes, 97u * 16);
  EXPECT_NE(centre::RejectLimiter::line(s[0]).find("10.0.0.1  reason=short  suppressed=97  bytes=1552  seconds=10"),
            std::string::npos)
      << centre::RejectLimiter::line(s[0]);
  EXPECT_EQ(centre::Json::parse(centre::RejectLimiter::json_line(s[0]))["suppressed"], 97);
  // A new window for the source: a few lines again.
  EXPECT_TRUE(limit.admit(reject("short", 0x0A000001, 1, 10001)));

  // Beyond the bound on sources, new ones share one entry.
  for (std::uint32_t a = 100; a < 200; ++a) limit.admit(reject("short", a, 1, 10002));
  s = limit.due(0, true);
  std::uint64_t many = 0;
  for (const auto &x : s) many += x.addr == 0 ? x.suppressed : 0;
  EXPECT_EQ(many, 97u);
}

// A log that cannot be written: said once on standard error, lines held,
// and written with a note once the file can take them.  (/dev/full through
// a link that is then pointed at a real file.)
TEST(Output, AFailingLogIsReportedOnceHeldAndWrittenWhenItCanBe) {
  const std::string dir = testing::TempDir();
  const std::string link = dir + "centre-log-link", file = dir + "centre-log-file";
  std::remove(link.c_str());
  std::remove(file.c_str());
  ASSERT_EQ(::symlink("/dev/full", link.c_str()), 0);
  testing::internal::CaptureStderr();
  {
    centre::Output out;
    std::string why;
    ASSERT_TRUE(out.open_log(link, &why)) << why;
    out.retry_seconds = 0.05;
    out.hold_limit = 64;
    out.start_writer();
    out.log("line 0 of the log, thirty bytes");
    for (int i = 0; i < 100 && !out.failing(); ++i) usleep(10000);
    EXPECT_TRUE(out.failing());
    for (int i = 1; i < 5; ++i) out.log("line " + std::to_string(i) + " of the log, thirty bytes");
    usleep(200000);  // a few retries, and no more lines on standard error
    std::remove(link.c_str());
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    ASSERT_TRUE(out.reopen(&why));
    for (int i = 0; i < 100 && out.failing(); ++i) usleep(10000);
    EXPECT_FALSE(out.failing());
    out.log("after");
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;  // failing, written again
  EXPECT_NE(err.find("No space left on device"), std::string::npos) << err;
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  // Two lines fit the hold; three were lost and said so; then the new line.
  const std::string log = text.str();
  EXPECT_EQ(log.rfind("line 0 of the log, thirty bytes\nline 1 of the log, thirty bytes\n", 0), 0u) << log;
  EXPECT_NE(log.find("  log  written again after "), std::string::npos) << log;
  EXPECT_NE(log.find("; 3 lines were lost meanwhile\nafter\n"), std::string::npos) << log;
  std::remove(link.c_str());
  std::remove(file.c_str());
}

TEST(SimReport, CodesOfNoKnownKindAreGrouped) {
  long counts[256] = {};
  counts[0x89] = 7;  // a known kind keeps its name
  for (int c = 0x20; c < 0x80; ++c) counts[c] = c == 0x30 ? 50 : 1;
  const std::string text = sim::kinds_text(counts);
  EXPECT_EQ(std::count(text.begin(), text.end(), '('), 1) << text;
  EXPECT_NE(text.find("(96 codes: 0x30 50, 0x20 1"), std::string::npos) << text;
  EXPECT_NE(text.find(" UserDataDown 7 "), std::string::npos) << text;
  EXPECT_LT(text.size(), 200u) << text;
}

class ConsoleTest : public ::testing::Test {
 protected:
  ConsoleTest() : svc_(dtu::svc::Config{}) {}
  // Runs one line and returns what it replied.
  std::string run(const std::string &line, bool json = false) {
    char *buf = nullptr;
    std::size_t size = 0;
    std::FILE *mem = open_memstream(&buf, &size);
    std::FILE *old = stdout;
    stdout = mem;
    centre::Output out;
    centre::EventFilter filter;
    centre::Console c(svc_, out, filter, json);
    c.execute(line);
    stdout = old;
    std::fclose(mem);
    std::string s(buf, size);
    std::free(buf);
    return s;
  }
  dtu::svc::Service svc_;
};

TEST_F(ConsoleTest, BadInputGetsOneErrorLine) {
  const char *bad[] = {
      "frobnicate", "send", "send 13900000001", "sendhex 13900000001 4G", "sendhex 13900000001 414",
      "read", "read a b", "set 13900000001", "set 13900000001 7", "set 13900000001 99=1",
      "set 13900000001 4294967297=abc", "set 13900000001 +1=abc", "set 13900000001 -1=abc",
      "set 13900000001 7=70000", "set 13900000001 7=-1", "set 13900000001 7=0x10", "set 13900000001 7=abc",
      "set 13900000001 6=123", "set 13900000001 18=99999999999-5-1-0-1", "set 13900000001 18=1-9-1-0-1",
      "close", "close a b", "closeall x", "send 123456789012 hi", "send 1 \"open", "list idle>x",
      "filter +nonsense",
  };
  for (const char *line : bad) {
    const std::string out = run(line);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << line << " -> " << out;
    EXPECT_EQ(out.rfind("error: ", 0), 0u) << line << " -> " << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << line;
  }
}

// Every command that names a terminal refuses an ID it cannot have in the
// same words, before it asks the service.
TEST_F(ConsoleTest, AnIdTooLongIsRefusedInTheSameWordsByEveryCommand) {
  for (const char *line : {"send 123456789012 hi", "sendhex 123456789012 41", "close 123456789012",
                           "read 123456789012", "set 123456789012 7=1"})
    EXPECT_EQ(run(line), "error: a terminal ID has 1 to 11 characters\n") << line;
}

TEST_F(ConsoleTest, JsonRepliesNameTheirCommand) {
  for (const char *cmd : {"help", "list", "frobnicate", "set 1 7=abc", "filter -data", "stats"}) {
    const std::string out = run(cmd, true);
    const auto j = centre::Json::parse(out);
    const std::string word = std::string(cmd).substr(0, std::string(cmd).find(' '));
    EXPECT_EQ(j["reply"], word) << out;
  }
  EXPECT_TRUE(centre::Json::parse(run("help", true))["commands"].is_array());
  EXPECT_TRUE(centre::Json::parse(run("list", true))["terminals"].is_array());
}

}  // namespace
