// Built-in session handlers: register, refresh and release terminals in the
// user table and answer them.  They run inside do_read_proc, under the
// server lock, and take no lock of their own.
#include "users/handlers.h"

#include <cstring>

#include "core/link.h"
#include "core/state.h"
#include "frame/frame.h"
#include "platform/platform.h"
#include "users/user_table.h"

namespace dtu {
namespace {

CallbackSlots &slots() { return g_centre.slots; }

constexpr auto kRelaxed = std::memory_order_relaxed;

}  // namespace

int DTU_CALL default_logon_handler(UserInfo *user) {
  // The terminal's on-line record if it has one, else the first free slot.
  UserInfo *online = find_online_user(user->userId);
  UserInfo *target = online != nullptr ? online : find_free_slot();
  if (target == nullptr) return 0;  // table full: no record, no answer

  if (online != nullptr) {
    // Re-logon: the first logon's time survives.
    char kept[sizeof online->logonTime];
    std::memcpy(kept, online->logonTime, 19);
    kept[19] = '\0';
    store_user(online, *user);
    std::memset(online->logonTime, 0, sizeof online->logonTime);
    std::strcpy(online->logonTime, kept);
  } else {
    store_user(target, *user);
    platform::local_time_text(platform::now_seconds(), target->logonTime);
  }
  send_command_frame(target->peerAddr, target->peerPort, *target, kCmdLogonAck);
  return 0;
}

int DTU_CALL default_logout_handler(UserInfo *user) {
  UserInfo *u = find_online_user(user->userId);
  if (u == nullptr) return 0;
  set_user_status(u, 0);
  send_command_frame(u->peerAddr, u->peerPort, *u, kCmdLogout);
  return 0;
}

int DTU_CALL default_recvdata_handler(UserInfo *user, DataRecord *record, int ack_flag) {
  UserInfo *u = find_online_user(user->userId);
  if (u != nullptr) {
    refresh_user(u, *user);
    if (ack_flag != 0) send_command_frame(u->peerAddr, u->peerPort, *u, kCmdDataAck);
    return 0;
  }
  send_command_frame(user->peerAddr, user->peerPort, *user, kCmdNotLoggedOn);
  record->dataType = DTU_DATA_NOT_ONLINE;
  record->dataLength = 0;
  return 0;
}

int DTU_CALL default_recvdata_reply_handler(UserInfo *user) {
  UserInfo *u = find_online_user(user->userId);
  if (u != nullptr) refresh_user(u, *user);
  return 0;
}

int DTU_CALL default_invalidcmd_handler(UserInfo *user) {
  UserInfo *u = find_online_user(user->userId);
  if (u == nullptr) return 0;
  refresh_user(u, *user);
  send_command_frame(u->peerAddr, u->peerPort, *u, kCmdInvalid);
  return 0;
}

UserEventCallback logon_slot() { return slots().logon.load(kRelaxed); }
UserEventCallback logout_slot() { return slots().logout.load(kRelaxed); }
RecvdataCallback recvdata_slot() { return slots().recvdata.load(kRelaxed); }
UserEventCallback recvdata_reply_slot() { return slots().recvdata_reply.load(kRelaxed); }
UserEventCallback invalidcmd_slot() { return slots().invalidcmd.load(kRelaxed); }

void install_builtin_handlers() {
  set_callbacks(default_logon_handler, default_logout_handler, default_recvdata_handler,
                default_recvdata_reply_handler, default_invalidcmd_handler);
}

void set_callbacks(UserEventCallback logon, UserEventCallback logout, RecvdataCallback recvdata,
                   UserEventCallback recvdata_reply, UserEventCallback invalidcmd) {
  set_logon_callback(logon);
  set_logout_callback(logout);
  set_recvdata_callback(recvdata);
  set_recvdata_reply_callback(recvdata_reply);
  set_invalidcmd_callback(invalidcmd);
}
void set_logon_callback(UserEventCallback cb) { slots().logon.store(cb, kRelaxed); }
void set_logout_callback(UserEventCallback cb) { slots().logout.store(cb, kRelaxed); }
void set_recvdata_callback(RecvdataCallback cb) { slots().recvdata.store(cb, kRelaxed); }
void set_recvdata_reply_callback(UserEventCallback cb) { slots().recvdata_reply.store(cb, kRelaxed); }
void set_invalidcmd_callback(UserEventCallback cb) { slots().invalidcmd.store(cb, kRelaxed); }

}  // namespace dtu
