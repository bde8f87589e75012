// JSON and text forms of the fleet state and of events, for the HTTP side.
// Everything here runs on the server's threads, on copies taken on the loop.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "service.h"

namespace dtu::http {

using Json = nlohmann::json;

// JSON text; bytes that are not UTF-8 become U+FFFD instead of failing.
std::string dump(const Json &j);

// Terminal IDs as text and times, as the service core writes them for
// every front end (the MQTT topics use the same form).
using svc::id_text;
using svc::id_from_text;
using svc::iso_time;

std::int64_t now_ms();

// The fields of a terminal the API shows, copied on the loop: a flat copy
// (no allocation but for an ID longer than the string's own buffer).
struct RowData {
  std::string id;
  bool online = false;
  int slot = -1;
  svc::Endpoint peer, reported;
  std::int64_t logon_time_ms = 0, first_seen_ms = 0, last_seen_ms = 0;
  std::uint64_t datagrams_in = 0, datagrams_out = 0, bytes_in = 0, bytes_out = 0;
  svc::KindCounts in;
  svc::OutCounts out;
  std::uint64_t addr_changes = 0, duplicate_logons = 0;
  std::size_t queued_downlinks = 0;
};
struct Row {
  RowData t;
  const char *offline_reason = "";  // "logout" | "idle" | "closed" | "" (last way it went off line)
};
// Appends the terminal's JSON object; `extra` (",\"key\":value...") goes
// in before the closing brace.
void append_row_json(std::string &out, const Row &r, std::int64_t now, const std::string &extra = "");
Json frames_json(const std::deque<svc::RecentFrame> &frames);

Json event_json(const svc::Event &e);
Json params_json(const std::vector<svc::ParamValue> &values);
Json catalogue_json();

struct MetricsInput {
  svc::Counters counters;
  std::size_t known = 0;
  std::size_t queued_downlinks = 0;
  std::size_t sse_clients = 0;
  std::uint64_t sse_dropped = 0;
  std::vector<std::pair<int, std::uint64_t>> http_responses;  // status, count
};
std::string metrics_text(const MetricsInput &m);

}  // namespace dtu::http
