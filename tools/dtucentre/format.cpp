#include "dtucentre/format.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace centre {

using dtu::svc::Event;
using dtu::svc::EventType;

std::string escape_bytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c == '\\') out += "\\\\";
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else {
      char b[5];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    }
  }
  return out;
}

std::string escape_text(std::string_view text) {
  if (!valid_utf8(text)) return escape_bytes(text);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // C1 controls (U+0080..U+009F) are C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      out += escape_bytes(text.substr(i, 2));
      ++i;
    } else if (c >= 0x80) {
      out += static_cast<char>(c);
    } else {
      out += escape_bytes(text.substr(i, 1));
    }
  }
  return out;
}

std::string json_text(std::string_view bytes, bool *exact) {
  const bool ok = valid_utf8(bytes);
  if (exact) *exact = ok;
  return ok ? std::string(bytes) : escape_bytes(bytes);
}

void put_text(Json &j, const char *key, std::string_view bytes) {
  bool exact = true;
  j[key] = json_text(bytes, &exact);
  if (!exact)
    j[std::string(key) + "_hex"] =
        dtu::svc::hex_bytes(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

namespace {

std::string stamp(std::int64_t ms, bool utc) {
  const std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  if (utc) gmtime_r(&t, &tm);
  else localtime_r(&t, &tm);
  char b[40];
  std::strftime(b, sizeof b, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &tm);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03d%s", b, static_cast<int>(ms % 1000), utc ? "Z" : "");
  return out;
}

// An ID in a text line: the one ID text form, "-" for none.
std::string id_or_dash(const std::string &id) { return id.empty() ? "-" : dtu::text::id_text(id); }

std::string quote_text(std::string_view bytes) { return "\"" + escape_bytes(bytes) + "\""; }

std::string hex(const std::vector<std::uint8_t> &d) { return dtu::svc::hex_bytes(d.data(), d.size()); }

std::string_view as_text(const std::vector<std::uint8_t> &d) {
  return {reinterpret_cast<const char *>(d.data()), d.size()};
}

bool has_peer(const Event &e) { return e.peer.addr != 0 || e.peer.port != 0; }

std::string param_text(const dtu::svc::ParamValue &v) {
  const std::string s = dtu::svc::format_param(v);
  return v.form == dtu::svc::ParamForm::kText ? quote_text(s) : escape_bytes(s);
}

}  // namespace

std::string local_time(std::int64_t ms) { return stamp(ms, false); }
std::string utc_time(std::int64_t ms) { return stamp(ms, true); }

std::string age(std::int64_t ms) {
  if (ms < 0) return "-";
  const std::int64_t s = ms / 1000;
  char b[32];
  if (s < 60) std::snprintf(b, sizeof b, "%llds", static_cast<long long>(s));
  else if (s < 3600) std::snprintf(b, sizeof b, "%lldm%02llds", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  else std::snprintf(b, sizeof b, "%lldh%02lldm", static_cast<long long>(s / 3600), static_cast<long long>(s / 60 % 60));
  return b;
}

const char *event_level(const Event &e) {
  const bool error = e.type == EventType::kError || e.type == EventType::kLogonRefused ||
                     (e.type == EventType::kHealth && e.state == "degraded");
  return error ? "error" : "info";
}

namespace {

// The key=value fields of a terminal's event line, after its ID and address.
void terminal_fields(const Event &e, std::string &s) {
  auto field = [&s](const std::string &k, const std::string &v) { s += "  " + k + "=" + v; };
  switch (e.type) {
    case EventType::kLogon:
      field("reported", dtu::svc::to_string(e.reported));
      field("slot", std::to_string(e.slot));
      break;
    case EventType::kLogonRefused:
      field("reported", dtu::svc::to_string(e.reported));
      field("level", "error");
      field("reason", e.reason);
      break;
    case EventType::kLogout:
    case EventType::kIdle:
    case EventType::kClosed:
      if (e.slot >= 0) field("slot", std::to_string(e.slot));
      if (!e.reason.empty()) field("reason", e.reason);
      break;
    case EventType::kData:
      field("bytes", std::to_string(e.data.size()));
      field("hex", hex(e.data));
      field("text", quote_text(as_text(e.data)));
      break;
    case EventType::kAddrChange:
    case EventType::kDuplicateLogon:
      field(e.type == EventType::kAddrChange ? "from" : "on_line_at", dtu::svc::to_string(e.old_peer));
      break;
    case EventType::kParamRead:
      field("request", std::to_string(e.request));
      for (const auto &p : e.params) field(std::to_string(p.tag), param_text(p));
      break;
    case EventType::kParamSet:
      field("request", std::to_string(e.request));
      break;
    case EventType::kTimeout:
      field("request", std::to_string(e.request));
      field("reason", e.reason);
      break;
    case EventType::kDownlinkQueued:
    case EventType::kDownlinkSent:
    case EventType::kDownlinkExpired:
    case EventType::kDownlinkDropped:
    case EventType::kDownlinkDelivered:
    case EventType::kDownlinkUnconfirmed:
      field("request", std::to_string(e.request));
      field("bytes", std::to_string(e.length));
      if (!e.reason.empty()) field("reason", e.reason);
      break;
    case EventType::kRejected:
      field("reason", e.reason);
      field("bytes", std::to_string(e.length));
      field("first", hex(e.data));
      if (!e.id.empty()) field("id", "\"" + dtu::text::id_text(e.id) + "\"");
      break;
    case EventType::kWire:
      field("dir", e.inbound ? "in" : "out");
      if (!e.text.empty()) field("kind", escape_bytes(e.text));
      field("bytes", std::to_string(e.length));
      field("hex", hex(e.data));
      break;
    default:
      if (!e.reason.empty()) field("reason", e.reason);
      break;
  }
}

}  // namespace

std::string quoted_text(std::string_view text) {
  std::string out = "\"";
  for (char c : escape_text(text)) out += c == '"' ? std::string("\\\"") : std::string(1, c);
  return out + "\"";
}

std::string meta_fields(const dtu::svc::TerminalMeta *meta) {
  if (meta == nullptr) return "";
  std::string s;
  if (!meta->name.empty()) s += "  name=" + quoted_text(meta->name);
  if (!meta->group.empty()) s += "  group=" + escape_bytes(meta->group);
  return s;
}

std::string event_line(const Event &e, const dtu::svc::TerminalMeta *meta) {
  std::string s = local_time(e.time_ms) + "  " + dtu::svc::event_name(e.type);
  auto field = [&s](const std::string &k, const std::string &v) { s += "  " + k + "=" + v; };
  switch (e.type) {
    case EventType::kStart:
    case EventType::kStop:
      // The program's own words first; the library's text (Chinese) follows
      // as a field for those who look for it.
      s += e.type == EventType::kStart ? "  listening on " + dtu::svc::to_string(e.peer) : "  stopped";
      if (!e.text.empty()) s += "  banner=\"" + escape_text(e.text) + "\"";
      return s;
    case EventType::kHealth:
      // A part of the centre changed state: error level when it went wrong.
      s += "  " + escape_bytes(e.check) + "  " + escape_bytes(e.state);
      field("level", event_level(e));
      if (!e.reason.empty() && e.reason != "ok") field("reason", escape_bytes(e.reason));
      return e.text.empty() ? s : s + "  " + escape_text(e.text);
    case EventType::kError:
      if (!e.id.empty()) s += "  " + id_or_dash(e.id);
      if (e.request) field("request", std::to_string(e.request));
      if (!e.reason.empty()) field("reason", e.reason);
      return s + "  " + escape_text(e.text);
    default:
      break;
  }
  s.resize(std::max<std::size_t>(s.size(), 43), ' ');
  if (e.type != EventType::kRejected) {
    s += " " + id_or_dash(e.id);
    s.resize(std::max<std::size_t>(s.size(), 56), ' ');
  }
  if (has_peer(e)) s += " " + dtu::svc::to_string(e.peer);
  if (e.type != EventType::kRejected) s += meta_fields(meta);
  terminal_fields(e, s);
  return s;
}

Json event_json(const Event &e, const dtu::svc::TerminalMeta *meta) {
  Json j = dtu::svc::event_json(e);
  if (!e.id.empty() && e.type != EventType::kRejected) dtu::svc::add_meta_names(j, meta);
  if (e.type == EventType::kLogonRefused || e.type == EventType::kHealth) j["level"] = event_level(e);
  return j;
}

}  // namespace centre
