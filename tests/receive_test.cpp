// The receive path end to end: terminals on real sockets send frames, the
// centre's do_read_proc returns records, and replies are checked on the wire.
#include <algorithm>
#include <atomic>
#include <functional>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "server/server.h"
#include "support.h"

using namespace test;

namespace {

class ReceiveTest : public CentreTest {};

void expect_reset(const DataRecord &r) {
  EXPECT_EQ(r.userId[0], 0);
  EXPECT_EQ(r.recvTime[0], 0);
  EXPECT_EQ(r.dataLength, 0);
  EXPECT_EQ(r.dataType, 0);
}

bool is_time_text(const char *t) {
  int y, mo, d, h, mi, s;
  return std::strlen(t) == 19 && std::sscanf(t, "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) == 6;
}

TEST_F(ReceiveTest, ShortDatagramsAreDroppedSilently) {
  Terminal t;
  for (std::size_t n : {0u, 1u, 15u}) {
    DataRecord r;
    std::memset(&r, 0xAA, sizeof r);
    char msg[8] = "keep";
    EXPECT_EQ(deliver(t, Bytes(n, 0x7B), &r, 1, msg), 0) << n;
    expect_reset(r);
    EXPECT_STREQ(msg, "keep");
  }
  EXPECT_TRUE(t.quiet(50));
}

TEST_F(ReceiveTest, OversizeDatagramIsAReceiveError) {
  Terminal t;
  Bytes big = data_frame("12345678901", Bytes(1025, 0x41));  // 1041 bytes
  DataRecord r;
  char msg[64];
  EXPECT_EQ(deliver(t, big, &r, 1, msg), -1);
  EXPECT_EQ(std::string(msg), "Error occurred during read,errorcode:" + std::to_string(kErrMsgSize) + "\r\n");
  expect_reset(r);
  EXPECT_TRUE(t.quiet(50));  // nothing of it was dispatched
  // The next datagram is received normally.
  log_on(t, "12345678901");
}

TEST_F(ReceiveTest, ASendToAClosedPortDoesNotSpoilTheNextReceive) {
  Terminal t;
  std::uint16_t closed_port;
  {
    Terminal gone;
    closed_port = gone.port();
  }
  UserInfo u{};
  std::strcpy(u.userId, "12345678901");
  ASSERT_EQ(send_cmd(kLoopback, closed_port, &u, 1), 0);
  DataRecord r;
  char msg[64] = "";
  EXPECT_EQ(deliver(t, logon_frame("12345678901"), &r, 1, msg), 0) << msg;
  EXPECT_EQ(r.dataType, 1);
}

TEST_F(ReceiveTest, RejectedFramesGiveErrorPacket) {
  Terminal t;
  Bytes bad_end = logon_frame("12345678901");
  bad_end[21] = 0;
  for (const Bytes &f : {head_frame(0x02, "00000000000"), bad_end}) {
    DataRecord r;
    char msg[32];
    EXPECT_EQ(deliver(t, f, &r, 1, msg), -1);
    EXPECT_STREQ(msg, "Error packet\r\n");
    expect_reset(r);
    EXPECT_EQ(deliver(t, f, &r, 1, nullptr), -1);  // no buffer, no text
  }
}

TEST_F(ReceiveTest, RecordWritesStopAtByte1058) {
  Terminal t;
  log_on(t, "12345678901");
  alignas(DataRecord) unsigned char area[sizeof(DataRecord)];
  std::memset(area, 0xEE, sizeof area);
  auto *r = reinterpret_cast<DataRecord *>(area);
  EXPECT_EQ(deliver(t, data_frame("12345678901", Bytes(1024, 1)), r), 0);
  EXPECT_EQ(r->dataLength, 1024);
  EXPECT_EQ(r->dataType, 9);
  for (std::size_t i = 1059; i < sizeof area; ++i) EXPECT_EQ(area[i], 0xEE) << i;
  std::memset(area, 0xEE, sizeof area);
  EXPECT_EQ(deliver(t, Bytes(3, 0), r), 0);  // reset only
  for (std::size_t i = 1059; i < sizeof area; ++i) EXPECT_EQ(area[i], 0xEE) << i;
  EXPECT_EQ(do_read_proc(nullptr, nullptr, 0), -1);
}

TEST_F(ReceiveTest, LongLogonIsAcceptedAndAcknowledged) {
  Terminal t;
  DataRecord r;
  EXPECT_EQ(deliver(t, logon_frame("12345678901", 1, 2, true), &r), 0);
  EXPECT_EQ(r.dataType, 1);
  EXPECT_EQ(code_of(t.receive()), 0x81);
}

TEST_F(ReceiveTest, LogonOfAnotherLengthIsRefusedWithoutAWord) {
  Terminal t;
  DataRecord r;
  char msg[8] = "keep";
  EXPECT_EQ(deliver(t, head_frame(0x01, "22222222222", 23), &r, 1, msg), -1);
  EXPECT_EQ(r.dataType, 0);
  EXPECT_STREQ(r.userId, "22222222222");
  EXPECT_TRUE(is_time_text(r.recvTime));
  EXPECT_STREQ(msg, "keep");
  EXPECT_TRUE(t.quiet(50));
  UserInfo u;
  EXPECT_EQ(get_user_info("22222222222", &u), -1);
}

TEST_F(ReceiveTest, LogonRegistersAndAcknowledges) {
  Terminal t;
  DataRecord r;
  const std::uint32_t before = static_cast<std::uint32_t>(time(nullptr));
  ASSERT_EQ(deliver(t, hex("7B 01 00 16 31 32 33 34 35 36 37 38 39 30 31 C0 A8 01 02 1F 90 7B"), &r), 0);
  EXPECT_EQ(r.dataType, 1);
  EXPECT_STREQ(r.userId, "12345678901");
  EXPECT_TRUE(is_time_text(r.recvTime));
  EXPECT_EQ(to_hex(t.receive()), "7B 81 00 10 31 32 33 34 35 36 37 38 39 30 31 7B");

  UserInfo u;
  ASSERT_EQ(get_user_info("12345678901", &u), 0);
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.peerAddr, kLoopback);
  EXPECT_EQ(u.peerPort, t.port());
  EXPECT_EQ(u.reportedAddr, 0xC0A80102u);
  EXPECT_EQ(u.reportedPort, 8080);
  EXPECT_TRUE(is_time_text(u.logonTime));
  std::uint32_t stamp;
  std::memcpy(&stamp, u.updateTime, 4);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, before + 5);
  EXPECT_EQ(u.updateTime[19], 0);
}

TEST_F(ReceiveTest, ReLogonFromANewAddressKeepsTheLogonTime) {
  Terminal a, b;
  UserInfo first{};
  std::strcpy(first.userId, "12345678901");
  std::strcpy(first.logonTime, "2001-02-03 04:05:06");
  first.peerAddr = kLoopback;
  first.peerPort = a.port();
  ASSERT_EQ(AddOneUser(&first), 0);  // on line since 2001
  DataRecord r;
  ASSERT_EQ(deliver(b, logon_frame("12345678901", 0x01020304, 99), &r), 0);
  EXPECT_EQ(code_of(b.receive()), 0x81);  // the ack goes to the new address
  EXPECT_TRUE(a.quiet(50));
  UserInfo u;
  ASSERT_EQ(get_user_info("12345678901", &u), 0);
  EXPECT_STREQ(u.logonTime, "2001-02-03 04:05:06");
  EXPECT_EQ(u.peerPort, b.port());
  EXPECT_EQ(u.reportedAddr, 0x01020304u);
  EXPECT_EQ(u.reportedPort, 99);
  EXPECT_EQ(get_online_user_amount(), 1);
}

TEST_F(ReceiveTest, ReLogonFindsTheOnlineRecordPastAFreeSlot) {
  Terminal t;
  log_on(t, "AAAAAAAAAAA");
  log_on(t, "BBBBBBBBBBB");
  ASSERT_EQ(do_close_one_user("AAAAAAAAAAA", nullptr), 0);  // slot 0 free
  log_on(t, "BBBBBBBBBBB");
  UserInfo u;
  ASSERT_EQ(get_user_at(0, &u), 0);
  EXPECT_EQ(u.status, 0);
  EXPECT_EQ(get_online_user_amount(), 1);
}

TEST_F(ReceiveTest, LogonLandsInTheFirstFreeSlotBesideAnOldRecord) {
  Terminal t;
  UserInfo filler{};
  for (int i = 0; i < 7; ++i) {
    std::snprintf(filler.userId, sizeof filler.userId, "F%d", i);
    ASSERT_EQ(AddOneUser(&filler), 0);
  }
  log_on(t, "12345678901");  // slot 7
  DataRecord r;
  ASSERT_EQ(deliver(t, head_frame(0x02, "12345678901"), &r), 0);  // off line, ID kept
  ASSERT_EQ(code_of(t.receive()), 0x82);
  ASSERT_EQ(do_close_one_user("F3", nullptr), 0);  // slot 3 free
  log_on(t, "12345678901");
  UserInfo u;
  ASSERT_EQ(get_user_at(3, &u), 0);
  EXPECT_STREQ(u.userId, "12345678901");
  EXPECT_EQ(u.status, 1);
  ASSERT_EQ(get_user_at(7, &u), 0);
  EXPECT_STREQ(u.userId, "12345678901");
  EXPECT_EQ(u.status, 0);
}

TEST_F(ReceiveTest, FullTableStoresNothingAndStaysSilent) {
  Terminal t;
  UserInfo filler{};
  std::strcpy(filler.userId, "F");
  for (int i = 0; i < 500; ++i) ASSERT_EQ(AddOneUser(&filler), 0);
  EXPECT_EQ(AddOneUser(&filler), -1);
  DataRecord r;
  EXPECT_EQ(deliver(t, logon_frame("12345678901"), &r), 0);
  EXPECT_EQ(r.dataType, 1);
  EXPECT_TRUE(t.quiet(100));
  UserInfo u;
  EXPECT_EQ(get_user_info("12345678901", &u), -1);
}

TEST_F(ReceiveTest, LogoutTakesOffLineAndKeepsTheRecord) {
  Terminal t, other;
  log_on(t, "12345678901");
  DataRecord r;
  // The LogoutCmd goes to the stored address, not to the logout's source.
  ASSERT_EQ(deliver(other, head_frame(0x02, "12345678901"), &r), 0);
  EXPECT_EQ(r.dataType, 2);
  EXPECT_EQ(to_hex(t.receive()), "7B 82 00 10 31 32 33 34 35 36 37 38 39 30 31 7B");
  EXPECT_TRUE(other.quiet(50));
  UserInfo u;
  ASSERT_EQ(get_user_info("12345678901", &u), 0);
  EXPECT_EQ(u.status, 0);
  EXPECT_EQ(u.peerPort, t.port());
  EXPECT_EQ(get_online_user_amount(), 0);
  // A second logout, and data now, meet a terminal that is not on line.
  ASSERT_EQ(deliver(t, head_frame(0x02, "12345678901"), &r), 0);
  EXPECT_TRUE(t.quiet(50));
  ASSERT_EQ(deliver(t, data_frame("12345678901", hex("41")), &r, 0), 0);
  EXPECT_EQ(code_of(t.receive()), 0x83);
}

TEST_F(ReceiveTest, UserDataWithAndWithoutAck) {
  Terminal t, moved;
  log_on(t, "12345678901");
  DataRecord r;
  ASSERT_EQ(deliver(t, hex("7B 09 00 10 31 32 33 34 35 36 37 38 39 30 31 7B 41 42 43"), &r, 1), 0);
  EXPECT_EQ(r.dataType, 9);
  EXPECT_EQ(r.dataLength, 3);
  EXPECT_EQ(std::memcmp(r.data, "ABC", 3), 0);
  EXPECT_EQ(r.data[3], 0);
  EXPECT_EQ(to_hex(t.receive()), "7B 85 00 10 31 32 33 34 35 36 37 38 39 30 31 7B");
  // Without ackFlag: refreshed, silent.  The record follows the new source.
  ASSERT_EQ(deliver(moved, data_frame("12345678901", {}), &r, 0), 0);
  EXPECT_EQ(r.dataType, 9);
  EXPECT_EQ(r.dataLength, 0);
  EXPECT_TRUE(moved.quiet(50));
  UserInfo u;
  ASSERT_EQ(get_user_info("12345678901", &u), 0);
  EXPECT_EQ(u.peerPort, moved.port());
  // The payload runs to the end of the datagram whatever the length field.
  Bytes f = head_frame(0x09, "12345678901", 20);
  f.push_back(0x55);
  ASSERT_EQ(deliver(t, f, &r, 1), 0);
  EXPECT_EQ(r.dataLength, 5);
  EXPECT_EQ(r.data[4], 0x55);
  EXPECT_EQ(code_of(t.receive()), 0x85);  // acked at the refreshed address
  EXPECT_TRUE(moved.quiet(50));
}

TEST_F(ReceiveTest, UserDataFromATerminalNotOnLine) {
  Terminal t;
  for (int ack : {0, 1}) {
    DataRecord r;
    ASSERT_EQ(deliver(t, data_frame("12345678901", hex("41 42")), &r, ack), 0);
    EXPECT_EQ(r.dataType, 6);
    EXPECT_EQ(r.dataLength, 0);
    EXPECT_EQ(r.data[0], 0x41);  // payload left as it was
    EXPECT_EQ(to_hex(t.receive()), "7B 83 00 10 31 32 33 34 35 36 37 38 39 30 31 7B");
  }
  EXPECT_EQ(get_online_user_amount(), 0);
}

TEST_F(ReceiveTest, RepliesInvalidCodesAndRecordedOnlyFrames) {
  Terminal t;
  DataRecord r;
  // Not on line: nothing answered.
  for (std::uint8_t code : {0x00, 0x03, 0xFF}) {
    ASSERT_EQ(deliver(t, head_frame(code, "12345678901"), &r), 0);
    EXPECT_EQ(r.dataType, 4);
  }
  EXPECT_TRUE(t.quiet(50));
  log_on(t, "12345678901");
  const std::pair<std::uint8_t, int> cases[] = {{0x04, 4}, {0x05, 5}, {0x0D, 13}, {0x06, 4}, {0x80, 4}};
  for (auto [code, type] : cases) {
    ASSERT_EQ(deliver(t, head_frame(code, "12345678901"), &r), 0);
    EXPECT_EQ(r.dataType, type) << int(code);
  }
  // Only the invalid codes (0x06, 0x80) are answered, with InvalidCmdReply.
  EXPECT_EQ(code_of(t.receive()), 0x84);
  EXPECT_EQ(code_of(t.receive()), 0x84);
  EXPECT_TRUE(t.quiet(50));
}

TEST_F(ReceiveTest, IdReportIsRecordedWithoutATime) {
  Terminal t;
  DataRecord r;
  ASSERT_EQ(deliver(t, head_frame(0x13, "12345678901"), &r), 0);
  EXPECT_EQ(r.dataType, 19);
  EXPECT_STREQ(r.userId, "12345678901");
  EXPECT_EQ(r.recvTime[0], 0);
  EXPECT_TRUE(t.quiet(50));
}

TEST_F(ReceiveTest, IdReportWithoutItsMarkIsRefused) {
  Terminal t;
  DataRecord r;
  Bytes no_mark = head_frame(0x13, "12345678901", 17);
  no_mark[15] = 0;
  EXPECT_EQ(deliver(t, no_mark, &r), -1);
  EXPECT_EQ(r.dataType, 0);
  EXPECT_STREQ(r.userId, "12345678901");
  EXPECT_TRUE(is_time_text(r.recvTime));
  EXPECT_TRUE(t.quiet(50));
}

// ---- callbacks ------------------------------------------------------------

std::atomic<int> g_calls{0};
UserInfo g_seen;
DataRecord *g_record_seen = nullptr;
int g_ack_seen = -1;
int g_lookup_result = -2;

int DTU_CALL record_user(UserInfo *u) {
  ++g_calls;
  g_seen = *u;
  return 7;
}
int DTU_CALL record_data(UserInfo *u, DataRecord *rec, int ack) {
  ++g_calls;
  g_seen = *u;
  g_record_seen = rec;
  g_ack_seen = ack;
  EXPECT_EQ(rec->dataType, 9);  // complete before the callback
  rec->dataType = 42;           // and what it leaves stands
  return 0;
}
int DTU_CALL reenter(UserInfo *u) {
  // Same thread, lock already held: these must not block.
  UserInfo copy;
  g_lookup_result = get_user_info(u->userId, &copy);
  send_cmd(u->peerAddr, u->peerPort, u, 1);
  return 0;
}

TEST_F(ReceiveTest, HostCallbacksReplaceTheBuiltInHandlers) {
  g_calls = 0;
  SetEvtCALLBACK(record_user, record_user, record_data, record_user, record_user);
  Terminal t;
  DataRecord r;
  ASSERT_EQ(deliver(t, logon_frame("12345678901", 0x0A000007, 5000), &r), 0);
  EXPECT_EQ(g_seen.status, 1);
  EXPECT_EQ(g_seen.reportedAddr, 0x0A000007u);
  EXPECT_EQ(g_seen.reportedPort, 5000);
  EXPECT_EQ(g_seen.peerAddr, kLoopback);
  EXPECT_EQ(g_seen.peerPort, t.port());
  EXPECT_EQ(g_seen.logonTime[0], 0);
  EXPECT_EQ(get_online_user_amount(), 0);  // the table is the host's now
  EXPECT_TRUE(t.quiet(50));

  ASSERT_EQ(deliver(t, data_frame("12345678901", hex("41")), &r, 3), 0);
  EXPECT_EQ(r.dataType, 42);
  EXPECT_EQ(g_record_seen, &r);
  EXPECT_EQ(g_ack_seen, 3);
  EXPECT_EQ(g_seen.status, 0);
  for (std::uint8_t code : {0x02, 0x05, 0x07}) ASSERT_EQ(deliver(t, head_frame(code, "12345678901"), &r), 0);
  EXPECT_EQ(g_calls, 5);
}

TEST_F(ReceiveTest, NullSlotsAreSkipped) {
  SetEvtCALLBACK(nullptr, nullptr, nullptr, nullptr, nullptr);
  Terminal t;
  DataRecord r;
  const std::pair<Bytes, int> cases[] = {{logon_frame("12345678901"), 1},
                                         {data_frame("12345678901", hex("41")), 9},
                                         {head_frame(0x02, "12345678901"), 2},
                                         {head_frame(0x05, "12345678901"), 5},
                                         {head_frame(0x77, "12345678901"), 4}};
  for (const auto &[frame, type] : cases) {
    ASSERT_EQ(deliver(t, frame, &r), 0);
    EXPECT_EQ(r.dataType, type);
  }
  EXPECT_TRUE(t.quiet(50));
}

TEST_F(ReceiveTest, CallbackMayReenterTheLockingOperations) {
  Terminal t;
  log_on(t, "12345678901");
  SetRecvDataReplyCALLBACK(reenter);
  g_lookup_result = -2;
  DataRecord r;
  ASSERT_EQ(deliver(t, head_frame(0x05, "12345678901"), &r), 0);
  EXPECT_EQ(g_lookup_result, 0);
  EXPECT_EQ(code_of(t.receive()), 0x81);
}

// Several host threads blocked in do_read_proc: each datagram is dispatched
// exactly once.
TEST(ReceiveThreads, BlockedReadersShareTheDatagrams) {
  reset_library_state();
  SetWorkMode(0);
  SetCustomIP(loopback_net());
  ASSERT_EQ(start_gprs_server(nullptr, 0, 0, nullptr), 0);
  const std::uint16_t port = dtu::server_port();
  constexpr int kReaders = 4, kFrames = 400;
  std::mutex m;
  std::multiset<std::string> seen;
  std::atomic<int> handled{0};
  Terminal t;
  UserInfo online{};
  std::strcpy(online.userId, "12345678901");
  online.peerAddr = kLoopback;
  online.peerPort = t.port();
  ASSERT_EQ(AddOneUser(&online), 0);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&] {
      DataRecord r;
      for (;;) {
        if (do_read_proc(&r, nullptr, 0) != 0) continue;
        std::string payload(reinterpret_cast<char *>(r.data), r.dataLength);
        if (payload == "stop") return;
        std::lock_guard<std::mutex> g(m);
        seen.insert(payload);
        ++handled;
      }
    });
  }
  for (int i = 0; i < kFrames; ++i) {
    t.send(data_frame("12345678901", text_bytes(std::to_string(i))), port);
    // Keep at most 50 in flight so the socket buffer never overflows.
    for (int w = 0; w < 5000 && handled < i - 50; ++w)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (int i = 0; i < kReaders; ++i) t.send(data_frame("12345678901", text_bytes("stop")), port);
  for (auto &th : readers) th.join();
  stop_gprs_server(nullptr);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) EXPECT_EQ(seen.count(std::to_string(i)), 1u) << i;
  reset_library_state();
}

}  // namespace

#if !defined(_WIN32)
// The wire tap sees each datagram in (before it is checked) and each one the
// library sends, with the far end's address and port.
struct Tapped {
  int direction;
  std::uint32_t addr;
  int port;
  Bytes bytes;
  int wire_length;
};

void DTU_CALL record_tap(void *context, int direction, std::uint32_t addr, int port,
                         const void *bytes, int length, int wire_length) {
  const auto *p = static_cast<const std::uint8_t *>(bytes);
  static_cast<std::vector<Tapped> *>(context)->push_back(
      {direction, addr, port, Bytes(p, p + length), wire_length});
}

TEST_F(ReceiveTest, WireTapSeesEveryDatagramInAndOut) {
  std::vector<Tapped> seen;
  dtu_set_wire_tap(record_tap, &seen);
  Terminal t;
  const Bytes logon = logon_frame("13900000001");
  const Bytes garbage = hex("7B 09 00 10 00 00");
  const Bytes big = data_frame("13900000001", Bytes(1100, 0x41));
  DataRecord r;
  deliver(t, logon, &r);
  t.receive();
  deliver(t, garbage, &r);
  deliver(t, big, &r);
  ASSERT_EQ(do_send_user_data("13900000001", "hi", 2, 0), 0);
  t.receive();
  dtu_set_wire_tap(nullptr, nullptr);
  deliver(t, logon, &r);  // no tap: nothing more is seen

  const struct {
    int direction;
    std::size_t length;
    int wire_length;
    int code;
  } want[] = {{DTU_WIRE_IN, logon.size(), static_cast<int>(logon.size()), 0x01},
              {DTU_WIRE_OUT, 16, 16, 0x81},
              {DTU_WIRE_IN, garbage.size(), static_cast<int>(garbage.size()), 0x09},
              {DTU_WIRE_IN, 1040, static_cast<int>(big.size()), 0x09},
              {DTU_WIRE_OUT, 18, 18, 0x89}};
  ASSERT_EQ(seen.size(), std::size(want));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].direction, want[i].direction);
    EXPECT_EQ(seen[i].bytes.size(), want[i].length);
    EXPECT_EQ(seen[i].wire_length, want[i].wire_length);
    EXPECT_EQ(seen[i].bytes[1], want[i].code);
    EXPECT_EQ(seen[i].addr, kLoopback);
    EXPECT_EQ(seen[i].port, t.port());
  }
  EXPECT_EQ(seen[0].bytes, logon);
}

// The datagram tap: the same datagrams, each with the code and ID the
// library found in its head, or DTU_WIRE_NO_CODE and "" when it has none.
struct Described {
  int direction;
  std::uint32_t addr;
  int port;
  Bytes bytes;
  int wire_length;
  int code;
  std::string id;
};

void DTU_CALL record_datagram(void *context, const DtuDatagram *d) {
  const auto *p = static_cast<const std::uint8_t *>(d->bytes);
  static_cast<std::vector<Described> *>(context)->push_back(
      {d->direction, d->addr, d->port, Bytes(p, p + d->length), d->wireLength, d->code, d->terminalId});
}

class DatagramTapTest : public ReceiveTest {
 protected:
  void SetUp() override {
    ReceiveTest::SetUp();
    dtu_set_datagram_tap(record_datagram, &seen_);
  }
  // What the tap reported in `direction` since the last call.
  std::vector<Described> taken(int direction) {
    std::vector<Described> out;
    for (const Described &d : seen_)
      if (d.direction == direction) out.push_back(d);
    seen_.clear();
    return out;
  }
  std::vector<Described> seen_;
};

TEST_F(DatagramTapTest, EveryDatagramInCarriesItsHeadOrNone) {
  const std::string id = "13900000001";
  Bytes bad_start = head_frame(0x09, id);
  bad_start[0] = 0x7A;
  Bytes bad_end = logon_frame(id);
  bad_end[21] = 0;
  Bytes long_field = head_frame(0x09, id);
  long_field[3] = 17;  // one byte more than the datagram holds
  const std::uint8_t fifteen[15] = {0x7B, 0x09, 0x00, 0x10, '1', '3', '9'};
  const struct {
    const char *what;
    Bytes datagram;
    int code;
    const char *id;
  } cases[] = {
      {"logon", logon_frame(id), DTU_CODE_LOGON, "13900000001"},
      {"logout", head_frame(0x02, id), DTU_CODE_LOGOUT, "13900000001"},
      {"invalid report", head_frame(0x04, id), DTU_CODE_INVALID_CMD, "13900000001"},
      {"data reply", head_frame(0x05, id), DTU_CODE_DATA_REPLY, "13900000001"},
      {"user data", data_frame(id, text_bytes("hi")), DTU_CODE_USER_DATA, "13900000001"},
      {"param read reply", param_reply(id, element(2, text_bytes("abc"))), DTU_CODE_PARAM_READ_REPLY,
       "13900000001"},
      {"param set reply", head_frame(0x0D, id), DTU_CODE_PARAM_SET_REPLY, "13900000001"},
      {"id report", head_frame(0x13, id, 17), DTU_CODE_ID_REPORT, "13900000001"},
      {"unknown code", head_frame(0x77, id), 0x77, "13900000001"},
      {"short id", head_frame(0x05, "42"), DTU_CODE_DATA_REPLY, "42"},
      // The head passes; the body is refused afterwards.
      {"logon of a bad length", head_frame(0x01, id, 20), DTU_CODE_LOGON, "13900000001"},
      // No head to speak of.
      {"short", hex("7B 01 1B 5B 32"), DTU_WIRE_NO_CODE, ""},
      {"15 bytes", Bytes(std::begin(fifteen), std::end(fifteen)), DTU_WIRE_NO_CODE, ""},
      {"bad start mark", bad_start, DTU_WIRE_NO_CODE, ""},
      {"bad end mark", bad_end, DTU_WIRE_NO_CODE, ""},
      {"length past the datagram", long_field, DTU_WIRE_NO_CODE, ""},
      {"no-terminal id", head_frame(0x02, "00000000000"), DTU_WIRE_NO_CODE, ""},
      {"zeros", Bytes(16, 0), DTU_WIRE_NO_CODE, ""},
      {"too large", data_frame(id, Bytes(1100, 0x41)), DTU_WIRE_NO_CODE, ""},
  };
  Terminal t;
  for (const auto &k : cases) {
    SCOPED_TRACE(k.what);
    DataRecord r;
    deliver(t, k.datagram, &r);
    const auto in = taken(DTU_WIRE_IN);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].code, k.code);
    EXPECT_EQ(in[0].id, k.id);
    const std::size_t kept = std::min<std::size_t>(k.datagram.size(), DTU_MAX_DATAGRAM);
    EXPECT_EQ(in[0].bytes, Bytes(k.datagram.begin(), k.datagram.begin() + static_cast<long>(kept)));
    EXPECT_EQ(in[0].wire_length, static_cast<int>(k.datagram.size()));
    EXPECT_EQ(in[0].addr, kLoopback);
    EXPECT_EQ(in[0].port, t.port());
    while (!t.quiet(20)) {
    }  // replies of the built-in handlers
  }
}

TEST_F(DatagramTapTest, EveryFrameOutCarriesItsCodeAndId) {
  Terminal t;
  UserInfo u{};
  std::strcpy(u.userId, "13900000002");
  const struct {
    const char *what;
    std::function<bool()> send;
    int code;
    const char *id;
  } cases[] = {
      {"logon ack", [&] { return send_cmd(kLoopback, t.port(), &u, DTU_CMD_LOGON_ACK) == 0; }, DTU_CODE_LOGON_ACK,
       "13900000002"},
      {"logout", [&] { return send_cmd(kLoopback, t.port(), &u, DTU_CMD_LOGOUT) == 0; }, DTU_CODE_LOGOUT_CMD,
       "13900000002"},
      {"not logged on", [&] { return send_cmd(kLoopback, t.port(), &u, DTU_CMD_NOT_LOGGED_ON) == 0; },
       DTU_CODE_NOT_LOGGED_ON, "13900000002"},
      {"invalid reply", [&] { return send_cmd(kLoopback, t.port(), &u, DTU_CMD_INVALID_REPLY) == 0; },
       DTU_CODE_INVALID_CMD_REPLY, "13900000002"},
      {"any other kind", [&] { return send_cmd(kLoopback, t.port(), &u, 99) == 0; }, DTU_CODE_INVALID_CMD_REPLY,
       "13900000002"},
      {"data ack", [&] { return send_cmd(kLoopback, t.port(), &u, DTU_CMD_DATA_ACK) == 0; }, DTU_CODE_DATA_ACK,
       "13900000002"},
      {"user data", [&] { return send_data(kLoopback, t.port(), "7", "abc", 3) == 0; }, DTU_CODE_USER_DATA_DOWN,
       "7"},
      {"param read", [&] { return DoReadParam(kLoopback, t.port(), "13900000002") == 1; }, DTU_CODE_PARAM_READ,
       "13900000002"},
      {"param set",
       [&] {
         int error = 0;
         ClearParam();
         return SetParam(2, "abc", 3, &error) == 1 && DoUpdateParam(kLoopback, t.port(), "13900000002") == 1;
       },
       DTU_CODE_PARAM_SET, "13900000002"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(k.send());
    const Bytes sent = t.receive();
    const auto out = taken(DTU_WIRE_OUT);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].code, k.code);
    EXPECT_EQ(out[0].id, k.id);
    EXPECT_EQ(out[0].bytes, sent);
    EXPECT_EQ(out[0].wire_length, static_cast<int>(sent.size()));
    EXPECT_EQ(out[0].addr, kLoopback);
    EXPECT_EQ(out[0].port, t.port());
  }
}

// The two forms are set apart: each sees the traffic whatever the other is.
TEST_F(DatagramTapTest, StandsBesideTheWireTap) {
  std::vector<Tapped> wire;
  Terminal t;
  DataRecord r;
  dtu_set_wire_tap(record_tap, &wire);
  deliver(t, logon_frame("13900000001"), &r);  // in, and its LogonAck out
  EXPECT_EQ(wire.size(), 2u);
  EXPECT_EQ(seen_.size(), 2u);
  dtu_set_datagram_tap(nullptr, nullptr);
  deliver(t, head_frame(0x05, "13900000001"), &r);
  EXPECT_EQ(wire.size(), 3u);
  EXPECT_EQ(seen_.size(), 2u);
  dtu_set_wire_tap(nullptr, nullptr);
  dtu_set_datagram_tap(record_datagram, &seen_);
  deliver(t, head_frame(0x05, "13900000001"), &r);
  EXPECT_EQ(wire.size(), 3u);
  EXPECT_EQ(seen_.size(), 3u);
}
#endif
