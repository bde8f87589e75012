// Strict reading of numbers and addresses given on a command line or in a
// configuration file: the whole text must be the number, in range, decimal.
// Each function returns false and says why in `why` (naming the argument).
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace args {

// A whole decimal number from `lo` to `hi`; no sign other than a leading
// '-' (and only when lo < 0), no spaces, no other base.
inline bool integer(const std::string &name, const std::string &text, long long lo, long long hi,
                    long long *out, std::string *why) {
  bool ok = !text.empty();
  for (std::size_t i = 0; ok && i < text.size(); ++i)
    ok = (text[i] >= '0' && text[i] <= '9') || (i == 0 && text[i] == '-' && text.size() > 1);
  long long v = 0;
  if (ok) {
    errno = 0;
    char *end = nullptr;
    v = std::strtoll(text.c_str(), &end, 10);
    ok = errno == 0 && *end == '\0' && v >= lo && v <= hi;
  }
  if (!ok) {
    *why = name + ": \"" + text + "\" is not a whole number from " + std::to_string(lo) + " to " +
           std::to_string(hi);
    return false;
  }
  *out = v;
  return true;
}

template <typename T>
inline bool integer(const std::string &name, const std::string &text, long long lo, long long hi, T *out,
                    std::string *why) {
  long long v = 0;
  if (!integer(name, text, lo, hi, &v, why)) return false;
  *out = static_cast<T>(v);
  return true;
}

// A finite decimal number from `lo` to `hi` (no "nan", "inf" or hex).
inline bool real(const std::string &name, const std::string &text, double lo, double hi, double *out,
                 std::string *why) {
  bool ok = !text.empty();
  for (char c : text) ok = ok && ((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E');
  double v = 0;
  if (ok) {
    errno = 0;
    char *end = nullptr;
    v = std::strtod(text.c_str(), &end);
    ok = errno == 0 && *end == '\0' && std::isfinite(v) && v >= lo && v <= hi;
  }
  if (!ok) {
    char range[80];
    std::snprintf(range, sizeof range, "%g to %g", lo, hi);
    *why = name + ": \"" + text + "\" is not a number from " + range;
    return false;
  }
  *out = v;
  return true;
}

// A UDP port, 1 to 65535 (0 too when `zero_ok`: a free port).
inline bool port(const std::string &name, const std::string &text, bool zero_ok, std::uint16_t *out,
                 std::string *why) {
  return integer(name, text, zero_ok ? 0 : 1, 65535, out, why);
}

}  // namespace args
