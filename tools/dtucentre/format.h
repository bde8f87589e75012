// How the centre shows what happens: each service event as one text line or
// one JSON object, and the escaping that keeps a terminal's bytes (IDs,
// user data) from reaching an operator's screen or a JSON reader raw.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "events.h"

namespace centre {

using Json = nlohmann::ordered_json;

// Printable ASCII as it is; a backslash doubled; \r \n \t; every other byte
// as \xHH.  Safe to print on any terminal.
std::string escape_bytes(std::string_view bytes);
// UTF-8 text as it is, except control characters (escaped as above); text
// that is not UTF-8 as escape_bytes.
std::string escape_text(std::string_view text);
// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool valid_utf8(std::string_view bytes);
// A string value for JSON: the text itself when it is UTF-8, else its
// escaped form (escape_bytes).  `exact` tells which.
std::string json_text(std::string_view bytes, bool *exact = nullptr);
// Adds key (and key_hex with the raw bytes when they are not UTF-8).
void put_text(Json &j, const char *key, std::string_view bytes);

// "2026-12-08 18:40:01.123" in local time, and "2026-12-08T18:40:01.123Z".
std::string local_time(std::int64_t ms);
std::string utc_time(std::int64_t ms);
std::int64_t now_ms();
// "12s", "3m04s", "2h05m", "-"
std::string age(std::int64_t ms);

// One event as a text line (no newline) and as a JSON object.
std::string event_line(const dtu::svc::Event &e);
Json event_json(const dtu::svc::Event &e);
// A JSON object as one line; bytes that are not UTF-8 never get through.
std::string dump(const Json &j);

}  // namespace centre
