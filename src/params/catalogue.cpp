#include "params/catalogue.h"

#include <cstdio>

#include "frame/coding.h"
#include "core/state.h"

namespace dtu {
namespace {

#define FIELD(name) static_cast<std::uint16_t>(offsetof(ParamStore, name)), sizeof(ParamStore::name)

constexpr std::uint8_t kAny = 255;
using F = ParamForm;

// tag, form, set min/max, reply min/max, empty ok, field, width, GetParam min, reply ceiling
constexpr ParamSpec kCatalogue[] = {
    {1, F::kText, 0, 8, 1, 8, false, FIELD(t1), 0, 9, 0},
    {2, F::kText, 0, 30, 1, 30, true, FIELD(t2), 0, 31, 0},
    {3, F::kText, 0, 20, 1, 20, true, FIELD(t3), 0, 21, 0},
    {4, F::kText, 0, 24, 1, 24, true, FIELD(t4), 0, 25, 0},
    {5, F::kText, 0, 8, 1, 8, true, FIELD(t5), 0, 9, 0},
    {6, F::kText, 11, 11, 11, 11, false, FIELD(t6), 0, 12, 0},
    {7, F::kU16, 0, 2, 2, 2, false, FIELD(t7), 2, 2, 0},
    {8, F::kU16, 0, 2, 2, 2, false, FIELD(t8), 2, 2, 0},
    {9, F::kU16, 0, 2, 2, 2, false, FIELD(t9), 2, 2, 0},
    {10, F::kU16, 0, 2, 2, 2, false, FIELD(t10), 2, 2, 0},
    {11, F::kU8, 0, 1, 1, 1, false, FIELD(t11), 1, 1, 1},
    {12, F::kU16, 0, 2, 2, 2, false, FIELD(t12), 2, 2, 0},
    {13, F::kU32, 0, 4, 4, 4, false, FIELD(t13), 4, 4, 0},
    // Tag 14: 1-6 bytes end the decode; an element length of 128 or more
    // already does, which caps the value at 125 bytes.
    {14, F::kText, 0, 128, 7, 125, true, FIELD(t14), 0, 129, 0},
    {15, F::kU16, 0, 2, 2, 2, false, FIELD(t15), 2, 2, 0},
    {16, F::kU16, 0, 2, 2, 2, false, FIELD(t16), 2, 2, 0},
    {17, F::kU32, 0, 4, 4, 4, false, FIELD(t17), 4, 4, 0},
    {18, F::kComposite, 9, kAny, 7, 7, false, FIELD(t18), 0, 7, 0},
    {19, F::kU8, 0, 1, 1, 1, false, FIELD(t19), 1, 1, 0},
    {20, F::kU8, 0, 1, 1, 1, false, FIELD(t20), 1, 1, 0},
    {21, F::kU16, 0, 2, 2, 2, false, FIELD(t21), 2, 2, 0},
    {22, F::kU16, 0, 2, 2, 2, false, FIELD(t22), 2, 2, 0},
    {23, F::kText, 0, 11, 1, 11, true, FIELD(t23), 0, 12, 0},
    {24, F::kU8, 0, 1, 1, 1, false, FIELD(t24), 1, 1, 0},
    {25, F::kU8, 0, 1, 1, 1, false, FIELD(t25), 1, 1, 0},
    // Tag 26 can be written but never read: no reply rule, no store field.
    {26, F::kU8, 0, 1, 0, 0, false, 0, 0, 1, 0, 0},
    {32, F::kU32, 0, 4, 4, 4, false, FIELD(t32), 4, 4, 0},
    {33, F::kU16, 0, 2, 2, 2, false, FIELD(t33), 2, 2, 0},
    {48, F::kText, 0, 24, 1, 24, true, FIELD(t48), 0, 25, 0},
    {49, F::kText, 0, 24, 1, 24, true, FIELD(t49), 0, 25, 0},
    {50, F::kText, 0, 13, 1, 13, true, FIELD(t50), 0, 14, 0},
};

#undef FIELD

constexpr std::size_t kRows = sizeof kCatalogue / sizeof kCatalogue[0];

// Tag number to row, filled from the table at compile time.
struct TagIndex {
  std::int8_t row[64];
  constexpr TagIndex() : row() {
    for (auto &r : row) r = -1;
    for (std::size_t i = 0; i < kRows; ++i) row[kCatalogue[i].tag] = static_cast<std::int8_t>(i);
  }
};
constexpr TagIndex kIndex{};

// A text field holds the longest value SetParam accepts and a NUL, and no
// reply may carry more than that.
constexpr bool texts_fit() {
  for (const ParamSpec &p : kCatalogue)
    if (p.form == F::kText && (p.set_max + 1 != p.size || p.reply_max > p.set_max)) return false;
  return true;
}
static_assert(texts_fit(), "text fields hold their longest value and a NUL");

}  // namespace

const ParamSpec *find_param(int tag) {
  if (tag < 0 || tag >= 64 || kIndex.row[tag] < 0) return nullptr;
  return &kCatalogue[kIndex.row[tag]];
}

const ParamSpec *param_catalogue(std::size_t *count) {
  *count = kRows;
  return kCatalogue;
}

// Byte 3 holds N2 - 5; byte 4 codes N3 (1 -> 0, 2 -> 0x40); byte 5 codes N4
// (0 -> 0, 1 -> 8, 2 -> 0x18); byte 6 holds N5.
bool encode_composite(const char *text, std::uint8_t out[kCompositeSize]) {
  unsigned n1, n2, n3, n4, n5;
  if (std::sscanf(text, "%u-%u-%u-%u-%u", &n1, &n2, &n3, &n4, &n5) != 5) return false;
  n2 &= 0xFF;
  n3 &= 0xFF;
  n4 &= 0xFF;
  n5 &= 0xFF;
  if (n2 < 5 || n2 > 8 || (n3 != 1 && n3 != 2) || n4 > 2 || n5 < 1 || n5 > 5) return false;
  static constexpr std::uint8_t kN4Code[] = {0, 8, 24};
  put_be24(out, n1);
  out[3] = static_cast<std::uint8_t>(n2 - 5);
  out[4] = n3 == 1 ? 0 : 64;
  out[5] = kN4Code[n4];
  out[6] = static_cast<std::uint8_t>(n5);
  return true;
}

int decode_composite(const std::uint8_t in[kCompositeSize], char out[kCompositeTextSize]) {
  const unsigned n1 = get_be24(in);
  const unsigned n2 = static_cast<std::uint8_t>(in[3] + 5);
  const unsigned n3 = in[4] == 0 ? 1 : 2;
  const unsigned n4 = in[5] == 0 ? 0 : in[5] == 8 ? 1 : 2;
  const unsigned n5 = in[6];
  return std::snprintf(out, kCompositeTextSize, "%u-%u-%u-%u-%u", n1, n2, n3, n4, n5);
}

}  // namespace dtu
