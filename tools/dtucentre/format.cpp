#include "dtucentre/format.h"

#include <algorithm>
#include <chrono>
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

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
    else return false;
    if (i + static_cast<std::size_t>(len) > n) return false;
    for (int k = 1; k < len; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += static_cast<std::size_t>(len);
  }
  return true;
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

std::int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
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

std::string id_text(const std::string &id) { return id.empty() ? "-" : escape_bytes(id); }

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

std::string event_line(const Event &e) {
  std::string s = local_time(e.time_ms) + "  " + dtu::svc::event_name(e.type);
  auto field = [&s](const std::string &k, const std::string &v) { s += "  " + k + "=" + v; };
  switch (e.type) {
    case EventType::kStart:
    case EventType::kStop:
      return s + "  " + escape_text(e.text);
    case EventType::kError:
      if (!e.id.empty()) s += "  " + id_text(e.id);
      if (e.request) field("request", std::to_string(e.request));
      if (!e.reason.empty()) field("reason", e.reason);
      return s + "  " + escape_text(e.text);
    default:
      break;
  }
  s.resize(std::max<std::size_t>(s.size(), 43), ' ');
  if (e.type != EventType::kRejected) {
    s += " " + id_text(e.id);
    s.resize(std::max<std::size_t>(s.size(), 56), ' ');
  }
  if (has_peer(e)) s += " " + dtu::svc::to_string(e.peer);
  switch (e.type) {
    case EventType::kLogon:
      field("reported", dtu::svc::to_string(e.reported));
      field("slot", std::to_string(e.slot));
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
      field("request", std::to_string(e.request));
      field("bytes", std::to_string(e.length));
      if (!e.reason.empty()) field("reason", e.reason);
      break;
    case EventType::kRejected:
      field("reason", e.reason);
      field("bytes", std::to_string(e.length));
      field("first", hex(e.data));
      if (!e.id.empty()) field("id", quote_text(e.id));
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
  return s;
}

Json event_json(const Event &e) {
  Json j;
  j["time"] = utc_time(e.time_ms);
  j["event"] = dtu::svc::event_name(e.type);
  if (!e.id.empty()) put_text(j, "id", e.id);
  if (has_peer(e)) j["peer"] = dtu::svc::to_string(e.peer);
  switch (e.type) {
    case EventType::kLogon:
      j["reported"] = dtu::svc::to_string(e.reported);
      break;
    case EventType::kAddrChange:
    case EventType::kDuplicateLogon:
      j["old_peer"] = dtu::svc::to_string(e.old_peer);
      break;
    case EventType::kData:
      j["bytes"] = e.data.size();
      j["hex"] = hex(e.data);
      put_text(j, "text", as_text(e.data));
      break;
    case EventType::kParamRead: {
      Json params = Json::object();
      for (const auto &p : e.params) {
        const std::string key = std::to_string(p.tag);
        if (p.form == dtu::svc::ParamForm::kU8 || p.form == dtu::svc::ParamForm::kU16 ||
            p.form == dtu::svc::ParamForm::kU32)
          params[key] = p.number;
        else
          put_text(params, key.c_str(), dtu::svc::format_param(p));
      }
      j["params"] = params;
      break;
    }
    case EventType::kRejected:
    case EventType::kWire:
    case EventType::kDownlinkQueued:
    case EventType::kDownlinkSent:
    case EventType::kDownlinkExpired:
    case EventType::kDownlinkDropped:
      j["bytes"] = e.length;
      if (e.type == EventType::kWire) {
        j["dir"] = e.inbound ? "in" : "out";
        if (!e.text.empty()) j["kind"] = e.text;
      }
      if (!e.data.empty()) j["hex"] = hex(e.data);
      break;
    default:
      break;
  }
  if (e.slot >= 0 && (e.type == EventType::kLogon || e.type == EventType::kLogout || e.type == EventType::kIdle ||
                      e.type == EventType::kClosed))
    j["slot"] = e.slot;
  if (e.request) j["request"] = e.request;
  if (!e.reason.empty()) j["reason"] = e.reason;
  if (!e.text.empty() && e.type != EventType::kWire) put_text(j, "text", e.text);
  return j;
}

std::string dump(const Json &j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace centre
