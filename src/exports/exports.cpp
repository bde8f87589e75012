// The exported entry points: the one place where the interface's arguments
// are checked (NULL pointers, lengths, ranges) and where the subsystems'
// bool and enum results become the interface's numbers (0 / -1 for server,
// table, session, send and address operations; 1 / 0 for parameter
// operations).  The subsystems below take checked arguments only.  Nothing
// here throws, and the subsystems do not allocate, so no exception can
// reach the boundary.
#include <cstring>

#include "core/link.h"
#include "core/state.h"
#include "dtucentre.h"
#include "frame/frame.h"
#include "params/requests.h"
#include "params/store.h"
#include "server/server.h"
#include "users/handlers.h"
#include "users/sessions.h"
#include "users/user_table.h"
#if !defined(_WIN32)
#include "platform/posix/notifier.h"
#endif

namespace {

int ok_or_fail(bool ok) { return ok ? 0 : -1; }  // table, server, send results
int one_or_zero(bool ok) { return ok ? 1 : 0; }  // parameter results

// A terminal ID the parameter requests accept: 1 to 11 characters.
bool request_id_ok(const char *id) {
  if (id == nullptr) return false;
  const std::size_t n = strnlen(id, dtu::kIdSize + 1);
  return n >= 1 && n <= dtu::kIdSize;
}

}  // namespace

extern "C" {

// Server control
DTU_API int DTU_CALL start_gprs_server(void *window, unsigned int message, int port, char *buffer) {
  return ok_or_fail(dtu::start_server(window, message, port, buffer));
}
DTU_API int DTU_CALL stop_gprs_server(char *buffer) { return ok_or_fail(dtu::stop_server(buffer)); }
DTU_API int DTU_CALL SetWorkMode(int mode) {
  dtu::set_work_mode(mode);
  return mode;
}
DTU_API int DTU_CALL get_server_name(char *name, int size, char *buffer) {
  return ok_or_fail(dtu::read_host_name(name, size, buffer));
}
DTU_API int DTU_CALL dtu_set_receive_buffer(int bytes) {
  if (bytes < 1 || bytes > DTU_MAX_RECEIVE_BUFFER) return -1;
  return dtu::set_receive_buffer(bytes);
}

// Addresses
DTU_API int DTU_CALL AddFilterIP(uint32_t address) { return ok_or_fail(dtu::add_filter_address(address)); }
DTU_API int DTU_CALL DelFilterIP(uint32_t address) { return ok_or_fail(dtu::remove_filter_address(address)); }
DTU_API int DTU_CALL FindFilterIP(uint32_t address) { return dtu::filter_slot_of(address); }
DTU_API int DTU_CALL GetFilterIPCount(void) { return dtu::filter_count(); }
DTU_API uint32_t DTU_CALL GetIP(int slot) { return dtu::filter_address(slot); }
DTU_API uint32_t DTU_CALL SetCustomIP(uint32_t address) {
  dtu::set_custom_ip(address);
  return address;
}
DTU_API uint32_t DTU_CALL GetCurrentIP(void) { return dtu::bound_address(); }

// Receiving
DTU_API int DTU_CALL do_read_proc(DataRecord *record, char *message, int ackFlag) {
  dtu::note_socket_error(0);
  if (record == nullptr) return -1;
  return ok_or_fail(dtu::read_datagram(record, message, ackFlag));
}

// Frames
DTU_API int DTU_CALL send_cmd(uint32_t ip, int port, const UserInfo *user, int kind) {
  if (user == nullptr) return -1;
  return ok_or_fail(dtu::send_command_frame(ip, port, *user, kind));
}
DTU_API int DTU_CALL send_data(uint32_t ip, int port, const char *terminalId, const void *data,
                               uint32_t length) {
  if (terminalId == nullptr || length > dtu::kMaxUserData) return -1;
  if (data == nullptr && length != 0) return -1;
  return ok_or_fail(dtu::send_user_data_frame(ip, port, terminalId, data, length));
}

// User table
DTU_API int DTU_CALL get_user_info(const char *userId, UserInfo *out) {
  if (userId == nullptr || out == nullptr) return -1;
  return ok_or_fail(dtu::copy_user(userId, out));
}
DTU_API int DTU_CALL get_user_at(unsigned int index, UserInfo *out) {
  if (index >= static_cast<unsigned>(dtu::kMaxUsers) || out == nullptr) return -1;
  dtu::copy_user_at(static_cast<int>(index), out);
  return 0;
}
DTU_API int DTU_CALL get_max_user_amount(void) { return dtu::kMaxUsers; }
DTU_API int DTU_CALL get_online_user_amount(void) { return dtu::count_online_users(); }
DTU_API int DTU_CALL AddOneUser(const UserInfo *user) {
  if (user == nullptr) return -1;
  return ok_or_fail(dtu::add_user(*user));
}
DTU_API int DTU_CALL DeleteAllUser(void) {
  dtu::clear_user_table();
  return 0;
}

// Callbacks
DTU_API void DTU_CALL SetEvtCALLBACK(UserEventCallback logon, UserEventCallback logout,
                                     RecvdataCallback recvdata, UserEventCallback recvdataReply,
                                     UserEventCallback invalidcmd) {
  dtu::set_callbacks(logon, logout, recvdata, recvdataReply, invalidcmd);
}
DTU_API void DTU_CALL SetLogonCALLBACK(UserEventCallback logon) { dtu::set_logon_callback(logon); }
DTU_API void DTU_CALL SetLogoutCALLBACK(UserEventCallback logout) { dtu::set_logout_callback(logout); }
DTU_API void DTU_CALL SetRecvdataCALLBACK(RecvdataCallback recvdata) {
  dtu::set_recvdata_callback(recvdata);
}
DTU_API void DTU_CALL SetRecvDataReplyCALLBACK(UserEventCallback recvdataReply) {
  dtu::set_recvdata_reply_callback(recvdataReply);
}
DTU_API void DTU_CALL SetInvalidcmdCALLBACK(UserEventCallback invalidcmd) {
  dtu::set_invalidcmd_callback(invalidcmd);
}

// Sending data and closing users
DTU_API int DTU_CALL do_send_user_data(const char *userId, const char *data, unsigned int length,
                                       int /*reserved*/) {
  if (userId == nullptr || data == nullptr || length == 0 || length > dtu::kMaxUserData) return -1;
  return ok_or_fail(dtu::send_to_terminal(userId, data, length));
}
DTU_API int DTU_CALL do_close_one_user(const char *userId, char *message) {
  if (userId == nullptr) return -1;
  return ok_or_fail(dtu::close_session(userId, message, false));
}
DTU_API int DTU_CALL do_close_one_user2(const char *userId, char *message) {
  if (userId == nullptr) return -1;
  return ok_or_fail(dtu::close_session(userId, message, true));
}
DTU_API int DTU_CALL do_close_all_user(char *message) {
  dtu::close_all_sessions(message, false);
  return 0;
}
DTU_API int DTU_CALL do_close_all_user2(char *message) {
  dtu::close_all_sessions(message, true);
  return 0;
}

// Terminal parameters
DTU_API int DTU_CALL ClearParam(void) {
  dtu::clear_param_frame();
  return 0;
}
DTU_API int DTU_CALL SetParam(int tag, const void *value, int length, int *error) {
  switch (dtu::add_param(tag, value, length)) {
    case dtu::AddParam::kAdded:
      return 1;
    case dtu::AddParam::kBadLength:
      if (error != nullptr) *error = -1;
      return 0;
    case dtu::AddParam::kRefused:
      break;
  }
  return 0;
}
DTU_API int DTU_CALL DoUpdateParam(uint32_t address, int port, const char *id) {
  if (!request_id_ok(id)) return 0;
  return one_or_zero(dtu::send_param_frame(address, port, id));
}
DTU_API int DTU_CALL DoReadParam(uint32_t address, int port, const char *id) {
  if (!request_id_ok(id)) return 0;
  return one_or_zero(dtu::send_param_read(address, port, id));
}
DTU_API int DTU_CALL GetParam(int tag, void *buffer, int *length) {
  if (buffer == nullptr || length == nullptr) return 0;
  return one_or_zero(dtu::read_param(tag, buffer, length));
}

#if !defined(_WIN32)
// The POSIX stand-in for the window of window-message mode.
DTU_API DtuNotifier *DTU_CALL dtu_notifier_create(void) { return dtu::platform::create_notifier(); }
DTU_API int DTU_CALL dtu_notifier_fd(const DtuNotifier *notifier) {
  return dtu::platform::notifier_descriptor(notifier);
}
DTU_API int DTU_CALL dtu_notifier_wait(DtuNotifier *notifier, int timeout_ms, unsigned int *message) {
  return dtu::platform::wait_notifier(notifier, timeout_ms, message);
}
DTU_API void DTU_CALL dtu_notifier_destroy(DtuNotifier *notifier) {
  dtu::platform::destroy_notifier(notifier);
}

// The taps and the error number
DTU_API void DTU_CALL dtu_set_wire_tap(DtuWireTap tap, void *context) { dtu::set_wire_tap(tap, context); }
DTU_API void DTU_CALL dtu_set_datagram_tap(DtuDatagramTap tap, void *context) {
  dtu::set_datagram_tap(tap, context);
}
DTU_API int DTU_CALL dtu_last_error(void) { return dtu::noted_socket_error(); }
#endif

}  // extern "C"
