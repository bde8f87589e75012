// Requests to a terminal: the parameter set frame, built element by element
// and sent to one terminal at a time, and the parameter read request.
//
// ParamSet:  7B | 8D | len(be16) | id[11] | elements... | 7B   (<= 1040 bytes)
// ParamRead: 7B | 8B | 00 11     | id[11] | 00 | 7B             (17 bytes)
#pragma once

#include <cstddef>
#include <cstdint>

namespace dtu {

// Starts a new set frame: head only.
void clear_param_frame();

enum class AddParam {
  kAdded,
  kBadLength,  // the length breaks the tag's limit (a negative one included)
  kRefused,    // unknown tag, no frame yet, bad tag 18 text, NULL value, no room
};
// Appends parameter `tag` with `length` value bytes (tag 18: a text read to
// its NUL).
AddParam add_param(int tag, const void *value, int length);

// Send the set frame (false before the first clear) or a read request to a
// terminal; `id` holds 1 to 11 characters (checked by the exports).  True
// when the socket took the frame.
bool send_param_frame(std::uint32_t address, int port, const char *id);
bool send_param_read(std::uint32_t address, int port, const char *id);

// The frame as it stands (for tests): its bytes and its length (0 before the
// first ClearParam).
const std::uint8_t *param_frame(std::size_t *length);

}  // namespace dtu
