#include "output.h"

#include <iconv.h>

#include <cctype>
#include <ctime>

namespace console {

std::string gbk_to_utf8(const std::string &gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string in = gbk, out(gbk.size() * 3 + 4, '\0');
  char *src = in.data(), *dst = out.data();
  std::size_t left = in.size(), room = out.size();
  while (left > 0 && iconv(cd, &src, &left, &dst, &room) == static_cast<std::size_t>(-1)) {
    if (room < 4) break;
    *dst++ = '?';  // a byte that is not GBK
    --room;
    ++src;
    --left;
  }
  iconv_close(cd);
  out.resize(out.size() - room);
  return out;
}

std::string dotted(std::uint32_t a) {
  char b[16];
  std::snprintf(b, sizeof b, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return b;
}

std::string hex_bytes(const std::uint8_t *p, std::size_t n) {
  std::string s;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
    s += b;
  }
  return s;
}

std::string printable(const std::uint8_t *p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += std::isprint(p[i]) ? static_cast<char>(p[i]) : '.';
  return s;
}

std::string json_escape(const std::string &s) {
  std::string o;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += static_cast<char>(c);
    } else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o;
}

std::string now_text() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char b[20];
  std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &tm);
  return b;
}

void Log::event(const std::string &kind, const std::string &id, const std::string &addr,
                const std::vector<Field> &fields) {
  std::lock_guard<std::mutex> g(m_);
  if (json_) {
    std::string s = "{\"time\":\"" + now_text() + "\",\"event\":\"" + kind + "\",\"id\":\"" + json_escape(id) +
                    "\",\"from\":\"" + addr + "\"";
    for (const Field &f : fields)
      s += ",\"" + f.key + "\":" + (f.number ? f.value : "\"" + json_escape(f.value) + "\"");
    std::fprintf(out_, "%s}\n", s.c_str());
  } else {
    std::string s = now_text() + "  " + kind;
    s.resize(std::max<std::size_t>(s.size(), 35), ' ');
    s += " " + (id.empty() ? std::string("-") : id);
    s.resize(std::max<std::size_t>(s.size(), 48), ' ');
    s += " " + addr;
    for (const Field &f : fields) s += "  " + f.key + "=" + (f.quoted ? "\"" + f.value + "\"" : f.value);
    std::fprintf(out_, "%s\n", s.c_str());
  }
  std::fflush(out_);
}

void Log::line(const std::string &kind, const std::string &text) {
  std::lock_guard<std::mutex> g(m_);
  if (json_)
    std::fprintf(out_, "{\"time\":\"%s\",\"event\":\"%s\",\"text\":\"%s\"}\n", now_text().c_str(), kind.c_str(),
                 json_escape(text).c_str());
  else
    std::fprintf(out_, "%s  %s\n", now_text().c_str(), text.c_str());
  std::fflush(out_);
}

}  // namespace console
