// The parameter store (ParamStore, in the module's state object): written
// only by decode_param_reply (under the server lock), read by GetParam (by
// the interface's rules from the thread that runs do_read_proc, between two
// calls).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/state.h"

namespace dtu {


// Replaces the store with the elements of a ParamReadReply.  `frame` holds at
// least `frame_length` bytes (the head check guarantees it) and its last
// byte is the end mark.
void decode_param_reply(const std::uint8_t *frame, std::uint16_t frame_length)
    REQUIRES(g_centre.lock);

// Parameter `tag` of the last decoded reply in host form into `buffer`,
// whose size *length gives (both not NULL); *length becomes the bytes written.
// False, with nothing written, for an unknown or write-only tag or a buffer
// too small.
bool read_param(int tag, void *buffer, int *length);

}  // namespace dtu
