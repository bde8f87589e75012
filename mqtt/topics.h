// The names and texts of the MQTT contract: terminal IDs in topics, topic
// parsing, times, and text that is safe in JSON whatever bytes it came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dtu::mqtt {

// A terminal ID as a topic level: its bytes up to the first NUL; printable
// ASCII as it is except '/', '+', '#' and '%', every other byte "%XX".
std::string escape_id(std::string_view raw);
// The reverse; false for a bad escape, an empty ID, one longer than 11
// bytes, or one holding a NUL.
bool unescape_id(std::string_view level, std::string *raw);

// "2026-12-08T18:32:55.123Z" for ms since 1970 UTC; the reverse gives -1
// for a text that is not one.
std::string iso_time(std::int64_t ms);
std::int64_t parse_iso_time(std::string_view text);

enum class TopicKind { kOther, kStatus, kDown, kParamsGet, kParamsSet };
struct Topic {
  TopicKind kind = TopicKind::kOther;
  std::string id_level;  // the ID's topic level, as it came
};
// "{prefix}/t/{id}/status" etc.; kOther for anything else (results, up, ...).
Topic parse_topic(std::string_view prefix, std::string_view topic);

// Bytes as valid UTF-8 for a JSON string: valid sequences kept, any other
// byte written "\xNN".
std::string utf8_text(std::string_view bytes);
// Bytes as text when they are printable ASCII, otherwise lower-case hex.
std::string text_or_hex(std::string_view bytes);

}  // namespace dtu::mqtt
