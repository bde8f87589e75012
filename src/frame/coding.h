// Big-endian byte coding: every multi-byte number on the wire goes through
// these, byte by byte, so neither the machine's order nor alignment matters.
// The caller guarantees the bytes are there.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dtu {

inline std::uint8_t *put_be16(std::uint8_t *p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
  return p + 2;
}

inline std::uint8_t *put_be24(std::uint8_t *p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 16);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v);
  return p + 3;
}

// The low `width` (0-4) bytes of `v`, most significant first.
inline std::uint8_t *put_be(std::uint8_t *p, std::uint32_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
  return p + width;
}

inline std::uint16_t get_be16(const std::uint8_t *p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline std::uint32_t get_be24(const std::uint8_t *p) {
  return std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
}

inline std::uint32_t get_be32(const std::uint8_t *p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// A number of `width` (0-4) bytes, most significant first.
inline std::uint32_t get_be(const std::uint8_t *p, std::size_t width) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = v << 8 | p[i];
  return v;
}

}  // namespace dtu
