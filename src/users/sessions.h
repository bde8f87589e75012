// The host's side of the sessions: sending user data to a terminal by its ID
// and taking terminals off line.  All take the server lock.
#pragma once

#include "dtucentre.h"

namespace dtu {

int do_send_user_data(const char *id, const char *data, unsigned length);
int do_close_one_user(const char *id, char *message, bool tell_terminal);
int do_close_all_user(char *message, bool tell_terminal);

}  // namespace dtu
