// The registry room: what a field may hold, what each selector names, and
// entries kept in the journal's database across a reopen.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "journal.h"
#include "registry.h"

namespace {

using namespace dtu::svc;

struct MetaCase {
  const char *what;
  TerminalMeta meta;
  const char *field;  // "" = accepted
};

TEST(RegistryCheck, EachFieldIsBoundedAndFreeOfControls) {
  std::map<std::string, std::string> seventeen;
  for (int i = 0; i < 17; ++i) seventeen["k" + std::to_string(i)] = "v";
  const MetaCase cases[] = {
      {"empty", {}, ""},
      {"utf-8 name, note with newline and tab", {"Pumpe Süd 水泵", "pumps", "a\n\tb", {{"site", "north"}}}, ""},
      {"name of 64 bytes", {std::string(64, 'n'), "", "", {}}, ""},
      {"name of 65 bytes", {std::string(65, 'n'), "", "", {}}, "name"},
      {"name with a newline", {"a\nb", "", "", {}}, "name"},
      {"name with ESC", {"a\x1b[2Jb", "", "", {}}, "name"},
      {"name with DEL", {"a\x7f", "", "", {}}, "name"},
      {"name with a C1 control", {"a\xc2\x9b", "", "", {}}, "name"},
      {"name not UTF-8", {"a\xff", "", "", {}}, "name"},
      {"group of 32 bytes", {"", std::string(32, 'g'), "", {}}, ""},
      {"group of 33 bytes", {"", std::string(33, 'g'), "", {}}, "group"},
      {"group with a space", {"", "a b", "", {}}, "group"},
      {"group with =", {"", "=cmd", "", {}}, "group"},
      {"16 labels", {"", "", "", [] { std::map<std::string, std::string> m; for (int i = 0; i < 16; ++i) m["k" + std::to_string(i)] = ""; return m; }()}, ""},
      {"17 labels", {"", "", "", seventeen}, "labels"},
      {"empty label key", {"", "", "", {{"", "v"}}}, "labels"},
      {"label key of 33 bytes", {"", "", "", {{std::string(33, 'k'), "v"}}}, "labels"},
      {"label key with ;", {"", "", "", {{"a;b", "v"}}}, "labels"},
      {"label value of 65 bytes", {"", "", "", {{"k", std::string(65, 'v')}}}, "labels.k"},
      {"label value with a newline", {"", "", "", {{"k", "a\nb"}}}, "labels.k"},
      {"note of 512 bytes", {"", "", std::string(512, 'x'), {}}, ""},
      {"note of 513 bytes", {"", "", std::string(513, 'x'), {}}, "note"},
      {"note with a carriage return", {"", "", "a\rb", {}}, "note"},
  };
  for (const MetaCase &c : cases) {
    std::string field, error;
    const bool ok = check_meta(c.meta, &field, &error);
    EXPECT_EQ(ok, *c.field == '\0') << c.what << ": " << error;
    if (!ok) {
      EXPECT_EQ(field, c.field) << c.what;
      EXPECT_EQ(error.rfind(field + ": ", 0), 0u) << c.what << ": the reason names the field: " << error;
    }
  }
}

TEST(RegistrySelector, EachFormNamesWhatItSays) {
  const TerminalMeta pump{"Pump 1", "pumps", "", {{"site", "north"}}};
  struct Case {
    const char *selector, *id;
    const TerminalMeta *meta;
    bool matches;
  } cases[] = {
      {"all", "A1", nullptr, true},
      {"group=pumps", "A1", &pump, true},
      {"group=pumps", "A1", nullptr, false},
      {"group=pump", "A1", &pump, false},
      {"label:site=north", "A1", &pump, true},
      {"label:site=south", "A1", &pump, false},
      {"label:area=north", "A1", &pump, false},
      {"name=Pump 1", "A1", &pump, true},
      {"name=pump 1", "A1", &pump, false},
      {"name=Pump", "A1", &pump, false},
      {"prefix=139", "13900000001", nullptr, true},
      {"prefix=138", "13900000001", &pump, false},
      {"prefix=0001", "13900000001", nullptr, false},  // the start of the ID, not anywhere in it
  };
  for (const Case &c : cases) {
    Selector s;
    std::string error;
    ASSERT_TRUE(s.parse(c.selector, &error)) << c.selector << ": " << error;
    EXPECT_EQ(s.matches(c.id, c.meta), c.matches) << c.selector << " on " << c.id;
  }
  for (const char *bad : {"", "everything", "group=", "label:site", "label:=x", "label:site=", "name=", "prefix=",
                          "Group=pumps"}) {
    Selector s;
    std::string error;
    EXPECT_FALSE(s.parse(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(RegistryJournal, EntriesComeBackAfterAReopenAndUnregisteredOnesStayGone) {
  char tmpl[] = "/tmp/registry-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  JournalConfig config;
  config.dir = std::string(tmpl) + "/state";
  const TerminalMeta kept{"Pumpe \"Süd\" <b>", "pumps", "line 1\nline 2", {{"site", "north"}, {"a.b-c_d", ""}}};
  {
    std::string error;
    int code = 0;
    JournalState state;
    auto j = Journal::open(config, &state, &error, &code);
    ASSERT_TRUE(j) << error;
    EXPECT_TRUE(state.registry.empty());
    j->put_meta("13900000001", kept);
    j->put_meta("13900000002", TerminalMeta{"gone", "", "", {}});
    j->put_meta(std::string("A\0B", 3), TerminalMeta{"raw bytes", "", "", {}});
    j->forget_meta("13900000002");
    ASSERT_TRUE(j->flush());
  }
  {
    std::string error;
    int code = 0;
    JournalState state;
    auto j = Journal::open(config, &state, &error, &code);
    ASSERT_TRUE(j) << error;
    ASSERT_EQ(state.registry.size(), 2u);
    EXPECT_TRUE(state.registry["13900000001"] == kept);
    EXPECT_EQ(state.registry[std::string("A\0B", 3)].name, "raw bytes");
    EXPECT_EQ(state.registry.count("13900000002"), 0u);
  }
  std::filesystem::remove_all(tmpl);
}

}  // namespace
