// The console centre's command parser: bad input gets one error line each,
// never a crash.  Built against the shared library, as the tool is.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"

namespace {

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { out_ = open_memstream(&buf_, &size_); }
  void TearDown() override {
    std::fclose(out_);
    std::free(buf_);
  }
  // Runs one line and returns what it printed.
  std::string run(const std::string &line) {
    console::Log log(out_, false);
    console::Console c(log);
    std::fflush(out_);
    const std::size_t before = size_;
    EXPECT_TRUE(c.execute(line));
    std::fflush(out_);
    return std::string(buf_ + before, size_ - before);
  }
  std::FILE *out_ = nullptr;
  char *buf_ = nullptr;
  std::size_t size_ = 0;
};

int count_lines(const std::string &s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

TEST_F(ConsoleTest, BadInputGetsOneErrorLine) {
  const char *bad[] = {
      "frobnicate",                        // unknown command
      "send",                              // missing arguments
      "send 13900000001",
      "sendhex 13900000001 4G",            // bad hex
      "sendhex 13900000001 414",           // odd digits
      "read",
      "read a b",
      "set 13900000001",
      "set 13900000001 7",                 // no '='
      "set 13900000001 99=1",              // unknown tag
      "set 13900000001 27=1",
      "set 13900000001 7=70000",           // too big for u16
      "set 13900000001 7=-1",
      "set 13900000001 7=abc",
      "set 13900000001 6=123",             // tag 6 needs 11 characters
      "set 13900000001 1=123456789",       // tag 1 takes 8
      "close",
      "close a b",
      "closeall x",
      "send 123456789012 hi",              // ID too long
      "send 13900000001 hi",               // not on line
      "read 13900000001",
      "close 13900000001",
  };
  for (const char *line : bad) {
    const std::string out = run(line);
    EXPECT_EQ(count_lines(out), 1) << line << " -> " << out;
    EXPECT_NE(out.find("error: "), std::string::npos) << line << " -> " << out;
  }
}

TEST_F(ConsoleTest, HelpAndQuit) {
  EXPECT_NE(run("help").find("closeall"), std::string::npos);
  EXPECT_EQ(run("   "), "");
  console::Log log(out_, false);
  console::Console c(log);
  EXPECT_FALSE(c.execute("quit"));
}

TEST(ConsoleParse, ValuesToWireForm) {
  console::Bytes b;
  ASSERT_TRUE(console::parse_hex("41 42,0a:FF", &b));
  EXPECT_EQ(b, (console::Bytes{0x41, 0x42, 0x0A, 0xFF}));
  EXPECT_FALSE(console::parse_hex("", &b));
  int tag = 0;
  std::string why;
  ASSERT_TRUE(console::parse_param("13=0x01020304", &tag, &b, &why));
  EXPECT_EQ(tag, 13);
  EXPECT_EQ(b, (console::Bytes{1, 2, 3, 4}));
  ASSERT_TRUE(console::parse_param("7=600", &tag, &b, &why));
  EXPECT_EQ(b, (console::Bytes{0x02, 0x58}));
  ASSERT_TRUE(console::parse_param("2=", &tag, &b, &why));
  EXPECT_TRUE(b.empty());
  ASSERT_TRUE(console::parse_param("18=1-8-1-0-1", &tag, &b, &why));
  EXPECT_EQ(std::string(b.begin(), b.end()), "1-8-1-0-1");
}

}  // namespace
