#include "topics.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace dtu::mqtt {

namespace {
const char kHex[] = "0123456789ABCDEF";
}  // namespace

std::int64_t parse_iso_time(std::string_view text) {
  std::tm tm{};
  int ms = 0, n = 0;
  const std::string s(text);
  if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &ms, &n) != 7 ||
      static_cast<std::size_t>(n) != s.size())
    return -1;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<std::int64_t>(timegm(&tm)) * 1000 + ms;
}

Topic parse_topic(std::string_view prefix, std::string_view topic) {
  Topic t;
  if (topic.size() <= prefix.size() + 3 || topic.compare(0, prefix.size(), prefix) != 0) return t;
  const std::string_view branch = topic.substr(prefix.size(), 3);
  if (branch != "/t/" && branch != "/c/") return t;
  topic.remove_prefix(prefix.size() + 3);
  const std::size_t slash = topic.find('/');
  if (slash == std::string_view::npos || slash == 0) return t;
  const std::string_view rest = topic.substr(slash + 1);
  if (branch == "/c/") {
    if (rest == "state") t.kind = TopicKind::kCentreState;
    else if (rest == "taken") t.kind = TopicKind::kTaken;
    else return t;
  } else if (rest == "status") t.kind = TopicKind::kStatus;
  else if (rest == "down") t.kind = TopicKind::kDown;
  else if (rest == "params/get") t.kind = TopicKind::kParamsGet;
  else if (rest == "params/set") t.kind = TopicKind::kParamsSet;
  else return t;
  t.id_level.assign(topic.substr(0, slash));
  return t;
}

std::string utf8_text(std::string_view bytes) {
  std::string out;
  const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
  const std::size_t n = bytes.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) len = 1, cp = c;
    else if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07;
    bool ok = len > 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      else cp = cp << 6 | (p[i + k] & 0x3F);
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
               (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF))
      ok = false;
    if (ok) {
      out.append(reinterpret_cast<const char *>(p + i), len);
      i += len;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
    }
  }
  return out;
}

std::string text_or_hex(std::string_view bytes) {
  bool printable = true;
  for (unsigned char c : bytes)
    if (c < 0x20 || c >= 0x7F) printable = false;
  if (printable) return std::string(bytes);
  static const char lower[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += lower[c >> 4];
    out += lower[c & 15];
  }
  return out;
}

}  // namespace dtu::mqtt
