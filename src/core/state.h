// The module's state, all of it in one statically allocated object: the
// server socket and the taps, the settings, the callback slots, the user
// table, the parameter set frame and store, and the server lock that guards
// the table and the store.  Nothing is allocated on the heap.
//
// Who may touch what:
//  - table, param_store: under `lock` (GUARDED_BY, checked by clang).  The
//    few unlocked writers the interface allows (AddOneUser, DeleteAllUser,
//    the table reset at start) and GetParam's read run on the host's word
//    that no other thread is inside the library; they say so through
//    Lock::assume_exclusive().
//  - link, slots: atomics, for any thread.
//  - settings, param_frame: one host thread at a time, by the interface's
//    rules; no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "dtucentre.h"
#include "platform/platform.h"
#include "platform/thread_annotations.h"

namespace dtu {

constexpr int kMaxUsers = DTU_MAX_USERS;
constexpr int kFilterSlots = 4;
constexpr std::size_t kParamFrameCapacity = 1040;

// The user table's records and the index over their IDs (kept by
// users/user_table.cpp):
//  - keys[s]: the ID of slot s as the 11-character comparison sees it.
//  - Slots sharing a key form a chain in ascending slot order (next[]); the
//    hash table maps each key in use to the lowest slot of its chain, with
//    linear probing.  Every slot is in exactly one chain.
//  - free_bits: bit s set while slot s's status is 0.
struct IdKey {
  std::uint64_t lo = 0;  // characters 0-7
  std::uint32_t hi = 0;  // characters 8-10
  bool operator==(const IdKey &o) const { return lo == o.lo && hi == o.hi; }
};
struct UserTable {
  static constexpr int kBuckets = 1024;  // a power of two, over twice the slots
  static constexpr int kWords = (kMaxUsers + 63) / 64;
  UserInfo records[kMaxUsers];
  IdKey keys[kMaxUsers];
  std::int16_t next[kMaxUsers];
  std::int16_t heads[kBuckets];
  std::uint64_t free_bits[kWords];
};

// The decoded values of the latest parameter reply, one field per catalogued
// tag (26 has none).  Numbers in the machine's own order; texts
// NUL-terminated; tag 18 as its 7 wire bytes.
struct ParamStore {
  char t1[9];
  char t2[31];
  char t3[21];
  char t4[25];
  char t5[9];
  char t6[12];
  std::uint16_t t7, t8, t9, t10;
  std::uint8_t t11;
  std::uint16_t t12;
  std::uint32_t t13;
  char t14[129];
  std::uint32_t t15;  // a 16-bit value
  std::uint16_t t16;
  std::uint32_t t17;
  std::uint8_t t18[7];
  std::uint8_t t19, t20;
  std::uint16_t t21, t22;
  char t23[12];
  std::uint8_t t24, t25;
  std::uint32_t t32;
  std::uint16_t t33;
  char t48[25];
  char t49[25];
  char t50[14];
};

// The parameter set frame; length 0 until the first ClearParam.
struct ParamFrame {
  std::uint8_t bytes[kParamFrameCapacity];
  std::size_t length;
};

// What the host sets for the next start, and what the last start bound.
struct Settings {
  int work_mode;
  std::uint32_t filter[kFilterSlots];  // network order, 0 = empty
  std::uint32_t custom_ip;             // network order
  std::uint32_t bound_address;         // network order; what GetCurrentIP reports
  int receive_buffer;                  // bytes asked by the host; 0 = the start's default
};

// The server socket and the two taps.  A tap's context is stored before
// its function and read after it, so a reader that sees a new function also
// sees its context.
struct Link {
  std::atomic<platform::Socket> socket{platform::kNoSocket};
  std::atomic<void *> tap_context{nullptr};
  std::atomic<DtuWireTap> tap{nullptr};
  std::atomic<void *> datagram_tap_context{nullptr};
  std::atomic<DtuDatagramTap> datagram_tap{nullptr};
};

// The five callback slots.  A setter may run while another thread
// dispatches; the dispatch reads a slot once, just before it calls it.
struct CallbackSlots {
  std::atomic<UserEventCallback> logon{nullptr};
  std::atomic<UserEventCallback> logout{nullptr};
  std::atomic<RecvdataCallback> recvdata{nullptr};
  std::atomic<UserEventCallback> recvdata_reply{nullptr};
  std::atomic<UserEventCallback> invalidcmd{nullptr};
};

struct Centre {
  platform::Lock lock;
  Link link;
  CallbackSlots slots;
  Settings settings{};
  ParamFrame param_frame{};
  UserTable table GUARDED_BY(lock){};
  ParamStore param_store GUARDED_BY(lock){};
};

// The one object, defined with the module's reset (exports/module.cpp).
extern Centre g_centre;

}  // namespace dtu
