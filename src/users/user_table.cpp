#include "users/user_table.h"

#include <cstring>

#include "frame/frame.h"
#include "platform/platform.h"

namespace dtu {
namespace {

UserInfo g_users[kMaxUsers] = {};  // guarded by the server lock (see header)

constexpr std::uint8_t kOnline = 1;
constexpr std::uint8_t kOffline = 0;

}  // namespace

UserInfo *user_slot(int index) { return &g_users[index]; }

UserInfo *find_user(const char *id) {
  for (UserInfo &u : g_users)
    if (id_equal(u.userId, id)) return &u;
  return nullptr;
}

UserInfo *find_online_user(const char *id) {
  for (UserInfo &u : g_users)
    if (u.status == kOnline && id_equal(u.userId, id)) return &u;
  return nullptr;
}

UserInfo *find_free_slot() {
  for (UserInfo &u : g_users)
    if (u.status == kOffline) return &u;
  return nullptr;
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
  *slot = *user;
  slot->status = kOnline;
  return 0;
}

int delete_all_user() {
  std::memset(g_users, 0, sizeof g_users);
  return 0;
}

int reset_user_table() {
  for (UserInfo &u : g_users) {
    std::memset(u.userId, 0, sizeof u.userId);
    std::memset(u.logonTime, 0, sizeof u.logonTime);
    std::memset(u.updateTime, 0, sizeof u.updateTime);
    u.status = kOffline;
  }
  return 0;
}

void refresh_user(UserInfo *record, const UserInfo &from) {
  record->peerAddr = from.peerAddr;
  record->peerPort = from.peerPort;
  std::memcpy(record->updateTime, from.updateTime, sizeof record->updateTime);
}

void close_user(UserInfo *record) {
  std::memset(record->userId, 0, sizeof record->userId);
  record->status = kOffline;
}

}  // namespace dtu
