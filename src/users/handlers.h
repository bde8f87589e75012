// The five callback slots and the built-in session handlers that fill them
// at load.  Slots are atomic so that a setter may run while another thread
// dispatches; the dispatch reads a slot once, under the server lock, just
// before it calls it.
#pragma once

#include "dtucentre.h"

namespace dtu {

int DTU_CALL default_logon_handler(UserInfo *user);
int DTU_CALL default_logout_handler(UserInfo *user);
int DTU_CALL default_recvdata_handler(UserInfo *user, DataRecord *record, int ack_flag);
int DTU_CALL default_recvdata_reply_handler(UserInfo *user);
int DTU_CALL default_invalidcmd_handler(UserInfo *user);

UserEventCallback logon_slot();
UserEventCallback logout_slot();
RecvdataCallback recvdata_slot();
UserEventCallback recvdata_reply_slot();
UserEventCallback invalidcmd_slot();

void set_callbacks(UserEventCallback logon, UserEventCallback logout, RecvdataCallback recvdata,
                   UserEventCallback recvdata_reply, UserEventCallback invalidcmd);
void set_logon_callback(UserEventCallback cb);
void set_logout_callback(UserEventCallback cb);
void set_recvdata_callback(RecvdataCallback cb);
void set_recvdata_reply_callback(UserEventCallback cb);
void set_invalidcmd_callback(UserEventCallback cb);

}  // namespace dtu
