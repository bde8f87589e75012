// The shared text helpers: the edge cases each front end leans on.
#include "text.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace t = dtu::text;

TEST(TextTest, Utf8) {
  struct Case { std::string bytes; bool ok; } cases[] = {
      {"", true}, {"plain", true}, {"\xC3\xA9", true}, {"\xE4\xB8\xAD", true}, {"\xF0\x9F\x98\x80", true},
      {"\xC0\xAF", false},           // overlong '/'
      {"\xE0\x80\xAF", false},       // overlong, three bytes
      {"\xED\xA0\x80", false},       // surrogate
      {"\xF4\x90\x80\x80", false},   // past U+10FFFF
      {"\xE4\xB8", false},           // cut short
      {"\x80", false}, {"a\xFF", false}};
  for (const Case &c : cases) EXPECT_EQ(t::valid_utf8(c.bytes), c.ok) << t::hex(c.bytes);
}

TEST(TextTest, HexBothWays) {
  EXPECT_EQ(t::hex(std::string("\x7B\x01\x00\xFF", 4)), "7b0100ff");
  struct Case { const char *text; bool ok; const char *bytes; } cases[] = {
      {"", true, ""}, {"7b01", true, "\x7B\x01"}, {"7B 01", true, "\x7B\x01"}, {"7b:01-Ff", true, "\x7B\x01\xFF"},
      {"7", false, ""}, {"7 b", false, ""}, {"7g", false, ""}, {"0x7b", false, ""}};
  for (const Case &c : cases) {
    std::string out = "untouched";
    EXPECT_EQ(t::unhex(c.text, &out), c.ok) << c.text;
    EXPECT_EQ(out, c.ok ? c.bytes : "untouched") << c.text;
  }
}

TEST(TextTest, IdsRoundTripAndStayPrintable) {
  struct Case { std::string raw; const char *text; } cases[] = {
      {"13900000001", "13900000001"}, {"a/b+c#d%e", "a%2Fb%2Bc%23d%25e"}, {"\x1B[2J", "%1B[2J"},
      {"\xE4\xB8\xAD", "%E4%B8%AD"}, {"\x7F\"\\", "%7F\"\\"}};
  for (const Case &c : cases) {
    EXPECT_EQ(t::id_text(c.raw), c.text);
    std::string back;
    ASSERT_TRUE(t::id_from_text(c.text, &back)) << c.text;
    EXPECT_EQ(back, c.raw);
  }
  EXPECT_EQ(t::id_text(std::string("ab\0cd", 5)), "ab");
  for (const char *bad : {"", "%", "%4", "%zz", "123456789012", "%00", "ab%0"}) {
    std::string out = "kept";
    EXPECT_FALSE(t::id_from_text(bad, &out)) << bad;
    EXPECT_EQ(out, "kept");
  }
}

TEST(TextTest, DumpNeverThrowsOnBadBytes) {
  EXPECT_EQ(t::dump(nlohmann::json{{"k", "a\xFF"}}), "{\"k\":\"a\xEF\xBF\xBD\"}");
  EXPECT_EQ(t::dump(nlohmann::ordered_json{{"z", 1}, {"a", 2}}), "{\"z\":1,\"a\":2}");
  // DEL and the C1 controls are escaped too; other non-ASCII stays as it is.
  EXPECT_EQ(t::dump(nlohmann::json("\x7F\xC2\x9B\xC2\xA0\xC3\xA9")), "\"\\u007f\\u009b\xC2\xA0\xC3\xA9\"");
}
