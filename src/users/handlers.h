// The five callback slots (in the module's state object) and the built-in
// session handlers that fill them at load.  The handlers run inside
// do_read_proc's dispatch, under the server lock.
#pragma once

#include "core/state.h"
#include "dtucentre.h"

namespace dtu {

int DTU_CALL default_logon_handler(UserInfo *user) REQUIRES(g_centre.lock);
int DTU_CALL default_logout_handler(UserInfo *user) REQUIRES(g_centre.lock);
int DTU_CALL default_recvdata_handler(UserInfo *user, DataRecord *record, int ack_flag) REQUIRES(g_centre.lock);
int DTU_CALL default_recvdata_reply_handler(UserInfo *user) REQUIRES(g_centre.lock);
int DTU_CALL default_invalidcmd_handler(UserInfo *user) REQUIRES(g_centre.lock);

UserEventCallback logon_slot();
UserEventCallback logout_slot();
RecvdataCallback recvdata_slot();
UserEventCallback recvdata_reply_slot();
UserEventCallback invalidcmd_slot();

// Puts the built-in handlers in every slot.
void install_builtin_handlers();
void set_callbacks(UserEventCallback logon, UserEventCallback logout, RecvdataCallback recvdata,
                   UserEventCallback recvdata_reply, UserEventCallback invalidcmd);
void set_logon_callback(UserEventCallback cb);
void set_logout_callback(UserEventCallback cb);
void set_recvdata_callback(RecvdataCallback cb);
void set_recvdata_reply_callback(UserEventCallback cb);
void set_invalidcmd_callback(UserEventCallback cb);

}  // namespace dtu
