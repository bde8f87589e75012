// The terminal parameters the centre knows, as one table: each tag's form,
// what SetParam accepts, what a reply may carry, where the decoded value is
// stored and how GetParam returns it.  Every rule that sets one tag apart
// from another is a column here; the code that applies them names no tag.
//
// Element on the wire:  tag(u8) | elen(u8) = value length + 2 | value...
#pragma once

#include <cstddef>
#include <cstdint>

namespace dtu {

enum class ParamForm : std::uint8_t {
  kText,       // characters without a NUL; stored NUL-terminated
  kU8,
  kU16,        // big-endian on the wire
  kU32,
  kComposite,  // tag 18: 7 coded bytes, "N1-N2-N3-N4-N5" on the host side
};

struct ParamSpec {
  std::uint8_t tag;
  ParamForm form;
  // SetParam accepts value lengths set_min..set_max (tag 18: a text of at
  // least set_min characters).
  std::uint8_t set_min;
  std::uint8_t set_max;
  // A reply's value length is accepted when it lies in reply_min..reply_max,
  // or is 0 where empty_ok; anything else ends the decode.
  std::uint8_t reply_min;
  std::uint8_t reply_max;
  bool empty_ok;
  // Store field: offset and size in the store; 0 size for write-only tags.
  std::uint16_t offset;
  std::uint8_t size;
  // Bytes GetParam hands back for a number (tag 15 keeps a u16 in a u32
  // field); the smallest buffer GetParam accepts.
  std::uint8_t width;
  std::uint8_t get_min;
  // A decoded number above this is stored as this (a flag tag stores any
  // non-zero value as 1); 0 for no ceiling.
  std::uint8_t reply_ceiling;
};

// nullptr for a tag the centre does not know.
const ParamSpec *find_param(int tag);
// The catalogue rows in ascending tag order.
const ParamSpec *param_catalogue(std::size_t *count);

constexpr std::uint8_t kCompositeTag = 18;
constexpr std::size_t kCompositeSize = 7;
constexpr std::size_t kCompositeTextSize = 21;  // 20 characters and the NUL

// Tag 18: "N1-N2-N3-N4-N5" to 7 bytes; false when a rule is broken.
bool encode_composite(const char *text, std::uint8_t out[kCompositeSize]);
// 7 bytes to the five-number text; returns its length.
int decode_composite(const std::uint8_t in[kCompositeSize], char out[kCompositeTextSize]);

}  // namespace dtu
