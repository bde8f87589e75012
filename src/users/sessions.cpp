#include "users/sessions.h"

#include <cstdio>
#include <cstring>

#include "core/link.h"
#include "frame/frame.h"
#include "platform/platform.h"
#include "core/texts.h"
#include "users/user_table.h"

namespace dtu {
namespace {

// "**[ID] quit time\r\n", replacing what the buffer held.
void write_close_line(char *message, const char *id) {
  if (message == nullptr) return;
  char now[20];
  platform::local_time_text(platform::now_seconds(), now);
  std::sprintf(message, "**[%s] %s %s\r\n", id, text::kQuit, now);
}

}  // namespace

bool send_to_terminal(const char *id, const char *data, std::size_t length) {
  platform::LockGuard lock(g_centre.lock);
  // The first record holding the ID decides, on line or not.
  const UserInfo *u = find_user(id);
  if (u == nullptr || u->status == 0) return false;
  return send_user_data_frame(u->peerAddr, u->peerPort, id, data, length);
}

bool close_session(const char *id, char *message, bool tell_terminal) {
  platform::LockGuard lock(g_centre.lock);
  UserInfo *u = find_online_user(id);
  if (u == nullptr) return false;
  if (tell_terminal) send_command_frame(u->peerAddr, u->peerPort, *u, kCmdLogout);
  close_user(u);
  write_close_line(message, id);
  return true;
}

void close_all_sessions(char *message, bool tell_terminal) {
  platform::LockGuard lock(g_centre.lock);
  for (int i = 0; i < kMaxUsers; ++i) {
    UserInfo *u = user_slot(i);
    if (u->status != 1 || id_equal(u->userId, kNoTerminalId)) continue;
    if (tell_terminal) send_command_frame(u->peerAddr, u->peerPort, *u, kCmdLogout);
    char id[sizeof u->userId + 1] = {};  // the ID as it stood, NUL-terminated even at 12 bytes
    std::memcpy(id, u->userId, sizeof u->userId);
    close_user(u);
    write_close_line(message, id);
  }
}

}  // namespace dtu
