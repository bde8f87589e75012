#include "params/requests.h"

#include <cstring>

#include "core/link.h"
#include "frame/frame.h"
#include "core/state.h"
#include "params/catalogue.h"

namespace dtu {
namespace {

// The parameter set frame lives in the state object; one host thread at a
// time uses it, by the interface's rules (no lock).
ParamFrame &set_frame() { return g_centre.param_frame; }

constexpr std::size_t kParamReadSize = 17;

// Appends one element over the frame's end mark; false when it would not fit.
bool append_element(int tag, const std::uint8_t *value, std::size_t vlen) {
  ParamFrame &f = set_frame();
  if (f.length + vlen + 2 > kParamFrameCapacity) return false;
  f.bytes[f.length - 1] = static_cast<std::uint8_t>(tag);  // over the old end mark
  f.bytes[f.length] = static_cast<std::uint8_t>(vlen + 2);
  if (vlen != 0) std::memcpy(f.bytes + f.length + 1, value, vlen);
  f.length += vlen + 2;
  put_be16(f.bytes + 2, static_cast<std::uint16_t>(f.length));
  f.bytes[f.length - 1] = kFrameMark;
  return true;
}

}  // namespace

const std::uint8_t *param_frame(std::size_t *length) {
  ParamFrame &f = set_frame();
  *length = f.length;
  return f.bytes;
}

void clear_param_frame() {
  ParamFrame &f = set_frame();
  std::memset(f.bytes, 0, sizeof f.bytes);
  f.length = kHeadSize;
  f.bytes[0] = kFrameMark;
  f.bytes[1] = kParamSet;
}

AddParam add_param(int tag, const void *value, int length) {
  const ParamFrame &f = set_frame();
  const ParamSpec *p = find_param(tag);
  if (p == nullptr) return AddParam::kRefused;
  // A negative length would meet every upper limit; refuse it as a bad length.
  const bool length_ok = length >= p->set_min && (p->form == ParamForm::kComposite || length <= p->set_max);
  if (!length_ok) return AddParam::kBadLength;
  // No frame before the first ClearParam: nothing to append to.
  if (f.length == 0) return AddParam::kRefused;
  if (value == nullptr && length != 0) return AddParam::kRefused;
  bool added;
  if (p->form == ParamForm::kComposite) {
    std::uint8_t coded[kCompositeSize];
    added = encode_composite(static_cast<const char *>(value), coded) &&
            append_element(tag, coded, kCompositeSize);
  } else {
    added = append_element(tag, static_cast<const std::uint8_t *>(value), static_cast<std::size_t>(length));
  }
  return added ? AddParam::kAdded : AddParam::kRefused;
}

bool send_param_frame(std::uint32_t address, int port, const char *id) {
  ParamFrame &f = set_frame();
  if (f.length == 0) return false;
  if (f.length == kHeadSize) {
    // No element yet: close the head-only frame so that it is well formed.
    put_be16(f.bytes + 2, kHeadSize);
    f.bytes[FrameHeader::kEnd] = kFrameMark;
  }
  put_id_field(f.bytes + kIdOffset, id);
  return send_frame(f.bytes, f.length, address, port);
}

bool send_param_read(std::uint32_t address, int port, const char *id) {
  std::uint8_t frame[kParamReadSize];
  frame[0] = kFrameMark;
  frame[1] = kParamRead;
  put_be16(frame + 2, kParamReadSize);
  put_id_field(frame + kIdOffset, id);
  frame[15] = 0;
  frame[16] = kFrameMark;
  return send_frame(frame, sizeof frame, address, port);
}

}  // namespace dtu
