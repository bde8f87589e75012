// Terminal parameters: the reply decoder through real ParamReadReply frames,
// GetParam in host form, and the set and read requests on the wire.
#include <cstring>

#include "params/catalogue.h"
#include "support.h"

using namespace test;

namespace {

class ParamTest : public CentreTest {
 protected:
  // Sends a reply carrying `elements` and runs it through do_read_proc.
  void reply(const Bytes &elements) {
    DataRecord r;
    ASSERT_EQ(deliver(t_, param_reply("12345678901", elements), &r), 0);
    ASSERT_EQ(r.dataType, 11);
    ASSERT_STREQ(r.userId, "12345678901");
  }
  void reply_frame(const Bytes &frame) {
    DataRecord r;
    ASSERT_EQ(deliver(t_, frame, &r), 0);
    ASSERT_EQ(r.dataType, 11);
  }
  // GetParam as bytes; "refused" when it gives 0.
  std::string get(int tag, int size = 200) {
    Bytes buf(static_cast<std::size_t>(size) + 8, 0xEE);
    int len = size;
    if (GetParam(tag, buf.data(), &len) != 1) return "refused";
    for (std::size_t i = static_cast<std::size_t>(size); i < buf.size(); ++i)
      EXPECT_EQ(buf[i], 0xEE) << "written past the declared length, tag " << tag;
    return to_hex(Bytes(buf.begin(), buf.begin() + len));
  }
  std::string text(int tag) {
    char buf[200];
    int len = sizeof buf;
    if (GetParam(tag, buf, &len) != 1) return "refused";
    EXPECT_EQ(std::strlen(buf), static_cast<std::size_t>(len));
    return std::string(buf, static_cast<std::size_t>(len));
  }
  Terminal t_;
};

TEST_F(ParamTest, EmptyReplyLeavesTheStoreZero) {
  reply(element(2, text_bytes("abc")));
  reply({});
  EXPECT_EQ(text(1), "");
  EXPECT_EQ(text(2), "");
  EXPECT_EQ(get(7), "00 00");
  EXPECT_EQ(get(13), "00 00 00 00");
  char buf[21];
  int len = 21;
  ASSERT_EQ(GetParam(18, buf, &len), 1);
  EXPECT_STREQ(buf, "0-5-1-0-0");
  EXPECT_EQ(len, 9);
}

TEST_F(ParamTest, ValuesComeBackInHostForm) {
  Bytes e;
  for (const Bytes &x : {element(2, text_bytes("abc")), element(7, hex("01 02")), element(11, hex("05")),
                         element(13, hex("00 00 12 34")), element(15, hex("AB CD")),
                         element(18, hex("00 04 D2 00 40 18 05")), element(6, text_bytes("13912345678")),
                         element(50, text_bytes("1234567890123"))})
    e.insert(e.end(), x.begin(), x.end());
  reply(e);
  EXPECT_EQ(text(2), "abc");
  EXPECT_EQ(get(7), "01 02");
  EXPECT_EQ(get(11), "01");  // above 1 is stored as 1
  EXPECT_EQ(get(13), "00 00 12 34");
  EXPECT_EQ(get(15), "AB CD");
  EXPECT_EQ(text(18), "1234-5-2-2-5");
  EXPECT_EQ(text(6), "13912345678");
  EXPECT_EQ(text(50), "1234567890123");
  // A later reply replaces the whole store.
  reply(element(7, hex("00 09")));
  EXPECT_EQ(text(2), "");
  EXPECT_EQ(get(7), "00 09");
}

struct StopCase {
  const char *why;
  Bytes first;    // the element under test, before a tag 7 probe
  bool decoded;   // whether the probe behind it is reached
};

TEST_F(ParamTest, EachBrokenElementRuleEndsTheDecode) {
  const StopCase cases[] = {
      {"tag 1 empty", element(1, {}), false},
      {"tag 2 empty", element(2, {}), true},
      {"tag 1 of 9", element(1, Bytes(9, 'a')), false},
      {"tag 2 of 30", element(2, Bytes(30, 'a')), true},
      {"tag 2 of 31", element(2, Bytes(31, 'a')), false},
      {"tag 6 of 10", element(6, Bytes(10, '1')), false},
      {"tag 6 empty", element(6, {}), false},
      {"tag 7 of 3", element(7, Bytes(3, 1)), false},
      {"tag 7 of 1", element(7, Bytes(1, 1)), false},
      {"tag 13 of 2", element(13, Bytes(2, 1)), false},
      {"tag 14 empty", element(14, {}), true},
      {"tag 14 of 6", element(14, Bytes(6, 'a')), false},
      {"tag 14 of 7", element(14, Bytes(7, 'a')), true},
      {"tag 14 of 125", element(14, Bytes(125, 'a')), true},
      {"tag 14 of 126", element(14, Bytes(126, 'a')), false},  // element length 128
      {"tag 18 of 6", element(18, Bytes(6, 0)), false},
      {"tag 23 of 12", element(23, Bytes(12, 'a')), false},
      {"tag 26", element(26, hex("01")), false},
      {"tag 40", element(40, hex("01")), false},
      {"tag 0", element(0, hex("01")), false},
      {"tag byte 0x81", element(0x81, hex("01")), false},
      {"element length 1", hex("02 01"), false},
      {"element length 0", hex("02 00"), false},
  };
  for (const auto &c : cases) {
    Bytes e = c.first;
    Bytes probe = element(7, hex("12 34"));
    e.insert(e.end(), probe.begin(), probe.end());
    reply(e);
    EXPECT_EQ(get(7), c.decoded ? "12 34" : "00 00") << c.why;
  }
}

TEST_F(ParamTest, DecodeStopsAfterThirtyFiveElements) {
  Bytes e;
  for (int i = 0; i < 35; ++i) {
    Bytes x = element(8, {0, static_cast<std::uint8_t>(i)});
    e.insert(e.end(), x.begin(), x.end());
  }
  Bytes last = element(8, hex("FF FF"));
  e.insert(e.end(), last.begin(), last.end());
  reply(e);
  EXPECT_EQ(get(8), "00 22");  // the 35th value stands, the 36th is ignored
}

TEST_F(ParamTest, ARepeatedTagKeepsItsLastValue) {
  // A number keeps its first value when its second occurrence stops the
  // decode; a text is cleared before its length test.
  Bytes e = element(7, hex("00 01"));
  Bytes more = element(7, hex("00 02 03"));
  e.insert(e.end(), more.begin(), more.end());
  reply(e);
  EXPECT_EQ(get(7), "00 01");
  e = element(2, text_bytes("first"));
  more = element(2, Bytes(31, 'a'));
  e.insert(e.end(), more.begin(), more.end());
  reply(e);
  EXPECT_EQ(text(2), "");
  e = element(2, text_bytes("first"));
  more = element(2, text_bytes("second"));
  e.insert(e.end(), more.begin(), more.end());
  reply(e);
  EXPECT_EQ(text(2), "second");
}

TEST_F(ParamTest, ElementsThatRunPastTheFrameStopTheDecode) {
  // Tag 2 claims 20 value bytes but the frame ends after 3: nothing of it
  // is read, and nothing behind the end mark either.
  Bytes frame = param_reply("12345678901", hex("07 04 00 05 02 16 61 62 63"));
  Bytes tail(40, 'Z');
  frame.insert(frame.end(), tail.begin(), tail.end());  // past the length field
  reply_frame(frame);
  EXPECT_EQ(get(7), "00 05");
  EXPECT_EQ(text(2), "");
  // An element length byte that is the end mark itself.
  reply_frame(param_reply("12345678901", hex("07 04 00 06 02")));
  EXPECT_EQ(get(7), "00 06");
  // An element that ends exactly at the end mark is fine.
  reply_frame(param_reply("12345678901", hex("07 04 00 07")));
  EXPECT_EQ(get(7), "00 07");
}

TEST_F(ParamTest, GetParamRefusesUnknownTagsAndSmallBuffers) {
  reply(element(2, text_bytes("abc")));
  for (int tag : {0, -1, 26, 27, 34, 47, 51, 1000}) EXPECT_EQ(get(tag), "refused") << tag;
  EXPECT_EQ(get(2, 30), "refused");
  EXPECT_EQ(get(2, 31), "61 62 63");
  EXPECT_EQ(get(7, 1), "refused");
  EXPECT_EQ(get(7, -5), "refused");
  // Tag 18 needs room for its text and NUL; nothing goes past the length.
  EXPECT_EQ(get(18, 9), "refused");
  EXPECT_EQ(get(18, 10), "30 2D 35 2D 31 2D 30 2D 30");
  int len = 3;
  EXPECT_EQ(GetParam(2, nullptr, &len), 0);
  char b[40];
  EXPECT_EQ(GetParam(2, b, nullptr), 0);
}

TEST_F(ParamTest, GetParamZeroesTheDeclaredTextBuffer) {
  reply(element(1, text_bytes("ab")));
  char buf[12];
  std::memset(buf, 'x', sizeof buf);
  int len = 10;
  ASSERT_EQ(GetParam(1, buf, &len), 1);
  EXPECT_EQ(len, 2);
  for (int i = 2; i < 10; ++i) EXPECT_EQ(buf[i], 0);
  EXPECT_EQ(buf[10], 'x');
  // Numbers write exactly their width.
  reply(element(12, hex("AB CD")));
  std::memset(buf, 'x', sizeof buf);
  len = 12;
  ASSERT_EQ(GetParam(12, buf, &len), 1);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(buf[2], 'x');
}

// ---- composite value (tag 18) ---------------------------------------------

TEST(Composite, TextAndBytesConvertBothWays) {
  std::uint8_t b[7];
  ASSERT_TRUE(dtu::encode_composite("1234-5-2-2-5", b));
  EXPECT_EQ(to_hex(Bytes(b, b + 7)), "00 04 D2 00 40 18 05");
  char t[21];
  dtu::decode_composite(b, t);
  EXPECT_STREQ(t, "1234-5-2-2-5");
  ASSERT_TRUE(dtu::encode_composite("16777216-8-1-0-1", b));
  EXPECT_EQ(to_hex(Bytes(b, b + 7)), "00 00 00 03 00 00 01");
  for (const char *bad : {"1-9-1-0-1", "1-8-3-0-1", "1-8-1-3-1", "1-8-1-0-6", "1-4-1-0-1", "1-8-1-0-0",
                          "1-8-1-0", "abcdefghij"})
    EXPECT_FALSE(dtu::encode_composite(bad, b)) << bad;
  // Only the low 8 bits of N2..N5 count.
  ASSERT_TRUE(dtu::encode_composite("1-261-1-0-1", b));
  EXPECT_EQ(b[3], 0);
  const std::uint8_t odd[7] = {0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x99, 0xFF};
  dtu::decode_composite(odd, t);
  EXPECT_STREQ(t, "16777215-4-2-2-255");  // the longest text: 20 characters
  EXPECT_EQ(std::strlen(t), 18u);
}

// ---- the parameter set frame ----------------------------------------------

class SetFrameTest : public CentreTest {
 protected:
  std::string sent(const char *id = "12345678901") {
    EXPECT_EQ(DoUpdateParam(kLoopback, t_.port(), id), 1);
    return to_hex(t_.receive());
  }
  Terminal t_;
};

TEST_F(SetFrameTest, ElementsFollowTheHeadInTheOrderSet) {
  int err = 0;
  ClearParam();
  ASSERT_EQ(SetParam(2, "abc", 3, &err), 1);
  EXPECT_EQ(sent(), "7B 8D 00 15 31 32 33 34 35 36 37 38 39 30 31 02 05 61 62 63 7B");
  ASSERT_EQ(SetParam(11, "\x01", 1, &err), 1);
  EXPECT_EQ(sent(), "7B 8D 00 18 31 32 33 34 35 36 37 38 39 30 31 02 05 61 62 63 0B 03 01 7B");
  // A 5-character ID leaves zeros behind it, whatever went before.
  EXPECT_EQ(sent("ABCDE").substr(0, 44), "7B 8D 00 18 41 42 43 44 45 00 00 00 00 00 00");
  EXPECT_EQ(err, 0);
}

TEST_F(SetFrameTest, ALengthOutsideTheTagsLimitIsFlagged) {
  ClearParam();
  const std::pair<int, int> cases[] = {{6, 10}, {6, 12}, {14, 129}, {7, -1}, {18, 8}};
  const std::string value(200, '1');
  for (auto [tag, length] : cases) {
    int err = 0;
    EXPECT_EQ(SetParam(tag, value.data(), length, &err), 0) << tag << "/" << length;
    EXPECT_EQ(err, -1) << tag << "/" << length;
  }
}

TEST_F(SetFrameTest, UnknownTagsAndBadCompositesAreRefusedWithoutAFlag) {
  ClearParam();
  for (int tag : {27, 0, 34, 47, 51, -3}) {
    int err = 0;
    EXPECT_EQ(SetParam(tag, "\x01", 1, &err), 0) << tag;
    EXPECT_EQ(err, 0) << tag;
  }
  int err = 0;
  EXPECT_EQ(SetParam(18, "1-9-1-0-1", 9, &err), 0);
  EXPECT_EQ(err, 0);
}

TEST_F(SetFrameTest, EdgeValuesAreAccepted) {
  ClearParam();
  int err = 0;
  EXPECT_EQ(SetParam(6, "12345678901", 11, &err), 1);
  EXPECT_EQ(SetParam(26, "\x01", 1, &err), 1);  // write-only, but writable
  EXPECT_EQ(SetParam(2, "", 0, &err), 1);
  EXPECT_EQ(err, 0);
}

TEST_F(SetFrameTest, CompositeGoesOutAsItsSevenBytes) {
  ClearParam();
  int err = 0;
  ASSERT_EQ(SetParam(18, "1234-5-2-2-5", 12, &err), 1);
  EXPECT_EQ(sent(), "7B 8D 00 19 31 32 33 34 35 36 37 38 39 30 31 12 09 00 04 D2 00 40 18 05 7B");
}

TEST_F(SetFrameTest, TheFrameFillsToExactly1040BytesAndNoFurther) {
  ClearParam();
  int err = 0;
  const std::string v128(128, 'q');
  for (int i = 0; i < 7; ++i) ASSERT_EQ(SetParam(14, v128.data(), 128, &err), 1);
  // 926 bytes now: one more element of 130 would pass 1040.
  EXPECT_EQ(SetParam(14, v128.data(), 128, &err), 0);
  EXPECT_EQ(err, 0);
  const std::pair<int, int> fill[] = {{2, 30}, {4, 24}, {48, 24}, {3, 20}, {1, 6}};
  for (auto [tag, n] : fill) ASSERT_EQ(SetParam(tag, v128.data(), n, &err), 1) << tag;
  EXPECT_EQ(SetParam(2, "", 0, &err), 0);  // 1040 bytes: not even an empty element fits
  EXPECT_EQ(err, 0);
  ASSERT_EQ(DoUpdateParam(kLoopback, t_.port(), "12345678901"), 1);
  Bytes got = t_.receive();
  ASSERT_EQ(got.size(), 1040u);
  EXPECT_EQ(got[2], 0x04);
  EXPECT_EQ(got[3], 0x10);
  EXPECT_EQ(got[1039], 0x7B);
}

TEST_F(SetFrameTest, EmptyFrameGoesOutClosed) {
  ClearParam();
  EXPECT_EQ(sent(), "7B 8D 00 10 31 32 33 34 35 36 37 38 39 30 31 7B");
  int err = 0;
  ASSERT_EQ(SetParam(7, "\x00\x05", 2, &err), 1);
  EXPECT_EQ(sent(), "7B 8D 00 14 31 32 33 34 35 36 37 38 39 30 31 07 04 00 05 7B");
}

TEST_F(SetFrameTest, RequestsWithABadIdSendNothing) {
  ClearParam();
  for (const char *id : {"", "123456789012", static_cast<const char *>(nullptr)}) {
    EXPECT_EQ(DoUpdateParam(kLoopback, t_.port(), id), 0);
    EXPECT_EQ(DoReadParam(kLoopback, t_.port(), id), 0);
  }
  EXPECT_TRUE(t_.quiet(50));
  EXPECT_EQ(DoUpdateParam(kLoopback, t_.port(), "00000000000"), 1);  // sent like any other
  EXPECT_EQ(t_.receive().size(), 16u);
}

TEST_F(SetFrameTest, ReadRequestCarriesTheIdPaddedWithZeros) {
  ASSERT_EQ(DoReadParam(kLoopback, t_.port(), "12345678901"), 1);
  EXPECT_EQ(to_hex(t_.receive()), "7B 8B 00 11 31 32 33 34 35 36 37 38 39 30 31 00 7B");
  ASSERT_EQ(DoReadParam(kLoopback, t_.port(), "ABCD"), 1);
  EXPECT_EQ(to_hex(t_.receive()), "7B 8B 00 11 41 42 43 44 00 00 00 00 00 00 00 00 7B");
}

TEST(SetFrameStopped, SendsFailWithoutASocket) {
  reset_library_state();
  ClearParam();
  EXPECT_EQ(DoUpdateParam(kLoopback, 9, "12345678901"), 0);
  EXPECT_EQ(DoReadParam(kLoopback, 9, "12345678901"), 0);
}

}  // namespace
