// The user table and the host's session operations: sending data and
// closing users, against sessions made by real logons.
#include <cstring>
#include <random>

#include "support.h"
#include "users/user_table.h"

using namespace test;

namespace {

UserInfo make_user(const char *id, std::uint8_t status = 0) {
  UserInfo u{};
  std::strncpy(u.userId, id, sizeof u.userId);
  u.peerAddr = 0x0A000001;
  u.peerPort = 7000;
  u.reserved1[0] = 0x5A;
  u.reserved2 = 0xA5;
  u.status = status;
  return u;
}

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_library_state(); }
  void TearDown() override { reset_library_state(); }
};

TEST_F(TableTest, GetUserAtRefusesIndexesPast499AndANullRecord) {
  UserInfo out;
  std::memset(&out, 0x33, sizeof out);
  EXPECT_EQ(get_user_at(500, &out), -1);
  EXPECT_EQ(get_user_at(0xFFFFFFFFu, &out), -1);
  EXPECT_EQ(out.status, 0x33);  // untouched
  EXPECT_EQ(get_user_at(0, nullptr), -1);
  ASSERT_EQ(get_user_at(499, &out), 0);
  const UserInfo zero{};
  EXPECT_EQ(std::memcmp(&out, &zero, sizeof out), 0);
  EXPECT_EQ(get_max_user_amount(), 500);
}

TEST_F(TableTest, AddOneUserCopiesEveryByteAndFillsTheTable) {
  UserInfo u = make_user("12345678901", 0);
  ASSERT_EQ(AddOneUser(&u), 0);
  UserInfo got;
  ASSERT_EQ(get_user_at(0, &got), 0);
  EXPECT_EQ(got.status, 1);
  got.status = 0;
  EXPECT_EQ(std::memcmp(&got, &u, sizeof u), 0);
  for (int i = 1; i < 500; ++i) ASSERT_EQ(AddOneUser(&u), 0) << i;
  EXPECT_EQ(AddOneUser(&u), -1);
  EXPECT_EQ(get_online_user_amount(), 500);
  ASSERT_EQ(get_user_at(499, &got), 0);
  EXPECT_STREQ(got.userId, "12345678901");
  EXPECT_EQ(AddOneUser(nullptr), -1);
}

TEST_F(TableTest, LookupsUseElevenCharactersAndSlotOrder) {
  UserInfo a = make_user("12345678901"), b = make_user("12345678901");
  b.peerPort = 9;
  ASSERT_EQ(AddOneUser(&a), 0);
  ASSERT_EQ(AddOneUser(&b), 0);
  UserInfo got;
  ASSERT_EQ(get_user_info("12345678901XYZ", &got), 0);  // only 11 characters count
  EXPECT_EQ(got.peerPort, 7000);                        // the lower slot
  EXPECT_EQ(get_user_info("1234567890", &got), -1);
  EXPECT_EQ(get_user_info(nullptr, &got), -1);
  EXPECT_EQ(get_user_info("12345678901", nullptr), -1);
  // An empty ID finds the first record with an empty ID.
  ASSERT_EQ(get_user_info("", &got), 0);
  EXPECT_EQ(got.userId[0], 0);
  EXPECT_EQ(got.peerPort, 0);  // the zeroed slot 2, not a record of the adds
}

TEST_F(TableTest, DeleteAllZeroesEverything) {
  UserInfo u = make_user("12345678901");
  ASSERT_EQ(AddOneUser(&u), 0);
  EXPECT_EQ(DeleteAllUser(), 0);
  UserInfo got;
  ASSERT_EQ(get_user_at(0, &got), 0);
  const UserInfo zero{};
  EXPECT_EQ(std::memcmp(&got, &zero, sizeof got), 0);
}

// The index behind the lookups must answer as a scan in slot order would,
// whatever mix of writes the table has seen.
TEST_F(TableTest, LookupsAgreeWithASlotOrderScan) {
  std::mt19937 rng(7);
  const char *pool[] = {"", "00000000000", "12345678901", "1234567890", "A", "B", "AB", "ABC"};
  auto random_user = [&] {
    UserInfo u{};
    const int pick = static_cast<int>(rng() % 10);
    if (pick < 8) {
      std::strcpy(u.userId, pool[pick]);
    } else if (pick == 8) {
      std::memcpy(u.userId, "AB\0garbage!", 12);  // bytes after the NUL do not count
    } else {
      std::memcpy(u.userId, "123456789012", 12);   // no NUL: 11 characters count
    }
    u.status = static_cast<std::uint8_t>(rng() % 2);
    return u;
  };
  for (int step = 0; step < 3000; ++step) {
    UserInfo *slot = dtu::user_slot(static_cast<int>(rng() % 500));
    const UserInfo u = random_user();
    switch (rng() % 8) {
      case 0: case 1: case 2: AddOneUser(&u); break;
      case 3: dtu::close_user(slot); break;
      case 4: dtu::set_user_status(slot, static_cast<std::uint8_t>(rng() % 2)); break;
      case 5: dtu::store_user(slot, u); break;
      case 6: if (rng() % 50 == 0) DeleteAllUser(); break;
      default: if (rng() % 50 == 0) dtu::end_all_sessions(); break;
    }
    if (step % 100 == 0) ASSERT_TRUE(dtu::user_index_consistent()) << "after step " << step;
  }
  EXPECT_TRUE(dtu::user_index_consistent());
}

// ---- sending data and closing users ---------------------------------

class SessionTest : public CentreTest {};

TEST_F(SessionTest, SendUserDataToAnOnlineTerminal) {
  Terminal t;
  log_on(t, "12345678901");
  EXPECT_EQ(do_send_user_data("12345678901", "ABC", 3, 77), 0);
  EXPECT_EQ(to_hex(t.receive()), "7B 89 00 10 31 32 33 34 35 36 37 38 39 30 31 7B 41 42 43");
  std::string big(1024, 'x');
  EXPECT_EQ(do_send_user_data("12345678901", big.data(), 1024, 0), 0);
  EXPECT_EQ(t.receive().size(), 1040u);
  EXPECT_EQ(do_send_user_data("12345678901", big.data(), 1025, 0), -1);
  EXPECT_EQ(do_send_user_data("12345678901", big.data(), 0, 0), -1);
  EXPECT_EQ(do_send_user_data(nullptr, big.data(), 1, 0), -1);
  EXPECT_EQ(do_send_user_data("99999999999", big.data(), 1, 0), -1);
  EXPECT_TRUE(t.quiet(50));
}

TEST_F(SessionTest, SendUserDataStopsAtTheFirstRecordOfTheId) {
  Terminal t;
  log_on(t, "12345678901");  // slot 0
  UserInfo u = make_user("12345678901", 1);
  u.peerAddr = kLoopback;
  u.peerPort = t.port();
  ASSERT_EQ(AddOneUser(&u), 0);  // slot 1, on line with the same ID
  DataRecord r;
  ASSERT_EQ(deliver(t, head_frame(0x02, "12345678901"), &r), 0);  // slot 0 logs off
  EXPECT_EQ(code_of(t.receive()), 0x82);
  // The on-line record in slot 1 is not reached: the first record holding
  // the ID decides.
  EXPECT_EQ(do_send_user_data("12345678901", "A", 1, 0), -1);
  EXPECT_TRUE(t.quiet(50));
  // A logon refreshes the on-line record in slot 1; slot 0 still decides.
  log_on(t, "12345678901");
  UserInfo first;
  ASSERT_EQ(get_user_at(0, &first), 0);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(do_send_user_data("12345678901", "A", 1, 0), -1);
}

TEST_F(SessionTest, CloseOneUserTakesItOffLineAndWritesTheCloseLine) {
  Terminal t;
  log_on(t, "12345678901");
  char msg[64] = "keep";
  EXPECT_EQ(do_close_one_user("12345678901", msg), 0);
  EXPECT_EQ(std::string(msg, 21), "**[12345678901] \xCD\xCB\xB3\xF6 ");
  EXPECT_EQ(std::strlen(msg), 42u);
  EXPECT_EQ(std::string(msg + 40), "\r\n");
  EXPECT_EQ(get_online_user_amount(), 0);
}

TEST_F(SessionTest, CloseOneUserClearsTheIdAndKeepsTheAddresses) {
  Terminal t;
  log_on(t, "12345678901");
  ASSERT_EQ(do_close_one_user("12345678901", nullptr), 0);
  UserInfo got;
  EXPECT_EQ(get_user_info("12345678901", &got), -1);
  ASSERT_EQ(get_user_at(0, &got), 0);
  EXPECT_EQ(got.peerPort, t.port());
}

TEST_F(SessionTest, CloseOneUserOfATerminalNotOnLineFailsAndLeavesTheBuffer) {
  char msg[64] = "keep";
  EXPECT_EQ(do_close_one_user("12345678901", msg), -1);
  EXPECT_STREQ(msg, "keep");
  EXPECT_EQ(do_close_one_user(nullptr, msg), -1);
}

TEST_F(SessionTest, CloseOneUserTellsTheTerminalNothingAndItsDataIsNotLoggedOn) {
  Terminal t;
  log_on(t, "12345678901");
  ASSERT_EQ(do_close_one_user("12345678901", nullptr), 0);
  EXPECT_TRUE(t.quiet(50));
  DataRecord r;
  ASSERT_EQ(deliver(t, data_frame("12345678901", hex("41")), &r), 0);
  EXPECT_EQ(r.dataType, 6);
}

TEST_F(SessionTest, CloseOneUser2TellsTheTerminalOnce) {
  Terminal t;
  log_on(t, "12345678901");
  char msg[64];
  EXPECT_EQ(do_close_one_user2("12345678901ABC", msg), 0);  // 14 characters, 11 count
  EXPECT_EQ(std::string(msg, 18), "**[12345678901ABC]");
  EXPECT_EQ(to_hex(t.receive()), "7B 82 00 10 31 32 33 34 35 36 37 38 39 30 31 7B");
  EXPECT_TRUE(t.quiet(50));
  EXPECT_EQ(do_close_one_user2("12345678901", nullptr), -1);
}

// On line: ID2, ID9 and ID40 in slots 2, 9 and 40, and the no-terminal ID in
// slot 20, each at its own terminal; every other slot of 0-40 closed.
class CloseAllTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    for (int i = 0; i <= 40; ++i) {
      Terminal *t = i == 2 ? &t2_ : i == 9 ? &t9_ : i == 40 ? &t40_ : i == 20 ? &t20_ : nullptr;
      const std::string id = t == nullptr ? "F" + std::to_string(i) : i == 20 ? "00000000000" : "ID" + std::to_string(i);
      UserInfo u = make_user(id.c_str());
      if (t != nullptr) {
        u.peerAddr = kLoopback;
        u.peerPort = t->port();
      }
      ASSERT_EQ(AddOneUser(&u), 0);
    }
    for (int i = 0; i <= 40; ++i)
      if (i != 2 && i != 9 && i != 20 && i != 40)
        ASSERT_EQ(do_close_one_user(("F" + std::to_string(i)).c_str(), nullptr), 0);
  }
  Terminal t2_, t9_, t20_, t40_;
};

TEST_F(CloseAllTest, CloseAll2TellsEveryOnLineTerminalButTheNoTerminalId) {
  char msg[64] = "keep";
  EXPECT_EQ(do_close_all_user2(msg), 0);
  EXPECT_EQ(std::string(msg, 8), "**[ID40]");  // the line of the last one closed
  EXPECT_EQ(code_of(t2_.receive()), 0x82);
  EXPECT_EQ(code_of(t9_.receive()), 0x82);
  EXPECT_EQ(code_of(t40_.receive()), 0x82);
  EXPECT_TRUE(t20_.quiet(50));
  EXPECT_EQ(get_online_user_amount(), 1);
  UserInfo got;
  ASSERT_EQ(get_user_at(20, &got), 0);
  EXPECT_EQ(got.status, 1);
}

TEST_F(CloseAllTest, CloseAllWithNothingLeftToCloseLeavesTheBuffer) {
  ASSERT_EQ(do_close_all_user(nullptr), 0);
  char msg[64] = "keep";
  EXPECT_EQ(do_close_all_user(msg), 0);
  EXPECT_STREQ(msg, "keep");
}

TEST_F(SessionTest, CloseAllWithoutTellingAndWithANullBuffer) {
  Terminal t;
  log_on(t, "AAAAAAAAAAA");
  log_on(t, "BBBBBBBBBBB");
  EXPECT_EQ(do_close_all_user(nullptr), 0);
  EXPECT_EQ(get_online_user_amount(), 0);
  EXPECT_TRUE(t.quiet(50));
}

}  // namespace
