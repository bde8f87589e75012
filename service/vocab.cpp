#include "vocab.h"

#include <algorithm>

#include "param_names.h"
#include "text.h"

namespace dtu::svc {

namespace {

bool has(const Endpoint &e) { return e.addr != 0 || e.port != 0; }

std::string hex_of(const std::vector<std::uint8_t> &d) { return text::hex(d.data(), d.size()); }

std::string_view as_text(const std::vector<std::uint8_t> &d) {
  return {reinterpret_cast<const char *>(d.data()), d.size()};
}

// The events about a datagram or a downlink carry its size, even when 0.
bool sized(EventType t) {
  switch (t) {
    case EventType::kInvalidFrame:
    case EventType::kRejected:
    case EventType::kWire:
    case EventType::kDownlinkQueued:
    case EventType::kDownlinkSent:
    case EventType::kDownlinkExpired:
    case EventType::kDownlinkDropped:
    case EventType::kDownlinkDelivered:
    case EventType::kDownlinkUnconfirmed: return true;
    default: return false;
  }
}

// The events that carry bytes from the wire under "data".
bool carries_bytes(EventType t) {
  return t == EventType::kData || t == EventType::kInvalidFrame || t == EventType::kRejected || t == EventType::kWire;
}

}  // namespace

VocabJson param_value_json(const ParamValue &v) {
  if (v.form == ParamForm::kU8 || v.form == ParamForm::kU16 || v.form == ParamForm::kU32) return v.number;
  return text::utf8_or_escaped(format_param(v));
}

VocabJson params_json(const std::vector<ParamValue> &values) {
  VocabJson o = VocabJson::object();
  for (const ParamValue &v : values) o[std::to_string(v.tag)] = param_value_json(v);
  return o;
}

VocabJson param_names_json(const std::vector<ParamValue> &values) {
  VocabJson o = VocabJson::object();
  for (const ParamValue &v : values)
    if (const char *name = param_name(v.tag)) o[std::to_string(v.tag)] = name;
  return o;
}

void add_meta_names(VocabJson &j, const TerminalMeta *m) {
  if (m == nullptr) return;
  if (!m->name.empty()) j["name"] = m->name;
  if (!m->group.empty()) j["group"] = m->group;
}

MetaNames meta_names(const Service &s, std::string_view id) {
  MetaNames out;
  auto take = [&out](const std::string &k, const TerminalMeta &m) {
    if (m.name.empty() && m.group.empty()) return;
    TerminalMeta &n = out[k];
    n.name = m.name;
    n.group = m.group;
  };
  if (!id.empty()) {
    if (const TerminalMeta *m = s.meta(id)) take(std::string(id), *m);
    return out;
  }
  for (const auto &[k, m] : s.registry().all()) take(k, m);
  return out;
}

VocabJson event_json(const Event &e) {
  using T = EventType;
  VocabJson j;
  j["time"] = iso_time(e.time_ms);
  j["event"] = event_name(e.type);
  if (!e.id.empty()) j["id"] = text::id_text(e.id);
  if (has(e.peer)) j["peer"] = to_string(e.peer);
  if (has(e.old_peer)) j["old_peer"] = to_string(e.old_peer);
  if (e.type == T::kLogon || e.type == T::kLogonRefused || has(e.reported)) j["reported"] = to_string(e.reported);
  if (e.slot >= 0) j["slot"] = e.slot;
  if (e.request != 0) j["request"] = e.request;
  if (e.type == T::kData) j["length"] = e.data.size();
  else if (sized(e.type) || e.length != 0) j["length"] = e.length;
  if (e.type == T::kWire) {
    j["direction"] = e.inbound ? "in" : "out";
    if (!e.text.empty()) j["kind"] = e.text;
  }
  if (carries_bytes(e.type)) j["data"] = hex_of(e.data);
  // User data that is UTF-8 also comes as text, for readers of the log.
  if (e.type == T::kData && text::valid_utf8(as_text(e.data))) j["text"] = std::string(as_text(e.data));
  else if (!e.text.empty() && e.type != T::kWire) j["text"] = text::utf8_or_escaped(e.text);
  if (e.type == T::kParamRead) j["params"] = params_json(e.params);
  if (e.type == T::kHealth) {
    j["check"] = e.check;
    j["status"] = e.state;
  }
  if (!e.reason.empty()) j["reason"] = e.reason;
  return j;
}

VocabJson frame_json(const RecentFrame &f) {
  return {{"time", iso_time(f.time_ms)},
          {"direction", f.inbound ? "in" : "out"},
          {"kind", f.kind ? f.kind : ""},
          {"length", f.bytes.size()},
          {"data", hex_of(f.bytes)}};
}

VocabJson frames_json(const std::deque<RecentFrame> &frames) {
  VocabJson a = VocabJson::array();
  for (const RecentFrame &f : frames) a.push_back(frame_json(f));
  return a;
}

TerminalRow terminal_row(const Terminal &t) {
  TerminalRow r;
  r.id = t.id;
  r.online = t.online;
  r.slot = t.slot;
  r.peer = t.peer;
  r.reported = t.reported;
  r.logon_time_ms = t.logon_time_ms;
  r.first_seen_ms = t.first_seen_ms;
  r.last_seen_ms = t.last_seen_ms;
  r.datagrams_in = t.datagrams_in;
  r.datagrams_out = t.datagrams_out;
  r.bytes_in = t.bytes_in;
  r.bytes_out = t.bytes_out;
  r.in = t.in;
  r.out = t.out;
  r.addr_changes = t.addr_changes;
  r.duplicate_logons = t.duplicate_logons;
  r.queued_downlinks = t.queued_downlinks;
  return r;
}

namespace {

// A hand-written JSON object writer for the listing: every text here is
// printable ASCII (IDs as id_text writes them, addresses, times, reasons);
// anything else is escaped all the same.
void append_string(std::string &out, std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

struct Obj {
  std::string &out;
  bool first = true;
  Obj &key(const char *k) {
    out += first ? "\"" : ",\"";
    first = false;
    out += k;
    out += "\":";
    return *this;
  }
  Obj &num(const char *k, std::uint64_t v) {
    key(k);
    out += std::to_string(v);
    return *this;
  }
  Obj &str(const char *k, std::string_view v) {
    key(k);
    append_string(out, v);
    return *this;
  }
  Obj &null(const char *k) {
    key(k);
    out += "null";
    return *this;
  }
  Obj &boolean(const char *k, bool v) {
    key(k);
    out += v ? "true" : "false";
    return *this;
  }
  Obj &time(const char *k, std::int64_t ms) { return ms > 0 ? str(k, iso_time(ms)) : null(k); }
  Obj &endpoint(const char *k, const Endpoint &e) { return e.addr != 0 ? str(k, to_string(e)) : null(k); }
};

void append_counts(std::string &out, const TerminalRow &t) {
  out += ",\"in\":{";
  Obj i{out};
  i.num("datagrams", t.datagrams_in).num("bytes", t.bytes_in).num("logon", t.in.logon).num("logout", t.in.logout)
      .num("data", t.in.data).num("data_reply", t.in.data_reply).num("invalid", t.in.invalid)
      .num("param_read", t.in.param_read).num("param_set", t.in.param_set).num("id_report", t.in.id_report)
      .num("other", t.in.other);
  out += "},\"out\":{";
  Obj u{out};
  u.num("datagrams", t.datagrams_out).num("bytes", t.bytes_out).num("acks", t.out.acks).num("downlinks", t.out.downlinks)
      .num("commands", t.out.commands).num("params", t.out.params);
  out += '}';
}

}  // namespace

void append_terminal_json(std::string &out, const TerminalRow &t, const char *offline_reason, std::int64_t now_ms,
                          std::string_view extra) {
  out += '{';
  Obj o{out};
  o.str("id", text::id_text(t.id)).boolean("online", t.online);
  if (t.online && t.slot >= 0) o.num("slot", static_cast<std::uint64_t>(t.slot));
  else o.null("slot");
  o.endpoint("peer", t.peer).endpoint("reported", t.reported);
  o.time("logon_time", t.logon_time_ms).time("first_seen", t.first_seen_ms).time("last_seen", t.last_seen_ms);
  if (t.last_seen_ms > 0)
    o.num("idle_seconds", static_cast<std::uint64_t>(std::max<std::int64_t>(0, (now_ms - t.last_seen_ms) / 1000)));
  else o.null("idle_seconds");
  if (t.online || !offline_reason || !*offline_reason) o.null("offline_reason");
  else o.str("offline_reason", offline_reason);
  append_counts(out, t);
  o.num("addr_changes", t.addr_changes).num("duplicate_logons", t.duplicate_logons).num("queued_downlinks", t.queued_downlinks);
  // The registry's texts are checked UTF-8 without controls; written
  // through the JSON writer all the same, so nothing raw gets out.
  o.key("name");
  out += text::dump(VocabJson(t.name));
  o.key("group");
  out += text::dump(VocabJson(t.group));
  o.key("labels");
  out += text::dump(VocabJson(t.labels));
  o.boolean("registered", t.registered);
  out += extra;
  out += '}';
}

VocabJson terminal_json(const Terminal &t, std::int64_t now_ms, const char *offline_reason) {
  std::string s;
  append_terminal_json(s, terminal_row(t), offline_reason, now_ms);
  return VocabJson::parse(s);
}

}  // namespace dtu::svc
