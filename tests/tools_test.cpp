// The centre's parts that need no network: options and configuration,
// command-line words, escaping of a terminal's bytes, the input splitter,
// and command replies to bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dtucentre/console.h"
#include "dtucentre/format.h"
#include "dtucentre/input.h"
#include "dtucentre/options.h"

namespace {

centre::ParseResult parse(std::vector<std::string> a, centre::Options *o, std::string *why) {
  a.insert(a.begin(), "dtucentre");
  std::vector<char *> argv;
  for (std::string &s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  return centre::parse_options(static_cast<int>(a.size()), argv.data(), o, why);
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

  const std::string path = testing::TempDir() + "centre-test.conf";
  std::FILE *f = std::fopen(path.c_str(), "w");
  std::fputs("port = 7000\nidle_timeout = 20\n", f);
  std::fclose(f);
  centre::Options c;
  ASSERT_EQ(parse({"--config", path, "--port", "7001"}, &c, &why), centre::ParseResult::kRun) << why;
  EXPECT_EQ(c.service.port, 7001);
  EXPECT_EQ(c.service.idle_timeout, 20u);
  std::remove(path.c_str());
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
  EXPECT_NE(line.find("\\x1B]0;\\xFF\\xFE"), std::string::npos) << line;
  const std::string json = centre::dump(centre::event_json(e));
  EXPECT_TRUE(centre::valid_utf8(json)) << json;
  EXPECT_NE(json.find("\"id_hex\":\"1B 5D 30 3B FF FE\""), std::string::npos) << json;
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
