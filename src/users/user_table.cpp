#include "users/user_table.h"

#include <cstring>

#include "frame/frame.h"
#include "platform/platform.h"

namespace dtu {
namespace {

constexpr std::uint8_t kOnline = 1;
constexpr std::uint8_t kOffline = 0;

// An ID as the 11-character comparison sees it: the characters up to the
// first NUL (at most 11), zeros after.  Two IDs compare equal exactly when
// their keys do.
struct Key {
  std::uint64_t lo = 0;  // characters 0-7
  std::uint32_t hi = 0;  // characters 8-10
  bool operator==(const Key &o) const { return lo == o.lo && hi == o.hi; }
};

Key key_of(const char *id) {
  unsigned char c[12] = {};
  for (std::size_t i = 0; i < kIdSize && id[i] != '\0'; ++i) c[i] = static_cast<unsigned char>(id[i]);
  Key k;
  std::memcpy(&k.lo, c, 8);
  std::memcpy(&k.hi, c + 8, 4);
  return k;
}

// IDs often differ only in their last digits: mix every input bit into the
// low bits that pick the bucket.
std::uint32_t hash_of(const Key &k) {
  std::uint64_t h = k.lo ^ (std::uint64_t{k.hi} * 0x9E3779B97F4A7C15ull);
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return static_cast<std::uint32_t>(h);
}

// The records and their index, all guarded as the table is.
//  - keys[s]: the key of slot s's userId.
//  - Slots sharing a key form a chain in ascending slot order (next[]); the
//    hash table maps each key in use to the lowest slot of its chain, with
//    linear probing.  Every slot is in exactly one chain.
//  - free_bits: bit s set while slot s's status is 0.
constexpr int kBuckets = 1024;  // a power of two, over twice the slots
constexpr std::int16_t kNone = -1;
constexpr int kWords = (kMaxUsers + 63) / 64;

UserInfo g_users[kMaxUsers] = {};
Key g_keys[kMaxUsers];
std::int16_t g_next[kMaxUsers];
std::int16_t g_heads[kBuckets];
std::uint64_t g_free_bits[kWords];

int slot_of(const UserInfo *record) { return static_cast<int>(record - g_users); }

int lowest_set_bit(std::uint64_t w) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctzll(w);
#else
  int n = 0;
  for (; (w & 1) == 0; w >>= 1) ++n;
  return n;
#endif
}

// The bucket that holds `k`'s chain, or the empty bucket where it would go.
int bucket_of(const Key &k) {
  int b = static_cast<int>(hash_of(k) & (kBuckets - 1));
  while (g_heads[b] != kNone && !(g_keys[g_heads[b]] == k)) b = (b + 1) & (kBuckets - 1);
  return b;
}

void link_slot(int s) {
  const int b = bucket_of(g_keys[s]);
  std::int16_t head = g_heads[b];
  if (head == kNone || head > s) {
    g_next[s] = head;
    g_heads[b] = static_cast<std::int16_t>(s);
    return;
  }
  while (g_next[head] != kNone && g_next[head] < s) head = g_next[head];
  g_next[s] = g_next[head];
  g_next[head] = static_cast<std::int16_t>(s);
}

void unlink_slot(int s) {
  int b = bucket_of(g_keys[s]);
  if (g_heads[b] != s) {
    std::int16_t at = g_heads[b];
    while (g_next[at] != s) at = g_next[at];
    g_next[at] = g_next[s];
    return;
  }
  g_heads[b] = g_next[s];
  if (g_heads[b] != kNone) return;
  // The chain is gone: close the gap so that probing stays correct.
  for (int i = (b + 1) & (kBuckets - 1); g_heads[i] != kNone; i = (i + 1) & (kBuckets - 1)) {
    const int home = static_cast<int>(hash_of(g_keys[g_heads[i]]) & (kBuckets - 1));
    // Move entry i back to b unless its home lies cyclically in (b, i].
    const bool stays = (b < i) ? (home > b && home <= i) : (home > b || home <= i);
    if (!stays) {
      g_heads[b] = g_heads[i];
      g_heads[i] = kNone;
      b = i;
    }
  }
}

void mark_status(int s) {
  const std::uint64_t bit = std::uint64_t{1} << (s % 64);
  if (g_users[s].status == kOffline) g_free_bits[s / 64] |= bit;
  else g_free_bits[s / 64] &= ~bit;
}

void rebuild_index() {
  for (auto &h : g_heads) h = kNone;
  for (auto &w : g_free_bits) w = 0;
  for (int s = kMaxUsers - 1; s >= 0; --s) {  // from the top: each link is a push at the head
    g_keys[s] = key_of(g_users[s].userId);
    link_slot(s);
    mark_status(s);
  }
}

// The index exists from load: all records are zero, so one chain of the
// empty ID holds every slot and every slot is free.
[[maybe_unused]] const bool kIndexReady = (rebuild_index(), true);

}  // namespace

UserInfo *user_slot(int index) { return &g_users[index]; }

UserInfo *find_user(const char *id) {
  const std::int16_t head = g_heads[bucket_of(key_of(id))];
  return head == kNone ? nullptr : &g_users[head];
}

UserInfo *find_online_user(const char *id) {
  for (std::int16_t s = g_heads[bucket_of(key_of(id))]; s != kNone; s = g_next[s])
    if (g_users[s].status == kOnline) return &g_users[s];
  return nullptr;
}

UserInfo *find_free_slot() {
  for (int w = 0; w < kWords; ++w)
    if (g_free_bits[w] != 0) {
      const int s = w * 64 + lowest_set_bit(g_free_bits[w]);
      return s < kMaxUsers ? &g_users[s] : nullptr;
    }
  return nullptr;
}

void store_user(UserInfo *record, const UserInfo &from) {
  const int s = slot_of(record);
  const Key k = key_of(from.userId);
  if (!(k == g_keys[s])) {
    unlink_slot(s);
    g_keys[s] = k;
    link_slot(s);
  }
  *record = from;
  mark_status(s);
}

void set_user_status(UserInfo *record, std::uint8_t status) {
  record->status = status;
  mark_status(slot_of(record));
}

void close_user(UserInfo *record) {
  UserInfo closed = *record;
  std::memset(closed.userId, 0, sizeof closed.userId);
  closed.status = kOffline;
  store_user(record, closed);
}

int get_user_info(const char *id, UserInfo *out) {
  if (id == nullptr || out == nullptr) return -1;
  platform::ServerLockGuard lock;
  const UserInfo *u = find_user(id);
  if (u == nullptr) return -1;
  *out = *u;
  return 0;
}

int get_user_at(unsigned index, UserInfo *out) {
  if (index >= static_cast<unsigned>(kMaxUsers) || out == nullptr) return -1;
  platform::ServerLockGuard lock;
  *out = g_users[index];
  return 0;
}

int get_online_user_amount() {
  platform::ServerLockGuard lock;
  int count = 0;
  for (const UserInfo &u : g_users) count += u.status == kOnline;
  return count;
}

int add_one_user(const UserInfo *user) {
  if (user == nullptr) return -1;
  UserInfo *slot = find_free_slot();
  if (slot == nullptr) return -1;
  UserInfo copy = *user;
  copy.status = kOnline;
  store_user(slot, copy);
  return 0;
}

int delete_all_user() {
  std::memset(g_users, 0, sizeof g_users);
  rebuild_index();
  return 0;
}

int reset_user_table() {
  for (UserInfo &u : g_users) {
    std::memset(u.userId, 0, sizeof u.userId);
    std::memset(u.logonTime, 0, sizeof u.logonTime);
    std::memset(u.updateTime, 0, sizeof u.updateTime);
    u.status = kOffline;
  }
  rebuild_index();
  return 0;
}

void refresh_user(UserInfo *record, const UserInfo &from) {
  record->peerAddr = from.peerAddr;
  record->peerPort = from.peerPort;
  std::memcpy(record->updateTime, from.updateTime, sizeof record->updateTime);
}

bool user_index_consistent() {
  for (int s = 0; s < kMaxUsers; ++s) {
    const char *id = g_users[s].userId;
    const UserInfo *first = nullptr, *online = nullptr, *free_slot = nullptr;
    for (UserInfo &u : g_users) {
      if (first == nullptr && id_equal(u.userId, id)) first = &u;
      if (online == nullptr && u.status == kOnline && id_equal(u.userId, id)) online = &u;
      if (free_slot == nullptr && u.status == kOffline) free_slot = &u;
    }
    if (find_user(id) != first || find_online_user(id) != online || find_free_slot() != free_slot) return false;
  }
  return true;
}

}  // namespace dtu
