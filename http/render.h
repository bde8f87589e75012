// JSON and text forms of the fleet state and of events, for the HTTP side.
// Everything here runs on the server's threads, on copies taken on the loop.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "service.h"
#include "text.h"
#include "vocab.h"

namespace dtu::http {

using Json = nlohmann::json;

// JSON text, IDs as text, times and the clock: the helpers every front end
// shares (bytes that are not UTF-8 become U+FFFD in a dump instead of failing).
using text::dump;
using text::id_text;
using text::id_from_text;
using svc::iso_time;
using text::now_ms;

// The fields of a terminal the API shows, copied on the loop (the core's
// terminal row, in the core's vocabulary).
using RowData = svc::TerminalRow;
struct Row {
  RowData t;
  const char *offline_reason = "";  // "logout" | "idle" | "closed" | "" (last way it went off line)
};
// Appends the terminal's JSON object (the core's terminal form); `extra`
// (",\"key\":value...") goes in before the closing brace.
void append_row_json(std::string &out, const Row &r, std::int64_t now, const std::string &extra = "");
// Events, parameter values and a terminal's recent frames: the core's
// forms as they stand (svc::event_json, svc::params_json, svc::frames_json).
using svc::event_json;
using svc::frames_json;
using svc::params_json;
Json catalogue_json();

struct MetricsInput {
  svc::Counters counters;
  svc::Health health;
  std::size_t known = 0;
  std::size_t queued_downlinks = 0;
  std::size_t sse_clients = 0;
  std::uint64_t sse_dropped = 0;
  std::uint64_t sse_replayed = 0;  // journal records sent to clients that resumed
  std::vector<std::pair<int, std::uint64_t>> http_responses;  // status, count
};
std::string metrics_text(const MetricsInput &m);

}  // namespace dtu::http
