// How the centre shows what happens: each service event as one text line or
// one JSON object, and the escaping that keeps a terminal's bytes (IDs,
// user data) from reaching an operator's screen or a JSON reader raw.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "events.h"
#include "text.h"
#include "vocab.h"

namespace centre {

using Json = nlohmann::ordered_json;

// Printable ASCII as it is; a backslash doubled; \r \n \t; every other byte
// as \xHH.  Safe to print on any terminal.
std::string escape_bytes(std::string_view bytes);
// UTF-8 text as it is, except control characters (escaped as above); text
// that is not UTF-8 as escape_bytes.
std::string escape_text(std::string_view text);
// The shared helpers: the UTF-8 check, the clock, one-line JSON dumps
// (bytes that are not UTF-8 never get through).
using dtu::text::dump;
using dtu::text::now_ms;
using dtu::text::valid_utf8;
// A string value for JSON: the text itself when it is UTF-8, else its
// escaped form (escape_bytes).  `exact` tells which.
std::string json_text(std::string_view bytes, bool *exact = nullptr);
// Adds key (and key_hex with the raw bytes when they are not UTF-8).
void put_text(Json &j, const char *key, std::string_view bytes);

// "2026-12-08 18:40:01.123" in local time, and "2026-12-08T18:40:01.123Z".
std::string local_time(std::int64_t ms);
std::string utc_time(std::int64_t ms);
// "12s", "3m04s", "2h05m", "-"
std::string age(std::int64_t ms);

// "error" for what an operator must see (an error, a refused logon, a part
// of the centre that went degraded), else "info".
const char *event_level(const dtu::svc::Event &e);

// One event as a text line (no newline), and as the core's JSON object with
// the log's own "level" where an operator must look.  `meta`, the registry's
// entry of the event's terminal (nullptr: not registered), adds its name and
// group: name="..." group=... first among the line's fields, "name" and
// "group" in the object.
std::string event_line(const dtu::svc::Event &e, const dtu::svc::TerminalMeta *meta = nullptr);
Json event_json(const dtu::svc::Event &e, const dtu::svc::TerminalMeta *meta = nullptr);
// The name and group of a registered terminal as key=value fields, each
// with two spaces before it; empty when it has neither.
std::string meta_fields(const dtu::svc::TerminalMeta *meta);
// Text in double quotes: escape_text, with a quote written \".
std::string quoted_text(std::string_view text);

}  // namespace centre
