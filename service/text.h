// Small text helpers every part of the host side shares: the clock, JSON
// dumping, UTF-8 checks, hex both ways and terminal IDs.  Nothing here
// keeps state; everything is safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dtu::text {

// Wall-clock time, ms since 1970 UTC.
std::int64_t now_ms();

// JSON text with DEL and the C1 controls (U+0080..U+009F), which a JSON
// writer leaves as they are, written as \u escapes: the same JSON, but a
// line shown on a screen moves no cursor.
std::string escape_controls(std::string json);
// A JSON value as one line; bytes that are not UTF-8 become U+FFFD instead
// of throwing, and no control character is left raw.  Works for
// nlohmann::json and nlohmann::ordered_json alike.
template <class JsonT>
std::string dump(const JsonT &j) {
  return escape_controls(j.dump(-1, ' ', false, JsonT::error_handler_t::replace));
}

// True when the bytes are well-formed UTF-8: no overlong forms, no
// surrogates, nothing past U+10FFFF, no sequence cut short.
bool valid_utf8(std::string_view bytes);
// The bytes as text for JSON: well-formed UTF-8 sequences as they are, each
// other byte as "\xHH" (upper-case hex).  Valid UTF-8 comes back unchanged.
std::string utf8_or_escaped(std::string_view bytes);

// Lower-case hex, two digits a byte, no separators ("7b0100").
std::string hex(const std::uint8_t *bytes, std::size_t size);
inline std::string hex(std::string_view bytes) {
  return hex(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}
// The value of one hex digit (either case); -1 for any other character.
int hex_digit(char c);
// Hex of either case back to bytes; a space, ':' or '-' may stand between
// bytes (never inside one).  False, with *out untouched, for anything else
// or an odd digit count.
bool unhex(std::string_view text, std::string *out);

// A terminal ID: 1 to 11 bytes, none of them NUL.
constexpr std::size_t kIdMax = 11;
bool valid_id(std::string_view raw);

// A terminal ID as text, the one form every front end writes and reads
// back: the bytes up to the first NUL, printable ASCII as it is except
// '/', '+', '#' and '%', every other byte "%XX" (upper-case hex).  Safe in
// a topic level, a URL path, JSON and on a terminal screen.
std::string id_text(std::string_view raw);
// The reverse; false for a bad escape or a result that is no valid_id.
bool id_from_text(std::string_view text, std::string *raw);

}  // namespace dtu::text
