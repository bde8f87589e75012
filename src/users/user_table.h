// The user table: 500 UserInfo records in slot order.  A slot is on line when
// its status is 1 and free when it is 0.  Every lookup answers exactly as a
// scan from slot 0 would; an index over the IDs and a bitmap of free slots
// make that answer cheap.  Guarded by the server lock for the host's queries,
// the receive path and the session operations; AddOneUser and DeleteAllUser
// run unlocked by contract (one host thread, no concurrent use).
#pragma once

#include <cstdint>

#include "dtucentre.h"

namespace dtu {

constexpr int kMaxUsers = DTU_MAX_USERS;

// A record, for reading and for the fields the index does not cover
// (addresses, times).  userId and status change only through the writers
// below, which keep the index true.
UserInfo *user_slot(int index);

// First match in slot order; nullptr when nothing matches.
UserInfo *find_user(const char *id);
UserInfo *find_online_user(const char *id);
UserInfo *find_free_slot();

// Writers of userId and status.
void store_user(UserInfo *record, const UserInfo &from);  // all 68 bytes
void set_user_status(UserInfo *record, std::uint8_t status);
// Clears a record's ID and takes it off line; everything else stays.
void close_user(UserInfo *record);

int get_user_info(const char *id, UserInfo *out);
int get_user_at(unsigned index, UserInfo *out);
int get_online_user_amount();
int add_one_user(const UserInfo *user);
int delete_all_user();
// Ends every session at start: clears IDs, times and status; addresses stay.
int reset_user_table();

// Copies the peer address, port and the 20 bytes of updateTime from `from`.
void refresh_user(UserInfo *record, const UserInfo &from);

// True when the index agrees with a plain scan of the records (for tests).
bool user_index_consistent();

}  // namespace dtu
