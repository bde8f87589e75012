// The terminal parameters as the host side sees them: one row per tag with
// its name, its form and the limits of a value, the parsing of values an
// operator types and the formatting of values a terminal reports.
//
// This is the one host-side copy of the table; the console, the HTTP API and
// the MQTT gateway all read their tags from here.  The library keeps its own
// table for the wire; both agree on tags, forms and lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dtu::svc {

enum class ParamForm : std::uint8_t {
  kText,       // characters; min_length..max_length bytes
  kU8,         // unsigned decimal numbers 0..max_value
  kU16,
  kU32,
  kComposite,  // tag 18: "N1-N2-N3-N4-N5", each number within its field
};

struct ParamInfo {
  int tag;
  const char *name;        // short snake_case name, stable (for JSON keys and help)
  ParamForm form;
  std::size_t min_length;  // text: fewest bytes a write may carry (tag 6: 11)
  std::size_t max_length;  // text: most bytes a write may carry
  std::uint32_t max_value; // numbers: the largest value (255, 65535, 4294967295)
  bool readable;           // false: a terminal never reports it (tag 26)
};

// A parameter value: `text` for text and composite forms, `number` for the
// number forms.  `form` tells which one holds the value.
struct ParamValue {
  int tag = 0;
  ParamForm form = ParamForm::kText;
  std::string text;
  std::uint32_t number = 0;
};

// Every known tag in ascending order.
const std::vector<ParamInfo> &param_catalogue();
// nullptr for a tag the host side does not know.
const ParamInfo *find_param(int tag);

// A tag typed by an operator: decimal digits only (no sign, no spaces, no
// overflow), and a known tag; or the name the deployment gave a tag
// (param_names.h).  False with a one-line reason in *error.
bool parse_tag(std::string_view text, int *tag, std::string *error);

// A value typed by an operator for `tag`.  Numbers: decimal digits only,
// refused when they overflow or pass the tag's maximum (never octal, never
// cut).  Texts: the bytes as given, within the tag's lengths.  Tag 18: five
// decimal numbers joined by '-', each checked against its field.  Numbers
// are also held to the deployment's range or choices.  False with
// a one-line reason in *error (the reason says what the value must look like).
bool parse_param(int tag, std::string_view text, ParamValue *out, std::string *error);

// "TAG=VALUE" in one piece (the split is at the first '=').
bool parse_assignment(std::string_view item, ParamValue *out, std::string *error);

// The value shown to an operator: numbers in decimal, texts as they are
// (callers escape them for their medium), tag 18 as its five-number text.
std::string format_param(const ParamValue &value);

// The bytes SetParam takes for the value and their count (numbers big-endian
// in the tag's width; tag 18 its text with a trailing NUL, the count without it).
std::vector<std::uint8_t> param_bytes(const ParamValue &value, int *length);

// A value GetParam handed back (`bytes`, `length` as it reported) as a
// ParamValue of `tag`; false for an unknown tag.
bool param_from_library(int tag, const void *bytes, int length, ParamValue *out);

// Whether a terminal's reply may carry `length` value bytes for `tag` (the
// decode of a reply stops at the first element that may not).
bool reply_value_ok(int tag, std::size_t length);

// Tag 18's fields: the ranges of N1..N5 (inclusive).
struct CompositeField {
  std::uint32_t min;
  std::uint32_t max;
};
const CompositeField *composite_fields();  // 5 entries

}  // namespace dtu::svc
