#include "users/user_table.h"

#include <cstring>

#include "frame/frame.h"
#include "core/state.h"
#include "platform/platform.h"

namespace dtu {
namespace {

constexpr std::uint8_t kOnline = 1;
constexpr std::uint8_t kOffline = 0;

// An ID as the 11-character comparison sees it: the characters up to the
// first NUL (at most 11), zeros after.  Two IDs compare equal exactly when
// their keys do.
IdKey key_of(const char *id) {
  unsigned char c[12] = {};
  for (std::size_t i = 0; i < kIdSize && id[i] != '\0'; ++i) c[i] = static_cast<unsigned char>(id[i]);
  IdKey k;
  std::memcpy(&k.lo, c, 8);
  std::memcpy(&k.hi, c + 8, 4);
  return k;
}

// IDs often differ only in their last digits: mix every input bit into the
// low bits that pick the bucket.
std::uint32_t hash_of(const IdKey &k) {
  std::uint64_t h = k.lo ^ (std::uint64_t{k.hi} * 0x9E3779B97F4A7C15ull);
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return static_cast<std::uint32_t>(h);
}

constexpr int kBuckets = UserTable::kBuckets;
constexpr int kWords = UserTable::kWords;
constexpr std::int16_t kNone = -1;

UserTable &table() REQUIRES(g_centre.lock) { return g_centre.table; }

int slot_of(const UserInfo *record) REQUIRES(g_centre.lock) { return static_cast<int>(record - table().records); }

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
int bucket_of(const IdKey &k) REQUIRES(g_centre.lock) {
  const UserTable &t = table();
  int b = static_cast<int>(hash_of(k) & (kBuckets - 1));
  while (t.heads[b] != kNone && !(t.keys[t.heads[b]] == k)) b = (b + 1) & (kBuckets - 1);
  return b;
}

void link_slot(int s) REQUIRES(g_centre.lock) {
  UserTable &t = table();
  const int b = bucket_of(t.keys[s]);
  std::int16_t head = t.heads[b];
  if (head == kNone || head > s) {
    t.next[s] = head;
    t.heads[b] = static_cast<std::int16_t>(s);
    return;
  }
  while (t.next[head] != kNone && t.next[head] < s) head = t.next[head];
  t.next[s] = t.next[head];
  t.next[head] = static_cast<std::int16_t>(s);
}

void unlink_slot(int s) REQUIRES(g_centre.lock) {
  UserTable &t = table();
  int b = bucket_of(t.keys[s]);
  if (t.heads[b] != s) {
    std::int16_t at = t.heads[b];
    while (t.next[at] != s) at = t.next[at];
    t.next[at] = t.next[s];
    return;
  }
  t.heads[b] = t.next[s];
  if (t.heads[b] != kNone) return;
  // The chain is gone: close the gap so that probing stays correct.
  for (int i = (b + 1) & (kBuckets - 1); t.heads[i] != kNone; i = (i + 1) & (kBuckets - 1)) {
    const int home = static_cast<int>(hash_of(t.keys[t.heads[i]]) & (kBuckets - 1));
    // Move entry i back to b unless its home lies cyclically in (b, i].
    const bool stays = (b < i) ? (home > b && home <= i) : (home > b || home <= i);
    if (!stays) {
      t.heads[b] = t.heads[i];
      t.heads[i] = kNone;
      b = i;
    }
  }
}

void mark_status(int s) REQUIRES(g_centre.lock) {
  UserTable &t = table();
  const std::uint64_t bit = std::uint64_t{1} << (s % 64);
  if (t.records[s].status == kOffline) t.free_bits[s / 64] |= bit;
  else t.free_bits[s / 64] &= ~bit;
}

void rebuild_index() REQUIRES(g_centre.lock) {
  UserTable &t = table();
  for (auto &h : t.heads) h = kNone;
  for (auto &w : t.free_bits) w = 0;
  for (int s = kMaxUsers - 1; s >= 0; --s) {  // from the top: each link is a push at the head
    t.keys[s] = key_of(t.records[s].userId);
    link_slot(s);
    mark_status(s);
  }
}

}  // namespace

UserInfo *user_slot(int index) { return &table().records[index]; }

UserInfo *find_user(const char *id) {
  UserTable &t = table();
  const std::int16_t head = t.heads[bucket_of(key_of(id))];
  return head == kNone ? nullptr : &t.records[head];
}

UserInfo *find_online_user(const char *id) {
  UserTable &t = table();
  for (std::int16_t s = t.heads[bucket_of(key_of(id))]; s != kNone; s = t.next[s])
    if (t.records[s].status == kOnline) return &t.records[s];
  return nullptr;
}

UserInfo *find_free_slot() {
  UserTable &t = table();
  for (int w = 0; w < kWords; ++w)
    if (t.free_bits[w] != 0) {
      const int s = w * 64 + lowest_set_bit(t.free_bits[w]);
      return s < kMaxUsers ? &t.records[s] : nullptr;
    }
  return nullptr;
}

void store_user(UserInfo *record, const UserInfo &from) {
  const int s = slot_of(record);
  const IdKey k = key_of(from.userId);
  UserTable &t = table();
  if (!(k == t.keys[s])) {
    unlink_slot(s);
    t.keys[s] = k;
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

bool copy_user(const char *id, UserInfo *out) {
  platform::LockGuard lock(g_centre.lock);
  const UserInfo *u = find_user(id);
  if (u == nullptr) return false;
  *out = *u;
  return true;
}

void copy_user_at(int index, UserInfo *out) {
  platform::LockGuard lock(g_centre.lock);
  *out = table().records[index];
}

int count_online_users() {
  platform::LockGuard lock(g_centre.lock);
  int count = 0;
  for (const UserInfo &u : table().records) count += u.status == kOnline;
  return count;
}

bool add_user(const UserInfo &user) {
  g_centre.lock.assume_exclusive();  // unlocked by the interface's rules
  UserInfo *slot = find_free_slot();
  if (slot == nullptr) return false;
  UserInfo copy = user;
  copy.status = kOnline;
  store_user(slot, copy);
  return true;
}

void clear_user_table() {
  g_centre.lock.assume_exclusive();  // unlocked by the interface's rules
  UserTable &t = table();
  std::memset(t.records, 0, sizeof t.records);
  rebuild_index();
}

void end_all_sessions() {
  g_centre.lock.assume_exclusive();  // start runs beside no other library call
  for (UserInfo &u : table().records) {
    std::memset(u.userId, 0, sizeof u.userId);
    std::memset(u.logonTime, 0, sizeof u.logonTime);
    std::memset(u.updateTime, 0, sizeof u.updateTime);
    u.status = kOffline;
  }
  rebuild_index();
}

void refresh_user(UserInfo *record, const UserInfo &from) {
  record->peerAddr = from.peerAddr;
  record->peerPort = from.peerPort;
  std::memcpy(record->updateTime, from.updateTime, sizeof record->updateTime);
}

bool user_index_consistent() {
  g_centre.lock.assume_exclusive();  // tests only, on one thread
  UserTable &t = table();
  for (int s = 0; s < kMaxUsers; ++s) {
    const char *id = t.records[s].userId;
    const UserInfo *first = nullptr, *online = nullptr, *free_slot = nullptr;
    for (UserInfo &u : t.records) {
      if (first == nullptr && id_equal(u.userId, id)) first = &u;
      if (online == nullptr && u.status == kOnline && id_equal(u.userId, id)) online = &u;
      if (free_slot == nullptr && u.status == kOffline) free_slot = &u;
    }
    if (find_user(id) != first || find_online_user(id) != online || find_free_slot() != free_slot) return false;
  }
  return true;
}

}  // namespace dtu
