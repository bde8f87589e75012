// Requests to a terminal: the parameter set frame, built element by element
// and sent to one terminal at a time, and the parameter read request.
//
// ParamSet:  7B | 8D | len(be16) | id[11] | elements... | 7B   (<= 1040 bytes)
// ParamRead: 7B | 8B | 00 11     | id[11] | 00 | 7B             (17 bytes)
#pragma once

#include <cstddef>
#include <cstdint>

namespace dtu {

int clear_param();
int set_param(int tag, const void *value, int length, int *error);
int append_param_element(int tag, const std::uint8_t *value, int value_length);
int do_update_param(std::uint32_t address, int port, const char *id);
int do_read_param(std::uint32_t address, int port, const char *id);

// The frame as it stands (for tests): its bytes and its length (0 before the
// first ClearParam).
const std::uint8_t *param_frame(std::size_t *length);

}  // namespace dtu
