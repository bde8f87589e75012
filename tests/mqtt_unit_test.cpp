// The MQTT gateway's names and texts without a broker: terminal IDs as topic
// levels, which topics the gateway reads, times, and text made safe for JSON.
#include <gtest/gtest.h>

#include <string>

#include "core.h"
#include "topics.h"

namespace {

using dtu::mqtt::TopicKind;

// An ID becomes one topic level: nothing in it may split the topic or act
// as a wildcard, and every byte comes back as it was.
TEST(MqttTopics, IdLevelEscapesWhatATopicCannotHold) {
  const struct {
    std::string raw, level;
  } cases[] = {
      {"13900000001", "13900000001"},
      {"a/b", "a%2Fb"},
      {"a+b", "a%2Bb"},
      {"a#b", "a%23b"},
      {"50%", "50%25"},           // the escape character itself
      {"a\\b", "a\\b"},           // a backslash means nothing in a topic: kept
      {"a\x7F", "a%7F"},          // DEL
      {"\x01\x1F\n", "%01%1F%0A"},  // control bytes
      {"\xFF\x80", "%FF%80"},       // not ASCII
      {" ", " "},
  };
  for (const auto &k : cases) {
    EXPECT_EQ(dtu::mqtt::id_text(k.raw), k.level) << k.level;
    std::string back;
    ASSERT_TRUE(dtu::mqtt::id_from_text(k.level, &back)) << k.level;
    EXPECT_EQ(back, k.raw) << k.level;
  }
  // Bytes after a NUL are not part of the ID.
  EXPECT_EQ(dtu::mqtt::id_text(std::string("12\0/34", 6)), "12");
}

TEST(MqttTopics, BadIdLevelsAreRefused) {
  for (const char *level : {"", "%", "%2", "%G0", "%zz", "%00", "a%00b", "123456789012", "%31%32%33%34%35%36%37%38%39%30%31%32"}) {
    std::string raw = "untouched";
    EXPECT_FALSE(dtu::mqtt::id_from_text(level, &raw)) << level;
    EXPECT_EQ(raw, "untouched") << level;
  }
}

// What the gateway reads from the broker, and what it leaves alone (its own
// results, replies and uplinks among them).
TEST(MqttTopics, ParseTopic) {
  const struct {
    std::string prefix, topic;
    TopicKind kind;
    std::string level;
  } cases[] = {
      {"dtu", "dtu/t/13900000001/status", TopicKind::kStatus, "13900000001"},
      {"dtu", "dtu/t/13900000001/down", TopicKind::kDown, "13900000001"},
      {"dtu", "dtu/t/13900000001/params/get", TopicKind::kParamsGet, "13900000001"},
      {"dtu", "dtu/t/13900000001/params/set", TopicKind::kParamsSet, "13900000001"},
      {"dtu", "dtu/t/a%2Fb/down", TopicKind::kDown, "a%2Fb"},  // the level as it came, still escaped
      {"dtu", "dtu/c/A/state", TopicKind::kCentreState, "A"},
      {"dtu", "dtu/c/host:4000/taken", TopicKind::kTaken, "host:4000"},
      {"site/one", "site/one/t/1/down", TopicKind::kDown, "1"},  // a prefix of several levels
      {"dtu", "dtu/t/1/down/result", TopicKind::kOther, ""},
      {"dtu", "dtu/t/1/params/get/reply", TopicKind::kOther, ""},
      {"dtu", "dtu/t/1/params/set/reply", TopicKind::kOther, ""},
      {"dtu", "dtu/t/1/up", TopicKind::kOther, ""},
      {"dtu", "dtu/t/1/event", TopicKind::kOther, ""},
      {"dtu", "dtu/c/A/stats", TopicKind::kOther, ""},
      {"dtu", "dtu/c/A/status", TopicKind::kOther, ""},  // a terminal's leaf under a centre
      {"dtu", "dtu/t/1/state", TopicKind::kOther, ""},   // a centre's leaf under a terminal
      {"dtu", "dtu/t//down", TopicKind::kOther, ""},     // no ID
      {"dtu", "dtu/t/1", TopicKind::kOther, ""},         // no leaf
      {"dtu", "dtu/t/", TopicKind::kOther, ""},
      {"dtu", "dtu/x/1/down", TopicKind::kOther, ""},
      {"dtu", "dtux/t/1/down", TopicKind::kOther, ""},   // the prefix must be a whole level
      {"dtu", "other/t/1/down", TopicKind::kOther, ""},
      {"dtu", "DTU/t/1/down", TopicKind::kOther, ""},
      {"dtu", "", TopicKind::kOther, ""},
  };
  for (const auto &k : cases) {
    const dtu::mqtt::Topic t = dtu::mqtt::parse_topic(k.prefix, k.topic);
    EXPECT_EQ(t.kind, k.kind) << k.topic;
    EXPECT_EQ(t.id_level, k.level) << k.topic;
  }
}

TEST(MqttTopics, IsoTimeReadsBackWhatIsWritten) {
  for (std::int64_t ms : {1ll, 999ll, 1796801647123ll, 4102444799999ll})
    EXPECT_EQ(dtu::mqtt::parse_iso_time(dtu::mqtt::iso_time(ms)), ms) << ms;
  EXPECT_EQ(dtu::mqtt::parse_iso_time("2026-12-08T18:32:55.123Z"), 1796754775123ll);
  for (const char *bad : {"", "2026-12-08T18:32:55Z", "2026-12-08T18:32:55.123", "2026-12-08T18:32:55.123Zx",
                          "2026-12-08 18:32:55.123Z", "yesterday"})
    EXPECT_EQ(dtu::mqtt::parse_iso_time(bad), -1) << bad;
}

// Valid UTF-8 is kept; any other byte, each on its own, becomes "\xNN".
TEST(MqttTexts, Utf8Text) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},  // the JSON writer escapes it
      {"\xFF", "\\xFF"},
      {"\x80x", "\\x80x"},                            // a lone continuation byte
      {"\xC3", "\\xC3"},                              // cut short at the end
      {"\xE2\x82", "\\xE2\\x82"},
      {"\xC3(", "\\xC3("},                            // not followed by a continuation
      {"\xC0\x80", "\\xC0\\x80"},                     // overlong NUL
      {"\xE0\x80\xAF", "\\xE0\\x80\\xAF"},            // overlong '/'
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},            // a surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},   // past U+10FFFF
      {"\xF8\x88\x80\x80\x80", "\\xF8\\x88\\x80\\x80\\x80"},
  };
  for (const auto &k : cases) EXPECT_EQ(dtu::mqtt::utf8_text(k.in), k.out) << k.out;
}

TEST(MqttTexts, TextOrHex) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"c-1 ~!", "c-1 ~!"},
      {"\x01\x02", "0102"},
      {"ab\x7F", "61627f"},  // one byte not printable: all in hex
      {"\xFF", "ff"},
      {"\"quoted\"\\", "\"quoted\"\\"},  // printable: the JSON writer escapes it
  };
  for (const auto &k : cases) EXPECT_EQ(dtu::mqtt::text_or_hex(k.in), k.out) << k.out;
}

}  // namespace

// Replies and results echo what a publisher sent: DEL and C1 controls go out
// as escapes, so a subscriber's screen shows them instead of obeying them.
TEST(MqttTexts, RepliesEscapeDelAndC1Controls) {
  const std::string out = dtu::mqtt::dump(dtu::mqtt::json{{"req", "a\x7f" "b\xc2\x9b" "c"}});
  EXPECT_EQ(out, R"({"req":"a\u007fb\u009bc"})");
}
