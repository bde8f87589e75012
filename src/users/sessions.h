// The host's side of the sessions: sending user data to a terminal by its ID
// and taking terminals off line.  All take the server lock.
#pragma once

#include <cstddef>

#include "dtucentre.h"

namespace dtu {

// Sends `length` (1-1024) bytes from `data` to the terminal `id` (not NULL)
// if its first record is on line; true when the socket took the frame.
bool send_to_terminal(const char *id, const char *data, std::size_t length);
// Takes the on-line terminal `id` (not NULL) off line, telling it first when
// asked, and writes the close line into `message` (may be NULL); false when
// it is not on line.
bool close_session(const char *id, char *message, bool tell_terminal);
// The same for every on-line record except "00000000000"; `message` ends
// with the line of the last one.
void close_all_sessions(char *message, bool tell_terminal);

}  // namespace dtu
