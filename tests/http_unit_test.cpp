// The HTTP side's rendering rules, pinned without a running centre: what
// reaches a JSON text or a metrics line from hostile bytes, when a field is
// null, and how the metric names and labels are made.  The full shapes are
// checked end to end against docs/openapi.json by http_api_test.py.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "render.h"

namespace dtu::http {
namespace {

Json row_json(const Row &r, std::int64_t now, const std::string &extra = "") {
  std::string text;
  append_row_json(text, r, now, extra);
  return Json::parse(text);  // throws (fails the test) on text that is not JSON
}

TEST(RenderJson, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  EXPECT_EQ(dump(Json{{"a", std::string("x\xff\"y")}}), "{\"a\":\"x\xEF\xBF\xBD\\\"y\"}");
}

TEST(RenderJson, EveryIdByteSurvivesTheRowAsEscapedText) {
  const std::string hostile("\"\\\x01\x1b[2J\xff/%", 10);
  Row r;
  r.t.id = hostile;
  std::string text;
  append_row_json(text, r, 0);
  for (unsigned char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "raw byte " << int(c) << " in " << text;
  std::string back;
  ASSERT_TRUE(id_from_text(Json::parse(text)["id"].get<std::string>(), &back));
  EXPECT_EQ(back, hostile);
}

TEST(RenderJson, RowFieldsNotKnownAreNull) {
  Row off;  // never heard, off line
  const Json j = row_json(off, 5000);
  for (const char *k : {"slot", "peer", "reported", "logon_time", "first_seen", "last_seen", "idle_seconds",
                        "offline_reason"})
    EXPECT_TRUE(j[k].is_null()) << k;

  Row gone;
  gone.t.slot = 3;  // a slot left over is not shown for a terminal off line
  gone.offline_reason = "idle";
  EXPECT_TRUE(row_json(gone, 0)["slot"].is_null());
  EXPECT_EQ(row_json(gone, 0)["offline_reason"], "idle");

  Row on = gone;
  on.t.online = true;  // on line: the last way it went off line is not news
  EXPECT_EQ(row_json(on, 0)["slot"], 3);
  EXPECT_TRUE(row_json(on, 0)["offline_reason"].is_null());
}

TEST(RenderJson, IdleSecondsCountWholeSecondsAndNeverGoNegative) {
  Row r;
  r.t.last_seen_ms = 10'000;
  EXPECT_EQ(row_json(r, 12'999)["idle_seconds"], 2);
  EXPECT_EQ(row_json(r, 9'000)["idle_seconds"], 0);  // a clock stepped back
}

TEST(RenderJson, ExtraFieldsGoInsideTheRow) {
  Row r;
  const Json j = row_json(r, 0, ",\"frames\":[]");
  EXPECT_TRUE(j["frames"].is_array());
}

TEST(RenderJson, DataEventsCarryTextOnlyWhenItIsUtf8) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    const char *hex;
    bool has_text;
  };
  const Case cases[] = {
      {{'h', 'i'}, "6869", true},
      {{0xC3, 0xA9}, "c3a9", true},       // é
      {{0xC0, 0x80}, "c080", false},      // an overlong NUL
      {{0xE2, 0x82}, "e282", false},      // cut short
      {{0xFF, 0x00, 0x0A}, "ff000a", false},
  };
  for (const Case &c : cases) {
    svc::Event e;
    e.type = svc::EventType::kData;
    e.id = "T1";
    e.data = c.bytes;
    const Json j = event_json(e);
    EXPECT_EQ(j["data"], c.hex);
    EXPECT_EQ(j["length"], c.bytes.size());
    EXPECT_EQ(j.contains("text"), c.has_text) << c.hex;
    if (c.has_text) EXPECT_EQ(j["text"], std::string(c.bytes.begin(), c.bytes.end()));
  }
}

TEST(RenderJson, EventsLeaveOutWhatTheyDoNotHave) {
  svc::Event e;
  e.type = svc::EventType::kIdle;  // a logon always names its stated address
  const Json j = event_json(e);
  EXPECT_EQ(j["event"], svc::event_name(e.type));
  for (const char *k : {"id", "peer", "old_peer", "reported", "slot", "reason", "text", "request", "hex", "data"})
    EXPECT_FALSE(j.contains(k)) << k;
}

// ---- metrics ----

// Every sample line names a metric announced by a TYPE line, with a name
// made of [a-zA-Z0-9_:] and labels that are quoted.
void expect_well_formed(const std::string &text) {
  std::istringstream in(text);
  std::set<std::string> typed;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# TYPE ", 0) == 0) {
      typed.insert(line.substr(7, line.find(' ', 7) - 7));
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    const std::string name = line.substr(0, line.find_first_of("{ "));
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_:"),
              std::string::npos) << line;
    EXPECT_TRUE(typed.count(name)) << "no TYPE line for " << line;
    const auto brace = line.find('{');
    if (brace != std::string::npos && brace < line.find(' ')) {
      const std::string labels = line.substr(brace, line.find("} ") - brace + 1);
      EXPECT_NE(labels.find("=\""), std::string::npos) << line;
    }
  }
}

bool has_line(const std::string &text, const std::string &line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(RenderMetrics, KnownReasonsShowAtZeroAndOthersAreQuotedSafely) {
  MetricsInput m;
  m.counters.rejected["short"] = 4;
  m.counters.rejected["we\"ird\nreason"] = 1;
  m.counters.logons_refused["other"] = 2;
  const std::string text = metrics_text(m);
  expect_well_formed(text);
  EXPECT_TRUE(has_line(text, "dtu_rejected_total{reason=\"short\"} 4"));
  EXPECT_TRUE(has_line(text, "dtu_rejected_total{reason=\"address\"} 0"));
  EXPECT_TRUE(has_line(text, "dtu_rejected_total{reason=\"we\\\"ird\\nreason\"} 1"));
  EXPECT_TRUE(has_line(text, "dtu_logons_refused_total{reason=\"table-full\"} 0"));
  EXPECT_TRUE(has_line(text, "dtu_logons_refused_total{reason=\"other\"} 2"));
}

TEST(RenderMetrics, HealthFiguresBecomeGaugesNamedAfterThePart) {
  MetricsInput m;
  svc::HealthRow row;
  row.name = "broker";
  row.state = svc::HealthState::kDegraded;
  row.fields = Json{{"queue-depth", 7}, {"connected", false}, {"last error", "text is not a figure"}};
  m.health.set(row, 42'000);
  m.http_responses = {{200, 5}, {404, 1}};
  const std::string text = metrics_text(m);
  expect_well_formed(text);
  EXPECT_TRUE(has_line(text, "dtu_health_ok{check=\"broker\"} 0"));
  EXPECT_TRUE(has_line(text, "dtu_health_since_seconds{check=\"broker\"} 42"));
  EXPECT_TRUE(has_line(text, "dtu_broker_queue_depth 7"));
  EXPECT_TRUE(has_line(text, "dtu_broker_connected 0"));
  EXPECT_EQ(text.find("last_error"), std::string::npos);
  EXPECT_TRUE(has_line(text, "dtu_http_responses_total{code=\"404\"} 1"));
}

}  // namespace
}  // namespace dtu::http
