#include "text.h"

#include <chrono>

namespace dtu::text {

namespace {
const char kUpper[] = "0123456789ABCDEF";
const char kLower[] = "0123456789abcdef";
}  // namespace

std::int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

namespace {

// The length of the well-formed UTF-8 sequence at s[i], 0 when there is none.
std::size_t sequence_at(std::string_view s, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  std::size_t len;
  std::uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1Fu;
  else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0Fu;
  else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07u;
  else return 0;
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (d & 0x3Fu);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return len;
}

}  // namespace

std::string escape_controls(std::string s) {
  // DEL and C2 80..C2 9F can only stand inside strings, where the escape
  // means the same.
  std::size_t i = 0;
  while (i < s.size() && s[i] != '\x7F' && s[i] != '\xC2') ++i;
  if (i == s.size()) return s;  // the usual case: nothing to do
  std::string out(s, 0, i);
  out.reserve(s.size() + 16);
  for (; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const unsigned char next = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
    const bool c1 = c == 0xC2 && next >= 0x80 && next <= 0x9F;
    if (c != 0x7F && !c1) {
      out += s[i];
      continue;
    }
    const unsigned char v = c1 ? next : c;
    out += "\\u00";
    out += kLower[v >> 4];
    out += kLower[v & 15];
    if (c1) ++i;
  }
  return out;
}

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = sequence_at(s, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string utf8_or_escaped(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = sequence_at(s, i);
    if (len > 0) {
      out.append(s.data() + i, len);
      i += len;
    } else {
      const unsigned char c = static_cast<unsigned char>(s[i++]);
      out += "\\x";
      out += kUpper[c >> 4];
      out += kUpper[c & 15];
    }
  }
  return out;
}

std::string hex(const std::uint8_t *bytes, std::size_t size) {
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kLower[bytes[i] >> 4];
    out[2 * i + 1] = kLower[bytes[i] & 15];
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unhex(std::string_view text, std::string *out) {
  std::string bytes;
  bytes.reserve(text.size() / 2);
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') {
      if (high >= 0) return false;
      continue;
    }
    const int v = hex_digit(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      bytes += static_cast<char>(high << 4 | v);
      high = -1;
    }
  }
  if (high >= 0) return false;
  *out = std::move(bytes);
  return true;
}

bool valid_id(std::string_view raw) {
  return !raw.empty() && raw.size() <= kIdMax && raw.find('\0') == std::string_view::npos;
}

std::string id_text(std::string_view raw) {
  const std::size_t nul = raw.find('\0');
  if (nul != std::string_view::npos) raw = raw.substr(0, nul);
  std::string out;
  out.reserve(raw.size());
  for (unsigned char c : raw) {
    if (c >= 0x20 && c < 0x7F && c != '/' && c != '+' && c != '#' && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kUpper[c >> 4];
      out += kUpper[c & 15];
    }
  }
  return out;
}

bool id_from_text(std::string_view text, std::string *raw) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (text.size() - i < 3) return false;
    const int hi = hex_digit(text[i + 1]), lo = hex_digit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi << 4 | lo);
    i += 2;
  }
  if (!valid_id(out)) return false;
  *raw = std::move(out);
  return true;
}

}  // namespace dtu::text
