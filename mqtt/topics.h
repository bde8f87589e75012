// The names and texts of the MQTT contract: terminal IDs in topics, topic
// parsing, times, and text that is safe in JSON whatever bytes it came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "events.h"

namespace dtu::mqtt {

// Terminal IDs in topics, and times, are written as the service core writes
// them everywhere (svc::id_text, svc::iso_time).
using svc::id_text;
using svc::id_from_text;
using svc::iso_time;

// The reverse of iso_time: -1 for a text that is not one.
std::int64_t parse_iso_time(std::string_view text);

enum class TopicKind { kOther, kStatus, kDown, kParamsGet, kParamsSet, kCentreState, kTaken };
struct Topic {
  TopicKind kind = TopicKind::kOther;
  std::string id_level;  // the ID's topic level, as it came; the centre's name for kCentreState, kTaken
};
// "{prefix}/t/{id}/status" etc., "{prefix}/c/{centre}/state" and
// "{prefix}/c/{centre}/taken"; kOther for anything else (results, up, ...).
Topic parse_topic(std::string_view prefix, std::string_view topic);

// Bytes as valid UTF-8 for a JSON string: valid sequences kept, any other
// byte written "\xNN".
std::string utf8_text(std::string_view bytes);
// Bytes as text when they are printable ASCII, otherwise lower-case hex.
std::string text_or_hex(std::string_view bytes);

}  // namespace dtu::mqtt
