// The deployment's parameter file: every fault named with its line, and
// writes held to the ranges and choices it gives.
#include <gtest/gtest.h>

#include "dtucentre/param_file.h"
#include "params.h"
#include "vocab.h"

namespace {

using dtu::svc::ParamNames;

std::string load_error(const std::string &text) {
  std::shared_ptr<const ParamNames> names;
  std::string why;
  if (centre::load_param_names_text(text, "p.toml", &names, &why)) return "";
  return why;
}

TEST(ParamFile, EachFaultIsNamedWithItsLine) {
  struct Case {
    const char *text;
    const char *error;  // the start of the message
  } cases[] = {
      {"[tag.99]\nname = \"x\"\n", "p.toml:1: unknown parameter tag 99"},
      {"[tag.abc]\n", "p.toml:1: a tag is a decimal number, got \"abc\""},
      {"[tag.7]\nname = \"a\"\n[tag.8]\nname = \"a\"\n", "p.toml:4: name \"a\" is already tag 7's (line 2)"},
      {"[tag.7]\nname = \"tag8\"\n", "p.toml:2: name \"tag8\" is the built-in name of tag 8"},
      {"[tag.7]\nname = \"Rate\"\n", "p.toml:2: name \"Rate\": a lower-case letter"},
      {"[tag.7]\nname = \"7a\"\n", "p.toml:2: name \"7a\": a lower-case letter"},
      {"[tag.2]\nmin = 1\n", "p.toml:2: min: tag 2 is not a number"},
      {"[tag.18]\n\nchoices = { 1 = \"a\" }\n", "p.toml:3: choices: tag 18 is not a number"},
      {"[tag.7]\nmax = 70000\n", "p.toml:2: max: 70000 is outside tag 7's values 0 to 65535"},
      {"[tag.7]\nmin = -1\n", "p.toml:2: min: -1 is outside"},
      {"[tag.7]\nmin = 0x10\n", "p.toml:2: min: expected a whole decimal number"},
      {"[tag.7]\nmin = 20\nmax = 10\n", "p.toml:1: min 20 is greater than max 10"},
      {"[tag.7]\nmax = 3\nchoices = { 0 = \"a\", 5 = \"b\" }\n", "p.toml:3: choices: 5 is outside 0 to 3"},
      {"[tag.11]\nchoices = { 256 = \"b\" }\n", "p.toml:2: choices: 256 is outside 0 to 255 (the tag's values)"},
      {"[tag.11]\nchoices = { x = \"b\" }\n", "p.toml:2: choices: \"x\" is not a decimal value"},
      {"[tag.11]\nchoices = { 1 = 2 }\n", "p.toml:2: choices: 1: expected a text in quotes"},
      {"[tag.7]\ncolour = \"red\"\n", "p.toml:2: unknown key \"colour\""},
      {"[tag.7]\n\"\\u001b[2J\" = 1\n", "p.toml:2: unknown key \"\\x1B[2J\""},
      {"speed = 1\n", "p.toml:1: unknown key \"speed\""},
      {"[tag.7]\nunit = \"a\\u0007\"\n", "p.toml:2: unit: no control characters"},
      {"[tag.7]\nhelp = 3\n", "p.toml:2: help: expected a text in quotes"},
      {"[tag.7]\nunit = \"seventeen bytes!!\"\n", "p.toml:2: unit: at most 16 bytes"},
      {"[tag.7]\n[tag.07]\n", "p.toml: tag 7 is given twice"},
      {"[tag.7\n", "p.toml:1:"},
  };
  for (const Case &c : cases) {
    const std::string why = load_error(c.text);
    EXPECT_EQ(why.rfind(c.error, 0), 0u) << c.text << "\n gave: " << why;
  }
  EXPECT_EQ(load_error("[tag.7]\nname = \"report_interval\"\nunit = \"s\"\nmin = 10\nmax = 3600\n"
                       "help = \"How often.\"\n[tag.11]\nchoices = { 0 = \"off\", 1 = \"on\" }\n"),
            "");
}

class ParamNamesInUse : public ::testing::Test {
 protected:
  void SetUp() override {
    std::shared_ptr<const ParamNames> names;
    std::string why;
    ASSERT_TRUE(centre::load_param_names_text(
        "[tag.7]\nname = \"report_interval\"\nmin = 10\nmax = 3600\n"
        "[tag.11]\nname = \"mode\"\nchoices = { 1 = \"on\", 0 = \"off\" }\n"
        "[tag.12]\nmin = 5\n[tag.2]\nname = \"apn\"\n",
        "p.toml", &names, &why))
        << why;
    dtu::svc::use_param_names(names);
  }
  void TearDown() override { dtu::svc::use_param_names(nullptr); }
};

TEST_F(ParamNamesInUse, WritesByNameOrTagAreHeldToTheDeploymentsValues) {
  struct Case {
    const char *item;
    int tag;           // 0: refused
    const char *error;
  } cases[] = {
      {"report_interval=60", 7, ""},
      {"7=60", 7, ""},
      {"report_interval=10", 7, ""},
      {"report_interval=3600", 7, ""},
      {"report_interval=9", 0, "report_interval (tag 7) takes a number from 10 to 3600"},
      {"7=3601", 0, "report_interval (tag 7) takes a number from 10 to 3600"},
      {"report_interval=70000", 0, "report_interval (tag 7) takes a decimal number from 0 to 65535"},
      {"mode=1", 11, ""},
      {"mode=2", 0, "mode (tag 11) takes one of 0 (off), 1 (on)"},
      {"12=4", 0, "tag 12 takes a number from 5 to 65535"},
      {"12=65535", 12, ""},
      {"apn=internet", 2, ""},
      {"nosuch=1", 0, "unknown parameter name \"nosuch\""},
      {"tag7=1", 0, "unknown parameter name \"tag7\""},
      {"99=1", 0, "unknown parameter tag 99"},
  };
  for (const Case &c : cases) {
    dtu::svc::ParamValue v;
    std::string why;
    const bool ok = dtu::svc::parse_assignment(c.item, &v, &why);
    EXPECT_EQ(ok, c.tag != 0) << c.item << ": " << why;
    if (ok) EXPECT_EQ(v.tag, c.tag) << c.item;
    else EXPECT_EQ(why, c.error) << c.item;
  }
}

TEST_F(ParamNamesInUse, AnswersNameTheTagsThatHaveNames) {
  std::vector<dtu::svc::ParamValue> values(3);
  values[0].tag = 7, values[1].tag = 12, values[2].tag = 2;
  EXPECT_EQ(dtu::svc::param_names_json(values).dump(), R"({"7":"report_interval","2":"apn"})");
  dtu::svc::use_param_names(nullptr);
  EXPECT_EQ(dtu::svc::param_names_json(values).dump(), "{}");
}

}  // namespace
