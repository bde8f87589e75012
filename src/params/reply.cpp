// Decoding a terminal's parameter reply into the store, and reading single
// values back in host form.
#include <cstring>

#include "frame/frame.h"
#include "params/catalogue.h"
#include "params/store.h"

namespace dtu {
namespace {

constexpr int kMaxDecodedElements = 35;

std::uint8_t *field_of(const ParamSpec &p) REQUIRES(g_centre.lock) {
  return reinterpret_cast<std::uint8_t *>(&g_centre.param_store) + p.offset;
}

// Numbers live in fields of their own type, in the machine's order.
void store_number(const ParamSpec &p, std::uint32_t v) REQUIRES(g_centre.lock) {
  std::uint8_t *f = field_of(p);
  if (p.size == 1) {
    *f = static_cast<std::uint8_t>(v);
  } else if (p.size == 2) {
    auto n = static_cast<std::uint16_t>(v);
    std::memcpy(f, &n, 2);
  } else {
    std::memcpy(f, &v, 4);
  }
}

std::uint32_t load_number(const ParamSpec &p) REQUIRES(g_centre.lock) {
  const std::uint8_t *f = field_of(p);
  if (p.size == 1) return *f;
  if (p.size == 2) {
    std::uint16_t n;
    std::memcpy(&n, f, 2);
    return n;
  }
  std::uint32_t v;
  std::memcpy(&v, f, 4);
  return v;
}

// Applies one element; false ends the decode.
bool apply_element(const ParamSpec &p, const std::uint8_t *value, int len) REQUIRES(g_centre.lock) {
  if (p.size == 0) return false;  // write-only tag
  if (p.form == ParamForm::kText) std::memset(field_of(p), 0, p.size);
  const bool ok = (len == 0 && p.empty_ok) || (len >= p.reply_min && len <= p.reply_max);
  if (!ok) return false;
  switch (p.form) {
    case ParamForm::kText:
    case ParamForm::kComposite:
      std::memcpy(field_of(p), value, static_cast<std::size_t>(len));
      break;
    default: {
      std::uint32_t v = get_be(value, static_cast<std::size_t>(len));
      if (p.reply_ceiling != 0 && v > p.reply_ceiling) v = p.reply_ceiling;
      store_number(p, v);
    }
  }
  return true;
}

}  // namespace

void decode_param_reply(const std::uint8_t *frame, std::uint16_t frame_length) {
  std::memset(&g_centre.param_store, 0, sizeof g_centre.param_store);
  if (frame_length < kHeadSize) return;
  const std::size_t end_mark = frame_length - 1u;
  std::size_t pos = kBodyOffset;
  for (int count = 0; count < kMaxDecodedElements && pos < end_mark; ++count) {
    // Tag and element length are signed bytes: 128-255 are never valid.
    const auto tag = static_cast<std::int8_t>(frame[pos]);
    const auto elen = static_cast<std::int8_t>(frame[pos + 1]);
    if (elen < 2) return;
    // An element must end before the end mark; a value that claims more than
    // the frame holds ends the decode instead of being read.
    if (pos + static_cast<std::size_t>(elen) > end_mark) return;
    const ParamSpec *p = find_param(tag);
    if (p == nullptr || !apply_element(*p, frame + pos + 2, elen - 2)) return;
    pos += static_cast<std::size_t>(elen);
  }
}

bool read_param(int tag, void *buffer, int *length) {
  const ParamSpec *p = find_param(tag);
  if (p == nullptr || p->size == 0) return false;
  g_centre.lock.assume_exclusive();  // the do_read_proc thread, between calls
  const int declared = *length;
  if (declared < p->get_min) return false;
  auto *out = static_cast<std::uint8_t *>(buffer);
  switch (p->form) {
    case ParamForm::kText: {
      const char *text = reinterpret_cast<const char *>(field_of(*p));
      const std::size_t n = strnlen(text, p->size - 1u);
      std::memset(out, 0, static_cast<std::size_t>(declared));
      std::memcpy(out, text, n);
      *length = static_cast<int>(n);
      return true;
    }
    case ParamForm::kComposite: {
      char text[kCompositeTextSize];
      const int n = decode_composite(field_of(*p), text);
      // The text and its NUL must fit the declared length.
      if (n < 0 || n + 1 > declared) return false;
      std::memset(out, 0, static_cast<std::size_t>(declared));
      std::memcpy(out, text, static_cast<std::size_t>(n) + 1);
      *length = n;
      return true;
    }
    default: {
      const std::uint32_t v = load_number(*p);
      put_be(out, v, p->width);
      *length = p->width;
      return true;
    }
  }
}

}  // namespace dtu
