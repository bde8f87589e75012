// A sequence of parameter operations read from the input: ClearParam,
// SetParam, GetParam, and the decoding of a reply.  Every caller buffer is a
// heap block of exactly the declared size, so an overrun is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dtucentre.h"
#include "exports/module.h"
#include "params/requests.h"
#include "params/store.h"

namespace {

struct Input {
  const std::uint8_t *p;
  std::size_t n;
  bool take(std::uint8_t *out) {
    if (n == 0) return false;
    *out = *p++;
    --n;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  dtu::reset_module();  // each input from the state at load
  Input in{data, size};
  std::uint8_t op, tag, len;
  while (in.take(&op) && in.take(&tag) && in.take(&len)) {
    const int signed_tag = static_cast<std::int8_t>(tag);
    switch (op % 4) {
      case 0:
        ClearParam();
        break;
      case 1: {
        // Value bytes from the input; for tag 18 a NUL-terminated text, as
        // the caller must pass it (the NUL inside the block).
        const std::size_t n = len < in.n ? len : in.n;
        const bool text = signed_tag == 18;
        auto *value = static_cast<std::uint8_t *>(std::malloc(n + (text ? 1 : 0) + 1));
        std::memcpy(value, in.p, n);
        if (text) value[n] = 0;
        in.p += n;
        in.n -= n;
        int err = 0;
        const int declared = (op & 0x80) ? -static_cast<int>(n) : static_cast<int>(n);
        SetParam(signed_tag, value, declared, &err);
        std::free(value);
        break;
      }
      case 2: {
        int declared = static_cast<std::int8_t>(len);
        auto *buffer = static_cast<std::uint8_t *>(std::malloc(declared > 0 ? static_cast<std::size_t>(declared) : 1));
        GetParam(signed_tag, buffer, &declared);
        std::free(buffer);
        break;
      }
      default: {
        // A reply frame of `len` bytes whose length field and end mark agree
        // with its size, as the head check guarantees.
        const std::size_t n = 16 + (len < in.n ? len : in.n);
        auto *frame = static_cast<std::uint8_t *>(std::malloc(n));
        std::memset(frame, 0, 15);
        std::memcpy(frame + 15, in.p, n - 16);
        in.p += n - 16;
        in.n -= n - 16;
        frame[n - 1] = 0x7B;
        dtu::decode_param_reply(frame, static_cast<std::uint16_t>(n));
        std::free(frame);
        break;
      }
    }
  }
  // The set frame is sent nowhere (no socket), but is built whole.
  DoUpdateParam(0x7F000001, 9, "12345678901");
  return 0;
}
