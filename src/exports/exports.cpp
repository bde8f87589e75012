// The exported entry points: each checks what the subsystem cannot, calls
// it and hands back its result.  Nothing here throws; the subsystems do not
// allocate, so no exception can reach the boundary.
#include "dtucentre.h"
#include "core/link.h"
#include "frame/frame.h"
#include "params/requests.h"
#include "params/store.h"
#include "server/server.h"
#include "users/handlers.h"
#include "users/sessions.h"
#include "users/user_table.h"

using namespace dtu;

extern "C" {

// Server control
DTU_API int DTU_CALL start_gprs_server(void *window, unsigned int message, int port, char *buffer) {
  return dtu::start_gprs_server(window, message, port, buffer);
}
DTU_API int DTU_CALL stop_gprs_server(char *buffer) { return dtu::stop_gprs_server(buffer); }
DTU_API int DTU_CALL SetWorkMode(int mode) { return set_work_mode(mode); }
DTU_API int DTU_CALL get_server_name(char *name, int size, char *buffer) {
  return dtu::get_server_name(name, size, buffer);
}

// Addresses
DTU_API int DTU_CALL AddFilterIP(uint32_t address) { return add_filter_ip(address); }
DTU_API int DTU_CALL DelFilterIP(uint32_t address) { return del_filter_ip(address); }
DTU_API int DTU_CALL FindFilterIP(uint32_t address) { return find_filter_ip(address); }
DTU_API int DTU_CALL GetFilterIPCount(void) { return get_filter_ip_count(); }
DTU_API uint32_t DTU_CALL GetIP(int slot) { return get_ip(slot); }
DTU_API uint32_t DTU_CALL SetCustomIP(uint32_t address) { return set_custom_ip(address); }
DTU_API uint32_t DTU_CALL GetCurrentIP(void) { return get_current_ip(); }

// Receiving
DTU_API int DTU_CALL do_read_proc(DataRecord *record, char *message, int ackFlag) {
  return dtu::do_read_proc(record, message, ackFlag);
}

// Frames
DTU_API int DTU_CALL send_cmd(uint32_t ip, int port, const UserInfo *user, int kind) {
  return send_command_frame(ip, port, user, kind);
}
DTU_API int DTU_CALL send_data(uint32_t ip, int port, const char *terminalId, const void *data,
                               uint32_t length) {
  return send_user_data_frame(ip, port, terminalId, data, length);
}

// User table
DTU_API int DTU_CALL get_user_info(const char *userId, UserInfo *out) {
  return dtu::get_user_info(userId, out);
}
DTU_API int DTU_CALL get_user_at(unsigned int index, UserInfo *out) {
  return dtu::get_user_at(index, out);
}
DTU_API int DTU_CALL get_max_user_amount(void) { return kMaxUsers; }
DTU_API int DTU_CALL get_online_user_amount(void) { return dtu::get_online_user_amount(); }
DTU_API int DTU_CALL AddOneUser(const UserInfo *user) { return add_one_user(user); }
DTU_API int DTU_CALL DeleteAllUser(void) { return delete_all_user(); }

// Callbacks
DTU_API void DTU_CALL SetEvtCALLBACK(UserEventCallback logon, UserEventCallback logout,
                                     RecvdataCallback recvdata, UserEventCallback recvdataReply,
                                     UserEventCallback invalidcmd) {
  set_callbacks(logon, logout, recvdata, recvdataReply, invalidcmd);
}
DTU_API void DTU_CALL SetLogonCALLBACK(UserEventCallback logon) { set_logon_callback(logon); }
DTU_API void DTU_CALL SetLogoutCALLBACK(UserEventCallback logout) { set_logout_callback(logout); }
DTU_API void DTU_CALL SetRecvdataCALLBACK(RecvdataCallback recvdata) {
  set_recvdata_callback(recvdata);
}
DTU_API void DTU_CALL SetRecvDataReplyCALLBACK(UserEventCallback recvdataReply) {
  set_recvdata_reply_callback(recvdataReply);
}
DTU_API void DTU_CALL SetInvalidcmdCALLBACK(UserEventCallback invalidcmd) {
  set_invalidcmd_callback(invalidcmd);
}

// Sending data and closing users
DTU_API int DTU_CALL do_send_user_data(const char *userId, const char *data, unsigned int length,
                                       int /*reserved*/) {
  return dtu::do_send_user_data(userId, data, length);
}
DTU_API int DTU_CALL do_close_one_user(const char *userId, char *message) {
  return dtu::do_close_one_user(userId, message, false);
}
DTU_API int DTU_CALL do_close_one_user2(const char *userId, char *message) {
  return dtu::do_close_one_user(userId, message, true);
}
DTU_API int DTU_CALL do_close_all_user(char *message) {
  return dtu::do_close_all_user(message, false);
}
DTU_API int DTU_CALL do_close_all_user2(char *message) {
  return dtu::do_close_all_user(message, true);
}

// Terminal parameters
DTU_API int DTU_CALL ClearParam(void) { return clear_param(); }
DTU_API int DTU_CALL SetParam(int tag, const void *value, int length, int *error) {
  return set_param(tag, value, length, error);
}
DTU_API int DTU_CALL DoUpdateParam(uint32_t address, int port, const char *id) {
  return do_update_param(address, port, id);
}
DTU_API int DTU_CALL DoReadParam(uint32_t address, int port, const char *id) {
  return do_read_param(address, port, id);
}
DTU_API int DTU_CALL GetParam(int tag, void *buffer, int *length) {
  return get_param(tag, buffer, length);
}

#if !defined(_WIN32)
// The wire tap
DTU_API void DTU_CALL dtu_set_wire_tap(DtuWireTap tap, void *context) { set_wire_tap(tap, context); }
#endif

}  // extern "C"
