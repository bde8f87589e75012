// Hostile traffic and threads: a full table of terminals keeps its sessions
// through a stream of malformed datagrams, and host threads share the
// locking operations with readers blocked in do_read_proc.
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "server/server.h"
#include "support.h"

using namespace test;

namespace {

constexpr int kSockets = 50;
constexpr int kTerminals = 500;

std::string soak_id(int i) {
  char b[12];
  std::snprintf(b, sizeof b, "S%010d", i);
  return b;
}

class SoakTest : public CentreTest {
 protected:
  // Reads every waiting datagram; returns how many were handled.
  int pump() {
    int n = 0;
    DataRecord r;
    while (wait_readable(n == 0 ? 200 : 5)) {
      do_read_proc(&r, nullptr, 1);
      ++n;
    }
    return n;
  }
  // Takes every reply waiting at the terminals; any frame whose ID is not
  // one of that socket's terminals is a stray.
  void collect() {
    for (int s = 0; s < kSockets; ++s) {
      for (bool got = true; got;) {
        Bytes f = sockets_[s].receive(0, &got);
        if (!got) break;
        const std::string id(f.size() >= 15 ? std::string(f.begin() + 4, f.begin() + 15).c_str() : "");
        const int owner = id.size() == 11 && id[0] == 'S' ? std::atoi(id.c_str() + 1) % kSockets : -1;
        if (owner != s) ++strays_;
        ++replies_[code_of(f)];
      }
    }
    for (bool got = true; got;) attacker_.receive(0, &got);
  }
  Terminal sockets_[kSockets];
  Terminal attacker_;
  long strays_ = 0;
  std::map<int, long> replies_;
};

TEST_F(SoakTest, FullTableSurvivesAHostileStream) {
  for (int i = 0; i < kTerminals; ++i) {
    sockets_[i % kSockets].send(logon_frame(soak_id(i)), port_);
    if (i % 25 == 24) pump();
  }
  pump();
  collect();
  ASSERT_EQ(get_online_user_amount(), kTerminals);
  ASSERT_EQ(replies_[0x81], kTerminals);

  std::mt19937 rng(20261208);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto random_bytes = [&](std::size_t n) {
    Bytes b(n);
    for (auto &c : b) c = static_cast<std::uint8_t>(rng());
    return b;
  };
  auto real_frame = [&] {
    const std::string id = soak_id(pick(kTerminals));
    switch (pick(4)) {
      case 0: return logon_frame(id);
      case 1: return data_frame(id, random_bytes(static_cast<std::size_t>(pick(64))));
      case 2: return head_frame(0x02, id);
      default: return param_reply(id, random_bytes(static_cast<std::size_t>(pick(40))));
    }
  };
#ifdef _WIN32
  constexpr int kHostile = 4000;  // Wine's sockets are slower; the mix is the same
#else
  constexpr int kHostile = 20000;
#endif
  long valid_sent = 0;
  for (int i = 0; i < kHostile; ++i) {
    Bytes d;
    switch (pick(8)) {
      case 0:  // random bytes, sometimes with a frame mark in front
        d = random_bytes(static_cast<std::size_t>(pick(1100)));
        if (!d.empty() && pick(2)) d[0] = 0x7B;
        break;
      case 1: {  // a real terminal's frame cut short of its length field
        d = real_frame();
        d.resize(static_cast<std::size_t>(pick(static_cast<int>(d.size()))));
        if (d.size() >= 16 && d[1] == 0x09) d[15] = 0;  // data frames would pass when cut
        break;
      }
      case 2: {  // a lying length field
        d = real_frame();
        const int lie = static_cast<int>(d.size()) + 1 + pick(60000);
        d[2] = static_cast<std::uint8_t>(lie >> 8);
        d[3] = static_cast<std::uint8_t>(lie);
        if (d[2] == 0 && d[3] < 16) d[3] = 0x0F;
        break;
      }
      case 3:  // bad marks
        d = real_frame();
        (pick(2) ? d[0] : d[static_cast<std::size_t>(d[2] << 8 | d[3]) - 1]) ^= static_cast<std::uint8_t>(1 + pick(255));
        break;
      case 4:  // oversize: a real ID's frame that never reaches the dispatch
        d = data_frame(soak_id(pick(kTerminals)), random_bytes(static_cast<std::size_t>(1025 + pick(400))));
        d[1] = static_cast<std::uint8_t>(pick(2) ? 0x02 : 0x01);
        break;
      case 5: {  // a parameter reply with lying element lengths
        Bytes e = random_bytes(static_cast<std::size_t>(2 + pick(60)));
        for (std::size_t k = 1; k < e.size(); k += 2 + static_cast<std::size_t>(pick(8))) e[k] = static_cast<std::uint8_t>(pick(256));
        d = param_reply("X" + std::to_string(pick(1000000)), e);
        break;
      }
      default:  // well-formed frames from strangers
        d = pick(2) ? logon_frame("X" + std::to_string(pick(1000))) : data_frame("Y" + std::to_string(pick(1000)), {});
        d[1] = static_cast<std::uint8_t>(pick(3) == 0 ? pick(256) : d[1]);
        break;
    }
    attacker_.send(d, port_);
    if (i % 10 == 0) {
      const int t = pick(kTerminals);
      sockets_[t % kSockets].send(data_frame(soak_id(t), text_bytes("valid")), port_);
      ++valid_sent;
    }
    if (i % 32 == 31) {
      pump();
      collect();
    }
  }
  pump();
  collect();
  EXPECT_EQ(replies_[0x85], valid_sent);  // every valid frame acknowledged
  EXPECT_EQ(replies_[0x83], 0);
  EXPECT_EQ(replies_[0x82], 0);

  // Every session is still on line, at its own address, and answered.
  EXPECT_EQ(get_online_user_amount(), kTerminals);
  for (int i = 0; i < kTerminals; ++i) {
    UserInfo u;
    ASSERT_EQ(get_user_info(soak_id(i).c_str(), &u), 0) << i;
    EXPECT_EQ(u.status, 1) << i;
    EXPECT_EQ(u.peerPort, sockets_[i % kSockets].port()) << i;
  }
  replies_.clear();
  for (int i = 0; i < kTerminals; ++i) {
    sockets_[i % kSockets].send(data_frame(soak_id(i), text_bytes("after")), port_);
    if (i % 25 == 24) pump();
  }
  pump();
  collect();
  EXPECT_EQ(replies_[0x85], kTerminals);
  EXPECT_EQ(strays_, 0);
}

// Several host threads in blocking do_read_proc while others query the
// table, send user data and close users.
TEST(ThreadStress, ReadersAndHostThreadsShareTheLock) {
  reset_library_state();
  SetWorkMode(0);
  SetCustomIP(loopback_net());
  ASSERT_EQ(start_gprs_server(nullptr, 0, 0, nullptr), 0);
  const std::uint16_t port = dtu::server_port();
  std::atomic<bool> stop{false};
  std::atomic<long> handled{0};
  constexpr int kReaders = 3, kIds = 20, kRounds = 300;

  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i)
    threads.emplace_back([&] {
      DataRecord r;
      char msg[64];
      while (!stop) {
        if (do_read_proc(&r, msg, 1) == 0) ++handled;
      }
    });
  Terminal field;  // the terminals' socket; replies pile up and are dropped
  std::thread sender([&] {
    for (int round = 0; round < kRounds; ++round) {
      for (int i = 0; i < kIds; ++i) {
        const std::string id = "T" + std::to_string(1000000000 + i);
        field.send(round % 5 == 0 ? logon_frame(id) : data_frame(id, text_bytes("x")), port);
      }
      for (int w = 0; w < 2000 && handled < static_cast<long>(round) * kIds - 40; ++w)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      for (bool got = true; got;) field.receive(0, &got);
    }
  });
  std::thread host1([&] {
    UserInfo u;
    for (int n = 0; n < 3000 && !stop; ++n) {
      const std::string id = "T" + std::to_string(1000000000 + n % kIds);
      get_user_info(id.c_str(), &u);
      get_user_at(static_cast<unsigned>(n % 500), &u);
      EXPECT_LE(get_online_user_amount(), kIds);
      do_send_user_data(id.c_str(), "down", 4, 0);
    }
  });
  std::thread host2([&] {
    char msg[64];
    for (int n = 0; n < 600 && !stop; ++n) {
      const std::string id = "T" + std::to_string(1000000000 + n % kIds);
      if (n % 3 == 0) do_close_one_user(id.c_str(), msg);
      else if (n % 3 == 1) do_close_one_user2(id.c_str(), nullptr);
      else if (n % 50 == 2) do_close_all_user(msg);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  sender.join();
  host1.join();
  host2.join();
  stop = true;
  Terminal waker;
  for (int i = 0; i < kReaders; ++i) waker.send(Bytes(3, 0), port);  // short: dropped, wakes a reader
  for (auto &t : threads) t.join();
  stop_gprs_server(nullptr);
  EXPECT_GT(handled.load(), kIds * 10);
  reset_library_state();
}

}  // namespace
