// JSON that comes from outside the centre (MQTT payloads, HTTP bodies),
// parsed within limits.  A document nested many thousands deep parses fine
// but kills whoever later copies, prints or frees it recursively; a huge one
// costs memory for nothing.  Every front end parses what it is sent here.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace dtu::svc {

constexpr std::size_t kJsonMaxBytes = 64 * 1024;  // no request of ours comes near it
constexpr int kJsonMaxDepth = 16;                 // arrays and objects inside one another

// True with the value in *out; false (and *out left as it was) for text
// that is not JSON, is longer than max_bytes or nests deeper than max_depth,
// with a one-line reason in *error ("not valid JSON", "nested deeper than 16
// levels", "larger than 65536 bytes").
bool parse_json_input(std::string_view text, nlohmann::json *out, std::string *error = nullptr,
                      std::size_t max_bytes = kJsonMaxBytes, int max_depth = kJsonMaxDepth);

}  // namespace dtu::svc
