#include "params.h"

#include <cstring>

#include "param_names.h"

namespace dtu::svc {
namespace {

using F = ParamForm;
constexpr std::uint32_t kU8Max = 0xFF, kU16Max = 0xFFFF, kU32Max = 0xFFFFFFFF;

ParamInfo text(int tag, std::size_t min, std::size_t max) {
  return {tag, nullptr, F::kText, min, max, 0, true};
}
ParamInfo number(int tag, F form, bool readable = true) {
  const std::uint32_t max = form == F::kU8 ? kU8Max : form == F::kU16 ? kU16Max : kU32Max;
  return {tag, nullptr, form, 0, 0, max, readable};
}

std::vector<ParamInfo> build() {
  std::vector<ParamInfo> rows = {
      text(1, 0, 8),          text(2, 0, 30),         text(3, 0, 20),         text(4, 0, 24),
      text(5, 0, 8),          text(6, 11, 11),        number(7, F::kU16),     number(8, F::kU16),
      number(9, F::kU16),     number(10, F::kU16),    number(11, F::kU8),     number(12, F::kU16),
      number(13, F::kU32),    text(14, 0, 128),       number(15, F::kU16),    number(16, F::kU16),
      number(17, F::kU32),    {18, nullptr, F::kComposite, 0, 0, 0, true},
      number(19, F::kU8),     number(20, F::kU8),     number(21, F::kU16),    number(22, F::kU16),
      text(23, 0, 11),        number(24, F::kU8),     number(25, F::kU8),
      number(26, F::kU8, false),  // written, never reported
      number(32, F::kU32),    number(33, F::kU16),    text(48, 0, 24),        text(49, 0, 24),
      text(50, 0, 13),
  };
  static const char *const kNames[] = {
      "tag1",  "tag2",  "tag3",  "tag4",  "tag5",  "tag6",  "tag7",  "tag8",
      "tag9",  "tag10", "tag11", "tag12", "tag13", "tag14", "tag15", "tag16",
      "tag17", "tag18", "tag19", "tag20", "tag21", "tag22", "tag23", "tag24",
      "tag25", "tag26", "tag32", "tag33", "tag48", "tag49", "tag50"};
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].name = kNames[i];
  return rows;
}

constexpr CompositeField kComposite[5] = {{0, 0xFFFFFF}, {5, 8}, {1, 2}, {0, 2}, {1, 5}};

// Decimal digits only, no sign, no blanks, at most `max`.
bool parse_number(std::string_view s, std::uint64_t max, std::uint64_t *out) {
  if (s.empty() || s.size() > 20) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const unsigned d = static_cast<unsigned>(c - '0');
    if (d > max || v > (max - d) / 10) return false;  // would pass max (or overflow)
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

std::string composite_rule() {
  return "tag 18 takes N1-N2-N3-N4-N5: decimal numbers with N1 0-16777215, N2 5-8, N3 1-2, "
         "N4 0-2, N5 1-5";
}

}  // namespace

const std::vector<ParamInfo> &param_catalogue() {
  static const std::vector<ParamInfo> rows = build();
  return rows;
}

const ParamInfo *find_param(int tag) {
  for (const ParamInfo &p : param_catalogue())
    if (p.tag == tag) return &p;
  return nullptr;
}

const CompositeField *composite_fields() { return kComposite; }

bool parse_tag(std::string_view text, int *tag, std::string *error) {
  // A name the deployment gave a tag (names start with a letter, so never
  // read as a number).
  if (const ParamNames *names = param_names(); names && !text.empty() && text[0] >= 'a' && text[0] <= 'z') {
    if (const ParamMeaning *m = names->by_name(text)) {
      *tag = m->tag;
      return true;
    }
    if (error) *error = "unknown parameter name \"" + std::string(text) + "\"";
    return false;
  }
  std::uint64_t v = 0;
  if (!parse_number(text, 255, &v)) {
    // Digits past the last tag name a tag that does not exist, not a bad number.
    const bool digits = !text.empty() && text.size() <= 20 &&
                        text.find_first_not_of("0123456789") == std::string_view::npos;
    if (error)
      *error = digits ? "unknown parameter tag " + std::string(text)
                      : "a tag is a decimal number, got \"" + std::string(text) + "\"";
    return false;
  }
  if (find_param(static_cast<int>(v)) == nullptr) {
    if (error) *error = "unknown parameter tag " + std::string(text);
    return false;
  }
  *tag = static_cast<int>(v);
  return true;
}

bool parse_param(int tag, std::string_view text, ParamValue *out, std::string *error) {
  const ParamInfo *p = find_param(tag);
  if (p == nullptr) {
    if (error) *error = "unknown parameter tag " + std::to_string(tag);
    return false;
  }
  ParamValue v;
  v.tag = tag;
  v.form = p->form;
  switch (p->form) {
    case F::kText:
      if (text.size() < p->min_length || text.size() > p->max_length) {
        if (error)
          *error = param_label(tag) +
                   (p->min_length == p->max_length
                        ? " takes exactly " + std::to_string(p->max_length) + " characters"
                        : " takes at most " + std::to_string(p->max_length) + " characters");
        return false;
      }
      v.text = std::string(text);
      break;
    case F::kU8:
    case F::kU16:
    case F::kU32: {
      std::uint64_t n = 0;
      if (!parse_number(text, p->max_value, &n)) {
        if (error)
          *error = param_label(tag) + " takes a decimal number from 0 to " + std::to_string(p->max_value);
        return false;
      }
      v.number = static_cast<std::uint32_t>(n);
      if (!deployment_allows(tag, v.number, error)) return false;
      break;
    }
    case F::kComposite: {
      std::size_t start = 0;
      for (int i = 0; i < 5; ++i) {
        const std::size_t dash = i < 4 ? text.find('-', start) : text.size();
        std::uint64_t n = 0;
        if (dash == std::string_view::npos ||
            !parse_number(text.substr(start, dash - start), kComposite[i].max, &n) ||
            n < kComposite[i].min) {
          if (error) *error = composite_rule();
          return false;
        }
        start = dash + 1;
      }
      v.text = std::string(text);
      break;
    }
  }
  *out = std::move(v);
  return true;
}

bool parse_assignment(std::string_view item, ParamValue *out, std::string *error) {
  const std::size_t eq = item.find('=');
  if (eq == std::string_view::npos) {
    if (error) *error = "expected tag=value, got \"" + std::string(item) + "\"";
    return false;
  }
  int tag = 0;
  return parse_tag(item.substr(0, eq), &tag, error) &&
         parse_param(tag, item.substr(eq + 1), out, error);
}

bool reply_value_ok(int tag, std::size_t length) {
  const ParamInfo *p = find_param(tag);
  if (p == nullptr || !p->readable) return false;
  switch (p->form) {
    case F::kU8: return length == 1;
    case F::kU16: return length == 2;
    case F::kU32: return length == 4;
    case F::kComposite: return length == 7;
    case F::kText:
      if (tag == 1) return length >= 1 && length <= 8;          // never empty
      if (tag == 14) return length == 0 || (length >= 7 && length <= 125);
      return length >= p->min_length && length <= p->max_length;
  }
  return false;
}

std::string format_param(const ParamValue &value) {
  switch (value.form) {
    case F::kU8:
    case F::kU16:
    case F::kU32:
      return std::to_string(value.number);
    default:
      return value.text;
  }
}

std::vector<std::uint8_t> param_bytes(const ParamValue &value, int *length) {
  std::vector<std::uint8_t> out;
  switch (value.form) {
    case F::kText:
      out.assign(value.text.begin(), value.text.end());
      *length = static_cast<int>(out.size());
      break;
    case F::kComposite:
      out.assign(value.text.begin(), value.text.end());
      *length = static_cast<int>(out.size());
      out.push_back(0);  // the library reads it to its NUL
      break;
    default: {
      const int width = value.form == F::kU8 ? 1 : value.form == F::kU16 ? 2 : 4;
      for (int i = width - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(value.number >> (8 * i)));
      *length = width;
    }
  }
  return out;
}

bool param_from_library(int tag, const void *bytes, int length, ParamValue *out) {
  const ParamInfo *p = find_param(tag);
  if (p == nullptr || length < 0) return false;
  ParamValue v;
  v.tag = tag;
  v.form = p->form;
  const auto *b = static_cast<const std::uint8_t *>(bytes);
  if (p->form == F::kText || p->form == F::kComposite) {
    v.text.assign(reinterpret_cast<const char *>(b), static_cast<std::size_t>(length));
  } else {
    std::uint32_t n = 0;
    for (int i = 0; i < length && i < 4; ++i) n = (n << 8) | b[i];
    v.number = n;
  }
  *out = std::move(v);
  return true;
}

}  // namespace dtu::svc
