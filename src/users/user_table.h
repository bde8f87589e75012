// The user table: 500 UserInfo records in slot order, no index.  A slot is
// on line when its status is 1 and free when it is 0.  Guarded by the server
// lock for the host's queries and the receive path; AddOneUser and
// DeleteAllUser run unlocked by contract (one host thread, no concurrent use).
#pragma once

#include <cstdint>

#include "dtucentre.h"

namespace dtu {

constexpr int kMaxUsers = DTU_MAX_USERS;

// Direct access for the session code, which runs under the server lock.
UserInfo *user_slot(int index);

// Scans in slot order; nullptr when nothing matches.
UserInfo *find_user(const char *id);
UserInfo *find_online_user(const char *id);
UserInfo *find_free_slot();

int get_user_info(const char *id, UserInfo *out);
int get_user_at(unsigned index, UserInfo *out);
int get_online_user_amount();
int add_one_user(const UserInfo *user);
int delete_all_user();
// Ends every session at start: clears IDs, times and status; addresses stay.
int reset_user_table();

// Copies the peer address, port and the 20 bytes of updateTime from `from`.
void refresh_user(UserInfo *record, const UserInfo &from);
// Clears a record's ID and takes it off line; everything else stays.
void close_user(UserInfo *record);

}  // namespace dtu
