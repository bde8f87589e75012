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

TEST_F(TableTest, GetUserAtBounds) {
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
  EXPECT_EQ(dtu::find_online_user("12345678901"), dtu::user_slot(0));
  EXPECT_EQ(get_user_info("1234567890", &got), -1);
  EXPECT_EQ(get_user_info(nullptr, &got), -1);
  EXPECT_EQ(get_user_info("12345678901", nullptr), -1);
  // An empty ID finds the first record with an empty ID.
  ASSERT_EQ(get_user_info("", &got), 0);
  EXPECT_EQ(got.userId[0], 0);
  EXPECT_EQ(dtu::find_user(""), dtu::user_slot(2));
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
  log_on(t, "12345678901");
  DataRecord r;
  ASSERT_EQ(deliver(t, head_frame(0x02, "12345678901"), &r), 0);  // logs off itself
  EXPECT_EQ(code_of(t.receive()), 0x82);
  EXPECT_EQ(do_send_user_data("12345678901", "A", 1, 0), -1);
  // An on-line record of the same ID in a later slot is not reached: the
  // first record holding the ID decides.
  UserInfo u = make_user("12345678901", 1);
  u.peerAddr = kLoopback;
  u.peerPort = t.port();
  dtu::store_user(dtu::user_slot(1), u);
  EXPECT_EQ(do_send_user_data("12345678901", "A", 1, 0), -1);
  EXPECT_TRUE(t.quiet(50));
  // A logon refreshes the on-line record in slot 1; slot 0 still decides.
  log_on(t, "12345678901");
  EXPECT_EQ(dtu::user_slot(0)->status, 0);
  EXPECT_EQ(do_send_user_data("12345678901", "A", 1, 0), -1);
}

TEST_F(SessionTest, CloseOneUser) {
  Terminal t;
  log_on(t, "12345678901");
  char msg[64] = "keep";
  EXPECT_EQ(do_close_one_user("12345678901", msg), 0);
  EXPECT_EQ(std::string(msg, 21), "**[12345678901] \xCD\xCB\xB3\xF6 ");
  EXPECT_EQ(std::strlen(msg), 42u);
  EXPECT_EQ(std::string(msg + 40), "\r\n");
  EXPECT_EQ(get_online_user_amount(), 0);
  UserInfo got;
  EXPECT_EQ(get_user_info("12345678901", &got), -1);  // the ID went with the close
  ASSERT_EQ(get_user_at(0, &got), 0);
  EXPECT_EQ(got.peerPort, t.port());  // addresses stay
  std::strcpy(msg, "keep");
  EXPECT_EQ(do_close_one_user("12345678901", msg), -1);
  EXPECT_STREQ(msg, "keep");
  EXPECT_EQ(do_close_one_user(nullptr, msg), -1);
  EXPECT_TRUE(t.quiet(50));  // the variant without 2 tells the terminal nothing
  // Its next data is answered NotLoggedOn.
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

TEST_F(SessionTest, CloseAllUsers) {
  Terminal t2, t9, t40;
  UserInfo filler = make_user("F", 0);
  for (int i = 0; i < 41; ++i) ASSERT_EQ(AddOneUser(&filler), 0);
  for (int i = 0; i < 41; ++i) dtu::set_user_status(dtu::user_slot(i), 0);
  // Logons fill slots 0, 1, 2; move them to slots 2, 9 and 40.
  const std::pair<Terminal *, int> at[] = {{&t2, 2}, {&t9, 9}, {&t40, 40}};
  for (auto [t, slot] : at) {
    std::string id = "ID" + std::to_string(slot);
    UserInfo u = make_user(id.c_str());
    u.peerAddr = kLoopback;
    u.peerPort = t->port();
    u.status = 1;
    dtu::store_user(dtu::user_slot(slot), u);
  }
  UserInfo none = make_user("00000000000");
  none.peerAddr = kLoopback;
  none.peerPort = t2.port();
  none.status = 1;
  dtu::store_user(dtu::user_slot(20), none);

  char msg[64] = "keep";
  EXPECT_EQ(do_close_all_user2(msg), 0);
  EXPECT_EQ(std::string(msg, 8), "**[ID40]");
  EXPECT_EQ(code_of(t2.receive()), 0x82);
  EXPECT_EQ(code_of(t9.receive()), 0x82);
  EXPECT_EQ(code_of(t40.receive()), 0x82);
  EXPECT_TRUE(t2.quiet(50));  // the no-terminal record got nothing
  EXPECT_EQ(get_online_user_amount(), 1);
  EXPECT_EQ(dtu::user_slot(20)->status, 1);

  std::strcpy(msg, "keep");
  EXPECT_EQ(do_close_all_user(msg), 0);  // nothing left to close
  EXPECT_STREQ(msg, "keep");
  EXPECT_EQ(do_close_all_user(nullptr), 0);
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
