// The parameter store: the decoded values of the latest parameter reply, one
// field per catalogued tag (26 has none).  Numbers are in the machine's own
// order; texts NUL-terminated; tag 18 as its 7 wire bytes.  Written only by
// decode_param_reply (under the server lock), read by GetParam (by contract
// from the thread that runs do_read_proc, between two calls).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dtu {

struct ParamStore {
  char t1[9];
  char t2[31];
  char t3[21];
  char t4[25];
  char t5[9];
  char t6[12];
  std::uint16_t t7, t8, t9, t10;
  std::uint8_t t11;
  std::uint16_t t12;
  std::uint32_t t13;
  char t14[129];
  std::uint32_t t15;  // a 16-bit value
  std::uint16_t t16;
  std::uint32_t t17;
  std::uint8_t t18[7];
  std::uint8_t t19, t20;
  std::uint16_t t21, t22;
  char t23[12];
  std::uint8_t t24, t25;
  std::uint32_t t32;
  std::uint16_t t33;
  char t48[25];
  char t49[25];
  char t50[14];
};

ParamStore &param_store();

// Replaces the store with the elements of a ParamReadReply.  `frame` holds at
// least `frame_length` bytes (the head check guarantees it) and its last
// byte is the end mark.
void decode_param_reply(const std::uint8_t *frame, std::uint16_t frame_length);

int get_param(int tag, void *buffer, int *length);

}  // namespace dtu
