#include "frame/frame.h"

#include <cstring>

namespace dtu {

bool id_equal(const char *a, const char *b) { return std::strncmp(a, b, kIdSize) == 0; }

void put_id_field(std::uint8_t *field, const char *id) {
  std::size_t n = 0;
  for (; n < kIdSize && id[n] != '\0'; ++n) field[n] = static_cast<std::uint8_t>(id[n]);
  std::memset(field + n, 0, kIdSize - n);
}

void get_id_field(const std::uint8_t *field, char id[12]) {
  std::size_t n = 0;
  for (; n < kIdSize && field[n] != 0; ++n) id[n] = static_cast<char>(field[n]);
  std::memset(id + n, 0, 12 - n);
}

int check_frame(const std::uint8_t *datagram, std::size_t size, char id[12],
                std::uint16_t *length) {
  if (size < kHeadSize || datagram[FrameHeader::kStart] != kFrameMark) return -1;
  const std::uint16_t len = get_be16(datagram + FrameHeader::kLength);
  *length = len;
  if (len < kHeadSize || len > size || datagram[len - 1] != kFrameMark) return -1;
  get_id_field(datagram + kIdOffset, id);
  if (id_equal(id, kNoTerminalId)) return -1;
  return datagram[FrameHeader::kCode];
}

std::size_t build_data_frame(std::uint8_t *out, const char *terminal_id, const void *payload,
                             std::size_t length) {
  length &= 0xFFFF;
  out[0] = kFrameMark;
  out[1] = kUserDataDown;
  put_be16(out + 2, kHeadSize);
  put_id_field(out + kIdOffset, terminal_id);
  out[FrameHeader::kEnd] = kFrameMark;
  if (length != 0) std::memcpy(out + kHeadSize, payload, length);
  return kHeadSize + length;
}

}  // namespace dtu
