// The user table: 500 UserInfo records in slot order.  A slot is on line when
// its status is 1 and free when it is 0.  Every lookup answers exactly as a
// scan from slot 0 would; an index over the IDs and a bitmap of free slots
// make that answer cheap.  The table lives in the module's state object
// (core/state.h), guarded by the server lock: the functions marked REQUIRES
// run under it; AddOneUser, DeleteAllUser and the reset at start run
// unlocked by the interface's rules (one host thread, no concurrent use).
#pragma once

#include <cstdint>

#include "core/state.h"
#include "dtucentre.h"

namespace dtu {

// A record, for reading and for the fields the index does not cover
// (addresses, times).  userId and status change only through the writers
// below, which keep the index true.
UserInfo *user_slot(int index) REQUIRES(g_centre.lock);

// First match in slot order; nullptr when nothing matches.
UserInfo *find_user(const char *id) REQUIRES(g_centre.lock);
UserInfo *find_online_user(const char *id) REQUIRES(g_centre.lock);
UserInfo *find_free_slot() REQUIRES(g_centre.lock);

// Writers of userId and status.
void store_user(UserInfo *record, const UserInfo &from) REQUIRES(g_centre.lock);  // all 68 bytes
void set_user_status(UserInfo *record, std::uint8_t status) REQUIRES(g_centre.lock);
// Clears a record's ID and takes it off line; everything else stays.
void close_user(UserInfo *record) REQUIRES(g_centre.lock);

// The host's queries and writers; arguments are checked by the exports.
// First record holding `id` (not NULL) into `out`; false when none does.
bool copy_user(const char *id, UserInfo *out);
void copy_user_at(int index, UserInfo *out);  // index 0-499
int count_online_users();
// Stores a copy on line in the first free slot; false when the table is full.
bool add_user(const UserInfo &user);
// Zeroes every record.
void clear_user_table();
// Ends every session at start: clears IDs, times and status; addresses stay.
void end_all_sessions();

// Copies the peer address, port and the 20 bytes of updateTime from `from`.
void refresh_user(UserInfo *record, const UserInfo &from) REQUIRES(g_centre.lock);

// True when the index agrees with a plain scan of the records (for tests).
bool user_index_consistent();

}  // namespace dtu
