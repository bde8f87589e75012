// Frame layout: the head check, and the centre's frames as they arrive on
// the wire.
#include <cstring>

#include "frame/frame.h"
#include "support.h"

using namespace test;

namespace {

int check(const Bytes &f, std::string *id = nullptr, std::uint16_t *len = nullptr) {
  char out[12];
  std::memset(out, 'x', sizeof out);
  std::uint16_t length = 0xFFFF;
  int code = dtu::check_frame(f.data(), f.size(), out, &length);
  if (id) *id = std::string(out, strnlen(out, 12));
  if (len) *len = length;
  return code;
}

const Bytes kLogon = hex("7B 01 00 16 31 32 33 34 35 36 37 38 39 30 31 C0 A8 01 02 1F 90 7B");

TEST(HeadCheck, AcceptsTheLogonExample) {
  std::string id;
  std::uint16_t len = 0;
  EXPECT_EQ(check(kLogon, &id, &len), 0x01);
  EXPECT_EQ(id, "12345678901");
  EXPECT_EQ(len, 22);
  EXPECT_EQ(dtu::get_be32(kLogon.data() + 15), 0xC0A80102u);
  EXPECT_EQ(dtu::get_be16(kLogon.data() + 19), 8080);
}

// The byte coding: most significant byte first, at every width.
TEST(Coding, WritesAndReadsEachWidthMostSignificantByteFirst) {
  const std::uint32_t v = 0x89ABCDEF;
  const Bytes expected[] = {{}, hex("EF"), hex("CD EF"), hex("AB CD EF"), hex("89 AB CD EF")};
  for (std::size_t width = 0; width <= 4; ++width) {
    Bytes out(4, 0x55);
    EXPECT_EQ(dtu::put_be(out.data(), v, width), out.data() + width);
    out.resize(width);
    EXPECT_EQ(out, expected[width]) << "width " << width;
    const std::uint32_t mask = width == 4 ? ~0u : (1u << (8 * width)) - 1;
    EXPECT_EQ(dtu::get_be(out.data(), width), v & mask) << "width " << width;
  }
  std::uint8_t b[4];
  dtu::put_be16(b, 0xBEEF);
  EXPECT_EQ(dtu::get_be16(b), 0xBEEF);
  dtu::put_be24(b, 0x123456);
  EXPECT_EQ(dtu::get_be24(b), 0x123456u);
}

struct Rejection {
  const char *why;
  Bytes frame;
};

TEST(HeadCheck, RejectsEachFault) {
  Bytes bad_start = kLogon;
  bad_start[0] = 0x7C;
  Bytes short_len = head_frame(0x02, "12345678901");
  short_len[3] = 15;
  Bytes long_len = head_frame(0x02, "12345678901");
  long_len[3] = 17;
  Bytes bad_end = kLogon;
  bad_end[21] = 0x00;
  const Rejection cases[] = {
      {"start mark", bad_start},
      {"length below 16", short_len},
      {"length beyond the datagram", long_len},
      {"end mark", bad_end},
      {"no-terminal ID", head_frame(0x02, "00000000000")},
  };
  for (const auto &c : cases) EXPECT_EQ(check(c.frame), -1) << c.why;
}

TEST(HeadCheck, AcceptsEdgeForms) {
  std::string id;
  // An ID field that begins with NUL passes with an empty ID.
  EXPECT_EQ(check(head_frame(0x02, ""), &id), 0x02);
  EXPECT_EQ(id, "");
  // Short IDs end at their first NUL; 10 zeros is a real ID.
  EXPECT_EQ(check(head_frame(0x02, "0000000000"), &id), 0x02);
  EXPECT_EQ(id, "0000000000");
  // A head-only frame passes whatever its code.
  for (int code : {0x00, 0x03, 0x7B, 0xFF}) EXPECT_EQ(check(head_frame(static_cast<std::uint8_t>(code), "A")), code);
  // A datagram longer than its length field passes: payload after the head.
  EXPECT_EQ(check(data_frame("12345678901", hex("41 42 43"))), 0x09);
  Bytes f = head_frame(0x09, "12345678901", 20);
  EXPECT_EQ(check(f), 0x09);
}

TEST(HeadCheck, TruncationAtEveryLength) {
  const Bytes full = logon_frame("12345678901", 1, 2, true);
  for (std::size_t n = 0; n < full.size(); ++n) {
    Bytes cut(full.begin(), full.begin() + static_cast<long>(n));
    EXPECT_EQ(check(cut), -1) << "length " << n;
  }
  EXPECT_EQ(check(full), 0x01);
}


class FrameWire : public CentreTest {};

TEST_F(FrameWire, SendCmdPicksTheCodeByTheLowByteOfTheKind) {
  Terminal t;
  UserInfo u{};
  std::strcpy(u.userId, "12345678901");
  const std::pair<int, int> cases[] = {{1, 0x81}, {2, 0x82}, {5, 0x85}, {6, 0x83}, {0, 0x84},
                                       {3, 0x84}, {4, 0x84}, {7, 0x84}, {255, 0x84}, {257, 0x81},
                                       {-255, 0x81}, {0x106, 0x83}};
  for (auto [kind, code] : cases) {
    ASSERT_EQ(send_cmd(kLoopback, t.port(), &u, kind), 0) << kind;
    EXPECT_EQ(code_of(t.receive()), code) << kind;
  }
}

TEST_F(FrameWire, SendCmdIsByteExact) {
  Terminal t;
  UserInfo u{};
  std::strcpy(u.userId, "12345678901");
  ASSERT_EQ(send_cmd(kLoopback, t.port(), &u, 1), 0);
  EXPECT_EQ(to_hex(t.receive()), "7B 81 00 10 31 32 33 34 35 36 37 38 39 30 31 7B");
  ASSERT_EQ(send_cmd(kLoopback, t.port() + 0x10000, &u, 257), 0);  // low 16 bits of the port
  EXPECT_EQ(code_of(t.receive()), 0x81);
  // The record's 11 ID bytes go out as they stand, NULs included.
  std::memset(u.userId, 0, sizeof u.userId);
  std::memcpy(u.userId, "AB", 2);
  ASSERT_EQ(send_cmd(kLoopback, t.port(), &u, 6), 0);
  EXPECT_EQ(to_hex(t.receive()), "7B 83 00 10 41 42 00 00 00 00 00 00 00 00 00 7B");
}

TEST_F(FrameWire, SendCmdRefusesANullRecord) {
  Terminal t;
  EXPECT_EQ(send_cmd(kLoopback, t.port(), nullptr, 1), -1);
  EXPECT_TRUE(t.quiet());
}

TEST_F(FrameWire, SendDataIsByteExact) {
  Terminal t;
  ASSERT_EQ(send_data(kLoopback, t.port(), "12345678901", "ABC", 3), 0);
  EXPECT_EQ(to_hex(t.receive()), "7B 89 00 10 31 32 33 34 35 36 37 38 39 30 31 7B 41 42 43");

  ASSERT_EQ(send_data(kLoopback, t.port(), "12345678901", nullptr, 0), 0);
  EXPECT_EQ(t.receive().size(), 16u);

  Bytes big(1024);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(send_data(kLoopback, t.port(), "12345678901", big.data(), 1024), 0);
  Bytes got = t.receive();
  ASSERT_EQ(got.size(), 1040u);
  EXPECT_EQ(got[2], 0x00);
  EXPECT_EQ(got[3], 0x10);  // the length field stays 16 whatever the payload
  EXPECT_TRUE(std::equal(big.begin(), big.end(), got.begin() + 16));

  // Short IDs are padded with NUL, long ones cut to 11.
  ASSERT_EQ(send_data(kLoopback, t.port(), "987", "", 0), 0);
  EXPECT_EQ(to_hex(t.receive()), "7B 89 00 10 39 38 37 00 00 00 00 00 00 00 00 7B");
  ASSERT_EQ(send_data(kLoopback, t.port(), "123456789012345", "", 0), 0);
  EXPECT_EQ(to_hex(t.receive()), "7B 89 00 10 31 32 33 34 35 36 37 38 39 30 31 7B");
}

TEST_F(FrameWire, SendDataRefusesBadArgumentsAndSendsNothing) {
  Terminal t;
  Bytes big(1025);
  EXPECT_EQ(send_data(kLoopback, t.port(), "12345678901", big.data(), 1025), -1);
  EXPECT_EQ(send_data(kLoopback, t.port(), "12345678901", big.data(), 0xFFFFFFFFu), -1);
  EXPECT_EQ(send_data(kLoopback, t.port(), nullptr, "A", 1), -1);
  EXPECT_EQ(send_data(kLoopback, t.port(), "12345678901", nullptr, 4), -1);
  EXPECT_TRUE(t.quiet());
}

TEST(FrameNoSocket, SendsFailBeforeStartAndAfterStop) {
  Terminal t;
  UserInfo u{};
  std::strcpy(u.userId, "12345678901");
  reset_library_state();
  EXPECT_EQ(send_cmd(kLoopback, t.port(), &u, 1), -1);
  EXPECT_EQ(send_data(kLoopback, t.port(), "12345678901", "A", 1), -1);
  SetWorkMode(1);
  SetCustomIP(loopback_net());
  ASSERT_EQ(start_gprs_server(nullptr, 0, 0, nullptr), 0);
  EXPECT_EQ(send_cmd(kLoopback, t.port(), &u, 1), 0);
  ASSERT_EQ(stop_gprs_server(nullptr), 0);
  EXPECT_EQ(send_cmd(kLoopback, t.port(), &u, 1), -1);
  EXPECT_EQ(send_data(kLoopback, t.port(), "12345678901", "A", 1), -1);
  EXPECT_EQ(t.receive().size(), 16u);  // the one sent while running
  EXPECT_TRUE(t.quiet());
  reset_library_state();
}

}  // namespace
