// The one vocabulary every front end writes: a service event and a
// terminal as JSON, with the same field names and value forms in the JSON
// log, the HTTP API and its event stream, and the MQTT gateway.  A front end
// adds only the fields of its own transport (the log's "level", MQTT's
// "centre").  docs/events.md is the schema.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "events.h"
#include "service.h"

namespace dtu::svc {

// Key order is kept as written: "time" and "event" come first.
using VocabJson = nlohmann::ordered_json;

// One event: time, event, then whichever of id, peer, old_peer, reported,
// slot, request, length, direction, kind, data, text, params, check,
// status, reason it carries.  IDs as text::id_text, bytes as unspaced
// lower-case hex under "data", sizes under "length".
VocabJson event_json(const Event &e);

// A registered terminal's name and group, as the front ends write them
// beside its ID; each only when it is not empty, nothing for an ID that is
// not registered (`m` nullptr), so consumers that know no registry see the
// same objects as before.
void add_meta_names(VocabJson &j, const TerminalMeta *m);
// The registry's names and groups copied on the loop, for a front end that
// writes off the loop thread (the history's pages): by raw ID, only the
// entries that have a name or a group.  `id` empty: every entry; else that
// ID's alone.
using MetaNames = std::map<std::string, TerminalMeta, std::less<>>;
MetaNames meta_names(const Service &s, std::string_view id = {});

// A parameter value: a number for the numeric tags, else its text (tag 18
// as N1-N2-N3-N4-N5); text bytes that are not UTF-8 are written "\xHH".
VocabJson param_value_json(const ParamValue &v);
// Tag (decimal, as the key) to value.
VocabJson params_json(const std::vector<ParamValue> &values);
// Tag (decimal, as the key) to the name the deployment gave it, for the
// values that have one; an empty object when none has.
VocabJson param_names_json(const std::vector<ParamValue> &values);

// One recent frame of a terminal, in the words of a wire event: time,
// direction, kind, length, data.
VocabJson frame_json(const RecentFrame &f);
VocabJson frames_json(const std::deque<RecentFrame> &frames);

// The fields of a terminal that a listing shows: a flat copy of Terminal
// without its recent frames, cheap to take on the loop.
struct TerminalRow {
  std::string id;
  bool online = false;
  int slot = -1;
  Endpoint peer, reported;
  std::int64_t logon_time_ms = 0, first_seen_ms = 0, last_seen_ms = 0;
  std::uint64_t datagrams_in = 0, datagrams_out = 0, bytes_in = 0, bytes_out = 0;
  KindCounts in;
  OutCounts out;
  std::uint64_t addr_changes = 0, duplicate_logons = 0;
  std::size_t queued_downlinks = 0;
  // From the registry: registered, and what the operator gave.
  bool registered = false;
  std::string name, group;
  std::map<std::string, std::string> labels;
};
TerminalRow terminal_row(const Terminal &t);

// A terminal as one JSON object, appended to `out` without building a JSON
// tree (a listing of thousands stays cheap).  `offline_reason` is the last
// way it went off line ("logout" | "idle" | "closed" | ""); `extra`
// (",\"key\":value...") goes in before the closing brace.
void append_terminal_json(std::string &out, const TerminalRow &t, const char *offline_reason, std::int64_t now_ms,
                          std::string_view extra = {});
// The same object as a JSON value.
VocabJson terminal_json(const Terminal &t, std::int64_t now_ms, const char *offline_reason = "");

}  // namespace dtu::svc
