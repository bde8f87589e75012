#include "json_input.h"

namespace dtu::svc {

namespace {

// The deepest nesting of arrays and objects, counted outside strings; stops
// counting once past `limit`.  Exact for valid JSON, which is all that
// matters: anything else fails to parse after.
int nesting(std::string_view text, int limit) {
  int depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest && (deepest = depth) > limit) return deepest;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

bool parse_json_input(std::string_view text, nlohmann::json *out, std::string *error, std::size_t max_bytes,
                      int max_depth) {
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  if (text.size() > max_bytes) return fail("larger than " + std::to_string(max_bytes) + " bytes");
  if (nesting(text, max_depth) > max_depth)
    return fail("nested deeper than " + std::to_string(max_depth) + " levels");
  nlohmann::json j = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (j.is_discarded()) return fail("not valid JSON");
  *out = std::move(j);
  return true;
}

}  // namespace dtu::svc
