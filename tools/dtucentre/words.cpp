#include "dtucentre/words.h"

#include "dtucentre/format.h"
#include "events.h"

namespace centre {

using dtu::svc::hex_digit;

namespace {

// One escape at text[i] (a backslash); appends its byte and moves i past it.
bool take_escape(std::string_view text, std::size_t *i, std::string *out, std::string *why) {
  if (*i + 1 >= text.size()) return *why = "a backslash at the end of the line", false;
  const char c = text[*i + 1];
  *i += 2;
  switch (c) {
    case 'r': *out += '\r'; return true;
    case 'n': *out += '\n'; return true;
    case 't': *out += '\t'; return true;
    case '0': *out += '\0'; return true;
    case '\\': case '"': case '\'': case ' ': *out += c; return true;
    case 'x': {
      const int hi = *i < text.size() ? hex_digit(text[*i]) : -1;
      const int lo = *i + 1 < text.size() ? hex_digit(text[*i + 1]) : -1;
      if (hi < 0 || lo < 0) return *why = "\\x takes two hex digits", false;
      *out += static_cast<char>(hi * 16 + lo);
      *i += 2;
      return true;
    }
    default:
      return *why = std::string("unknown escape \\") + escape_bytes(std::string(1, c)), false;
  }
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool unescape(std::string_view text, std::string *out, std::string *why) {
  out->clear();
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\\') {
      if (!take_escape(text, &i, out, why)) return false;
    } else {
      *out += text[i++];
    }
  }
  return true;
}

bool split_words(std::string_view line, std::vector<std::string> *words, std::string *why) {
  words->clear();
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    while (i < n && is_space(line[i])) ++i;
    if (i >= n) break;
    std::string w;
    while (i < n && !is_space(line[i])) {
      const char c = line[i];
      if (c == '\'') {
        const std::size_t end = line.find('\'', i + 1);
        if (end == std::string_view::npos) return *why = "a quote (') is not closed", false;
        w.append(line.substr(i + 1, end - i - 1));
        i = end + 1;
      } else if (c == '"') {
        ++i;
        for (;;) {
          if (i >= n) return *why = "a quote (\") is not closed", false;
          if (line[i] == '"') {
            ++i;
            break;
          }
          if (line[i] == '\\') {
            if (!take_escape(line, &i, &w, why)) return false;
          } else {
            w += line[i++];
          }
        }
      } else if (c == '\\') {
        if (!take_escape(line, &i, &w, why)) return false;
      } else {
        w += c;
        ++i;
      }
    }
    words->push_back(std::move(w));
  }
  return true;
}

std::string_view after_words(std::string_view line, int n) {
  std::size_t pos = 0;
  for (int k = 0; k < n; ++k) {
    while (pos < line.size() && is_space(line[pos])) ++pos;
    while (pos < line.size() && !is_space(line[pos])) ++pos;
  }
  while (pos < line.size() && is_space(line[pos])) ++pos;
  std::string_view rest = line.substr(pos);
  while (!rest.empty() && (rest.back() == '\r' || is_space(rest.back()))) rest.remove_suffix(1);
  return rest;
}

}  // namespace centre
