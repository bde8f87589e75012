// The core's event and terminal vocabulary: the fields each kind of event
// carries and the forms of their values, as every front end writes them.
#include "vocab.h"

#include <gtest/gtest.h>

using namespace dtu::svc;

namespace {

Event make(EventType type) {
  Event e;
  e.type = type;
  e.time_ms = 1765219200123;  // 2025-12-08T18:40:00.123Z
  e.id = std::string("A/\xFF", 3);
  e.peer = {0x7F000001, 5002};
  return e;
}

}  // namespace

TEST(VocabTest, EventFieldsByKind) {
  Event wire = make(EventType::kWire);
  wire.inbound = true, wire.length = 3, wire.data = {0x7B, 0x0A, 0xFF}, wire.text = "logon";
  Event rejected = make(EventType::kRejected);
  rejected.id.clear(), rejected.reason = "short";  // length 0 and no bytes still say so
  Event queued = make(EventType::kDownlinkQueued);
  queued.request = 7;
  Event health = make(EventType::kHealth);
  health.id.clear(), health.peer = {}, health.check = "broker", health.state = "degraded", health.reason = "down";
  Event data = make(EventType::kData);
  data.data = {'h', 'i'};
  Event error = make(EventType::kError);
  error.text = std::string("bad \xFF", 5), error.reason = "bad-id";
  struct Case { const Event &e; const char *json; } cases[] = {
      {wire, R"({"time":"2025-12-08T18:40:00.123Z","event":"wire","id":"A%2F%FF","peer":"127.0.0.1:5002",)"
             R"("length":3,"direction":"in","kind":"logon","data":"7b0aff"})"},
      {rejected, R"({"time":"2025-12-08T18:40:00.123Z","event":"rejected","peer":"127.0.0.1:5002","length":0,)"
                 R"("data":"","reason":"short"})"},
      {queued, R"({"time":"2025-12-08T18:40:00.123Z","event":"downlink_queued","id":"A%2F%FF",)"
               R"("peer":"127.0.0.1:5002","request":7,"length":0})"},
      {health, R"({"time":"2025-12-08T18:40:00.123Z","event":"health","check":"broker","status":"degraded",)"
               R"("reason":"down"})"},
      {data, R"({"time":"2025-12-08T18:40:00.123Z","event":"data","id":"A%2F%FF","peer":"127.0.0.1:5002",)"
             R"("length":2,"data":"6869","text":"hi"})"},
      {error, R"({"time":"2025-12-08T18:40:00.123Z","event":"error","id":"A%2F%FF","peer":"127.0.0.1:5002",)"
              R"("text":"bad \\xFF","reason":"bad-id"})"},
  };
  for (const Case &c : cases) EXPECT_EQ(event_json(c.e).dump(), c.json);
}

TEST(VocabTest, ParameterValues) {
  Event e = make(EventType::kParamRead);
  e.request = 3;
  e.params = {{7, ParamForm::kU16, "", 10}, {2, ParamForm::kText, std::string("ap\xFFn\xC3\xA9", 6), 0},
              {18, ParamForm::kComposite, "1234-5-2-2-5", 0}};
  EXPECT_EQ(event_json(e)["params"].dump(), R"({"7":10,"2":"ap\\xFFné","18":"1234-5-2-2-5"})");
}

TEST(VocabTest, TerminalRowAndFrames) {
  Terminal t;
  t.id = "a b%";
  t.online = false;
  t.slot = 4;  // a stale slot of a terminal off line is not shown
  t.peer = {0x7F000001, 40000};
  t.last_seen_ms = 10000;
  t.in.data = 2;
  t.recent.push_back({5000, false, "data_ack", {0x7B, 0x85}});
  const VocabJson j = terminal_json(t, 75500, "idle");
  EXPECT_EQ(j["id"], "a b%25");
  EXPECT_TRUE(j["slot"].is_null());
  EXPECT_TRUE(j["reported"].is_null());
  EXPECT_EQ(j["idle_seconds"], 65);
  EXPECT_EQ(j["offline_reason"], "idle");
  EXPECT_EQ(j["in"]["data"], 2);
  EXPECT_TRUE(terminal_json(t, 0, "")["offline_reason"].is_null());
  EXPECT_EQ(frames_json(t.recent).dump(),
            R"([{"time":"1970-01-01T00:00:05.000Z","direction":"out","kind":"data_ack","length":2,"data":"7b85"}])");
}
