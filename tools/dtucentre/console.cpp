#include "dtucentre/console.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "common/args.h"
#include "counters_json.h"
#include "dtucentre.h"
#include "events.h"

namespace centre {

using dtu::svc::Event;
using dtu::svc::EventType;
using dtu::svc::hex_digit;

namespace {

// One escape at text[i] (a backslash); appends its byte and moves i past it.
bool take_escape(std::string_view text, std::size_t *i, std::string *out, std::string *why) {
  if (*i + 1 >= text.size()) return *why = "a backslash at the end of the line", false;
  const char c = text[*i + 1];
  *i += 2;
  switch (c) {
    case 'r': *out += '\r'; return true;
    case 'n': *out += '\n'; return true;
    case 't': *out += '\t'; return true;
    case '0': *out += '\0'; return true;
    case '\\': case '"': case '\'': case ' ': *out += c; return true;
    case 'x': {
      const int hi = *i < text.size() ? hex_digit(text[*i]) : -1;
      const int lo = *i + 1 < text.size() ? hex_digit(text[*i + 1]) : -1;
      if (hi < 0 || lo < 0) return *why = "\\x takes two hex digits", false;
      *out += static_cast<char>(hi * 16 + lo);
      *i += 2;
      return true;
    }
    default:
      return *why = std::string("unknown escape \\") + escape_bytes(std::string(1, c)), false;
  }
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

struct Help {
  const char *usage;
  const char *does;
};
const Help kHelp[] = {
    {"list [online|offline] [idle>S] [idle<S] [PREFIX]", "known terminals with their last-seen age; filters combine"},
    {"send ID TEXT", "send user data; TEXT may be \"quoted\" and take escapes \\r \\n \\t \\0 \\\\ \\xHH"},
    {"sendhex ID HEX", "send bytes given in hex, e.g. sendhex 13900000001 41 42 0D 0A"},
    {"close ID [--tell]", "take a terminal off line (--tell: send it a LogoutCmd first)"},
    {"closeall [--tell]", "take every terminal off line"},
    {"read ID", "read a terminal's parameters; the values come as a param_read event"},
    {"set ID TAG=VALUE ...", "write parameters; tags and numbers are decimal digits (no sign, no 0x, "
                             "leading zeros are still decimal); texts with spaces in quotes: 2=\"a b\"; "
                             "tag 18 is N1-N2-N3-N4-N5"},
    {"filter [+TYPE|-TYPE ...] [id PREFIX] [all|quiet]", "choose the events the log shows; no arguments: show the filter"},
    {"stats", "the centre's counters"},
    {"help", "this list"},
    {"quit", "stop the centre"},
};

}  // namespace

bool unescape(std::string_view text, std::string *out, std::string *why) {
  out->clear();
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\\') {
      if (!take_escape(text, &i, out, why)) return false;
    } else {
      *out += text[i++];
    }
  }
  return true;
}

bool split_words(std::string_view line, std::vector<std::string> *words, std::string *why) {
  words->clear();
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    while (i < n && is_space(line[i])) ++i;
    if (i >= n) break;
    std::string w;
    while (i < n && !is_space(line[i])) {
      const char c = line[i];
      if (c == '\'') {
        const std::size_t end = line.find('\'', i + 1);
        if (end == std::string_view::npos) return *why = "a quote (') is not closed", false;
        w.append(line.substr(i + 1, end - i - 1));
        i = end + 1;
      } else if (c == '"') {
        ++i;
        for (;;) {
          if (i >= n) return *why = "a quote (\") is not closed", false;
          if (line[i] == '"') {
            ++i;
            break;
          }
          if (line[i] == '\\') {
            if (!take_escape(line, &i, &w, why)) return false;
          } else {
            w += line[i++];
          }
        }
      } else if (c == '\\') {
        if (!take_escape(line, &i, &w, why)) return false;
      } else {
        w += c;
        ++i;
      }
    }
    words->push_back(std::move(w));
  }
  return true;
}

// ---- the event filter -------------------------------------------------

EventFilter::EventFilter() { reset(); }

void EventFilter::reset() {
  on_.set();
  prefix_.clear();
}

void EventFilter::quiet() {
  on_.reset();
  on_.set(static_cast<std::size_t>(EventType::kStart));
  on_.set(static_cast<std::size_t>(EventType::kStop));
  on_.set(static_cast<std::size_t>(EventType::kError));
}

bool EventFilter::set_type(const std::string &name, bool on) {
  for (int t = 0; t < dtu::svc::kEventTypeCount; ++t)
    if (name == dtu::svc::event_name(static_cast<EventType>(t))) {
      on_.set(static_cast<std::size_t>(t), on);
      return true;
    }
  return false;
}

bool EventFilter::shows(const Event &e) const {
  if (!on_.test(static_cast<std::size_t>(e.type))) return false;
  if (!prefix_.empty() && !e.id.empty() && e.id.compare(0, prefix_.size(), prefix_) != 0) return false;
  return true;
}

std::vector<std::string> EventFilter::shown() const {
  std::vector<std::string> v;
  for (int t = 0; t < dtu::svc::kEventTypeCount; ++t)
    if (on_.test(static_cast<std::size_t>(t))) v.push_back(dtu::svc::event_name(static_cast<EventType>(t)));
  return v;
}

std::vector<std::string> EventFilter::hidden() const {
  std::vector<std::string> v;
  for (int t = 0; t < dtu::svc::kEventTypeCount; ++t)
    if (!on_.test(static_cast<std::size_t>(t))) v.push_back(dtu::svc::event_name(static_cast<EventType>(t)));
  return v;
}

// ---- the commands -----------------------------------------------------

void Console::ok(const std::string &command, Json fields, const std::string &text) {
  if (!json_) return out_.reply(text);
  Json j;
  j["reply"] = json_text(command);
  j["ok"] = true;
  for (auto &[k, v] : fields.items()) j[k] = v;
  out_.reply(dump(j));
}

void Console::fail(const std::string &command, const std::string &why) {
  if (!json_) return out_.reply("error: " + why);
  Json j;
  j["reply"] = json_text(command);
  j["ok"] = false;
  j["error"] = json_text(why);
  out_.reply(dump(j));
}

bool Console::execute(std::string_view line) {
  std::vector<std::string> w;
  std::string why;
  if (!split_words(line, &w, &why)) {
    fail("", why);
    return true;
  }
  if (w.empty()) return true;
  const std::string &cmd = w[0];
  if (cmd == "quit" || cmd == "exit") {
    ok("quit", Json::object(), "stopping");
    return false;
  }
  if (cmd == "help" || cmd == "?") help();
  else if (cmd == "list" || cmd == "users") list(w);
  else if (cmd == "send") send(w, line, false);
  else if (cmd == "sendhex") send(w, line, true);
  else if (cmd == "close") close(w, false);
  else if (cmd == "closeall") close(w, true);
  else if (cmd == "read") read(w);
  else if (cmd == "set") set(w);
  else if (cmd == "filter") filter(w);
  else if (cmd == "stats") stats();
  else fail(cmd, "unknown command \"" + escape_bytes(cmd) + "\"; try help");
  return true;
}

void Console::help() {
  if (json_) {
    Json cmds = Json::array();
    for (const Help &h : kHelp) cmds.push_back({{"command", h.usage}, {"does", h.does}});
    return ok("help", {{"commands", cmds}}, "");
  }
  std::string s = "commands:";
  for (const Help &h : kHelp) {
    std::string row = std::string("\n  ") + h.usage;
    if (row.size() < 52) row.resize(52, ' ');
    else row += "\n" + std::string(52, ' ');
    s += row + h.does;
  }
  out_.reply(s);
}

void Console::list(const std::vector<std::string> &w) {
  int state = 0;  // 1 online, 2 offline
  long long idle_more = -1, idle_less = -1;
  std::string prefix, why;
  for (std::size_t i = 1; i < w.size(); ++i) {
    const std::string &a = w[i];
    if (a == "online") state = 1;
    else if (a == "offline") state = 2;
    else if (a == "all") state = 0;
    else if (a.rfind("idle>", 0) == 0) {
      if (!args::integer("idle>", a.substr(5), 0, 1000000000, &idle_more, &why)) return fail("list", why);
    } else if (a.rfind("idle<", 0) == 0) {
      if (!args::integer("idle<", a.substr(5), 0, 1000000000, &idle_less, &why)) return fail("list", why);
    } else prefix = a;
  }
  const std::int64_t now = now_ms();
  Json rows = Json::array();
  std::string text = "ID           state    slot  address                last seen  logon time               in      out     queued";
  int shown = 0;
  for (const dtu::svc::Terminal &t : svc_.terminals()) {
    if (state == 1 && !t.online) continue;
    if (state == 2 && t.online) continue;
    if (!prefix.empty() && t.id.compare(0, prefix.size(), prefix) != 0) continue;
    const std::int64_t idle_ms = now - t.last_seen_ms;
    if (idle_more >= 0 && idle_ms <= idle_more * 1000) continue;
    if (idle_less >= 0 && idle_ms >= idle_less * 1000) continue;
    ++shown;
    if (json_) {
      Json r;
      put_text(r, "id", t.id);
      r["online"] = t.online;
      r["slot"] = t.slot;
      r["peer"] = dtu::svc::to_string(t.peer);
      r["last_seen"] = utc_time(t.last_seen_ms);
      r["idle_s"] = idle_ms / 1000;
      if (t.logon_time_ms) r["logon_time"] = utc_time(t.logon_time_ms);
      r["datagrams_in"] = t.datagrams_in;
      r["datagrams_out"] = t.datagrams_out;
      r["queued_downlinks"] = t.queued_downlinks;
      rows.push_back(r);
      continue;
    }
    char row[256];
    std::snprintf(row, sizeof row, "\n%-11s  %-7s  %4s  %-21s  %9s  %-23s  %-6llu  %-6llu  %zu",
                  escape_bytes(t.id).c_str(), t.online ? "online" : "offline",
                  t.slot >= 0 ? std::to_string(t.slot).c_str() : "-", dtu::svc::to_string(t.peer).c_str(),
                  age(idle_ms).c_str(), t.logon_time_ms ? local_time(t.logon_time_ms).c_str() : "-",
                  static_cast<unsigned long long>(t.datagrams_in), static_cast<unsigned long long>(t.datagrams_out),
                  t.queued_downlinks);
    text += row;
  }
  const int online = svc_.counters().online;
  const int capacity = get_max_user_amount();
  ok("list", {{"terminals", rows}, {"shown", shown}, {"online", online}, {"capacity", capacity}},
     text + "\n" + std::to_string(shown) + " shown; " + std::to_string(online) + " of " + std::to_string(capacity) +
         " on line");
}

void Console::send(const std::vector<std::string> &w, std::string_view line, bool hex) {
  const char *cmd = hex ? "sendhex" : "send";
  if (w.size() < 3) return fail(cmd, std::string("usage: ") + cmd + (hex ? " ID HEX" : " ID TEXT"));
  std::string payload, why;
  if (hex) {
    std::string digits;
    for (std::size_t i = 2; i < w.size(); ++i)
      for (char c : w[i])
        if (c != ' ' && c != ',' && c != ':') digits += c;
    if (digits.size() % 2 != 0) return fail(cmd, "hex takes two digits per byte");
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      const int hi = hex_digit(digits[i]), lo = hex_digit(digits[i + 1]);
      if (hi < 0 || lo < 0) return fail(cmd, "bad hex: " + escape_bytes(digits.substr(i, 2)));
      payload += static_cast<char>(hi * 16 + lo);
    }
  } else if (w.size() == 3) {
    payload = w[2];  // one word, or one quoted text, escapes already taken
  } else {
    // Several words: the text as typed after the ID (spaces kept), escapes taken.
    std::size_t pos = 0;
    for (int k = 0; k < 2; ++k) {
      while (pos < line.size() && is_space(line[pos])) ++pos;
      while (pos < line.size() && !is_space(line[pos])) ++pos;
    }
    while (pos < line.size() && is_space(line[pos])) ++pos;
    std::string_view rest = line.substr(pos);
    while (!rest.empty() && (rest.back() == '\r' || is_space(rest.back()))) rest.remove_suffix(1);
    if (!unescape(rest, &payload, &why)) return fail(cmd, why);
  }
  const std::string &id = w[1];
  if (id.empty() || id.size() > 11) return fail(cmd, "a terminal ID has 1 to 11 characters");
  const dtu::svc::SendResult r = svc_.send(id, payload.data(), payload.size());
  Json f{{"id", json_text(id)}, {"bytes", payload.size()}, {"request", r.handle}};
  switch (r.status) {
    case dtu::svc::SendStatus::kSent:
      f["status"] = "sent";
      return ok(cmd, f, "sent " + std::to_string(payload.size()) + " bytes to " + escape_bytes(id));
    case dtu::svc::SendStatus::kQueued:
      f["status"] = "queued";
      return ok(cmd, f, escape_bytes(id) + " is not on line; " + std::to_string(payload.size()) +
                            " bytes queued until it is heard (request " + std::to_string(r.handle) + ")");
    case dtu::svc::SendStatus::kDropped:
      return fail(cmd, "the queue of " + escape_bytes(id) + " is full; message dropped");
    default:
      if (r.reason == "empty" || r.reason == "too-large") return fail(cmd, "user data takes 1 to 1024 bytes");
      return fail(cmd, "cannot send to " + escape_bytes(id) + ": " + r.reason);
  }
}

void Console::close(const std::vector<std::string> &w, bool all) {
  const char *cmd = all ? "closeall" : "close";
  bool tell = false;
  std::string id;
  bool have_id = false;
  for (std::size_t i = 1; i < w.size(); ++i) {
    if (w[i] == "--tell") tell = true;
    else if (!have_id && !all) id = w[i], have_id = true;
    else return fail(cmd, all ? "usage: closeall [--tell]" : "usage: close ID [--tell]");
  }
  if (all) {
    const int n = svc_.close_all(tell);
    return ok(cmd, {{"closed", n}}, "closed " + std::to_string(n) + " terminals");
  }
  if (!have_id) return fail(cmd, "usage: close ID [--tell]");
  if (id.empty() || id.size() > 11) return fail(cmd, "a terminal ID has 1 to 11 characters");
  if (!svc_.close(id, tell)) return fail(cmd, escape_bytes(id) + " is not on line");
  ok(cmd, {{"id", json_text(id)}}, "closed " + escape_bytes(id));
}

void Console::read(const std::vector<std::string> &w) {
  if (w.size() != 2) return fail("read", "usage: read ID");
  const std::string &id = w[1];
  if (id.empty() || id.size() > 11) return fail("read", "a terminal ID has 1 to 11 characters");
  // An answer within the call (off line) is this command's reply; a later
  // one comes as an event.
  auto early = std::make_shared<std::pair<bool, std::string>>(true, "");
  const std::uint64_t h = svc_.read_params(id, [early](const dtu::svc::ParamResult &r) {
    if (early->first && !r.ok) early->second = r.error.empty() ? "failed" : r.error;
  });
  early->first = false;
  const std::string error = early->second;
  if (!error.empty())
    return fail("read", error == "offline" ? escape_bytes(id) + " is not on line" : "read failed: " + error);
  ok("read", {{"id", json_text(id)}, {"request", h}},
     "parameter read " + std::to_string(h) + " sent to " + escape_bytes(id) + "; the values follow when it answers");
}

void Console::set(const std::vector<std::string> &w) {
  if (w.size() < 3) return fail("set", "usage: set ID TAG=VALUE [TAG=VALUE ...]");
  std::vector<dtu::svc::ParamValue> values;
  for (std::size_t i = 2; i < w.size(); ++i) {
    dtu::svc::ParamValue v;
    std::string why;
    if (!dtu::svc::parse_assignment(w[i], &v, &why)) return fail("set", escape_bytes(why));
    values.push_back(std::move(v));
  }
  const std::string &id = w[1];
  if (id.empty() || id.size() > 11) return fail("set", "a terminal ID has 1 to 11 characters");
  const std::size_t count = values.size();
  auto early = std::make_shared<std::pair<bool, std::string>>(true, "");
  const std::uint64_t h = svc_.write_params(id, std::move(values), [early](const dtu::svc::ParamResult &r) {
    if (early->first && !r.ok) early->second = r.error.empty() ? "failed" : r.error;
  });
  early->first = false;
  const std::string error = early->second;
  if (!error.empty())
    return fail("set", error == "offline" ? escape_bytes(id) + " is not on line" : "write failed: " + error);
  ok("set", {{"id", json_text(id)}, {"request", h}, {"values", count}},
     "parameter set " + std::to_string(h) + " of " + std::to_string(count) + " values sent to " + escape_bytes(id));
}

void Console::filter(const std::vector<std::string> &w) {
  for (std::size_t i = 1; i < w.size(); ++i) {
    const std::string &a = w[i];
    if (a == "all" || a == "reset") filter_.reset();
    else if (a == "quiet") filter_.quiet();
    else if (a == "id") {
      filter_.set_id_prefix(i + 1 < w.size() ? w[++i] : "");
    } else if ((a[0] == '+' || a[0] == '-') && filter_.set_type(a.substr(1), a[0] == '+')) {
    } else {
      std::string names;
      for (int t = 0; t < dtu::svc::kEventTypeCount; ++t)
        names += std::string(t ? " " : "") + dtu::svc::event_name(static_cast<dtu::svc::EventType>(t));
      return fail("filter", "\"" + escape_bytes(a) + "\" is not +TYPE, -TYPE, id PREFIX, all or quiet; types: " + names);
    }
  }
  const auto hidden = filter_.hidden();
  std::string text = "events shown: ";
  if (hidden.empty()) text += "all";
  else {
    const auto shown = filter_.shown();
    for (std::size_t i = 0; i < shown.size(); ++i) text += (i ? " " : "") + shown[i];
    if (shown.empty()) text += "none";
  }
  text += filter_.id_prefix().empty() ? "; every ID" : "; IDs starting " + escape_bytes(filter_.id_prefix());
  ok("filter", {{"shown", filter_.shown()}, {"hidden", hidden}, {"id_prefix", json_text(filter_.id_prefix())}}, text);
}

void Console::stats() {
  const dtu::svc::Counters &c = svc_.counters();
  const Json f = dtu::svc::counters_json(c);
  std::string rej;
  for (const auto &[reason, n] : c.rejected) rej += " " + reason + "=" + std::to_string(n);
  std::string text;
  for (auto &[k, v] : f.items())
    if (k != "rejected") text += (text.empty() ? "" : " ") + k + "=" + v.dump();
  ok("stats", f, text + " rejected:" + (rej.empty() ? " none" : rej));
}

std::string Console::summary() {
  const dtu::svc::Counters &c = svc_.counters();
  const std::int64_t now = now_ms();
  const double secs = last_summary_ms_ ? static_cast<double>(now - last_summary_ms_) / 1000.0 : 0;
  const double rate = secs > 0 ? static_cast<double>(c.datagrams_in - last_in_) / secs : 0;
  last_in_ = c.datagrams_in;
  last_summary_ms_ = now;
  std::uint64_t rejected = 0;
  for (const auto &kv : c.rejected) rejected += kv.second;
  if (json_) {
    Json j{{"time", utc_time(now)},       {"event", "summary"},          {"online", c.online},
           {"datagrams_in", c.datagrams_in}, {"in_per_s", static_cast<long long>(rate + 0.5)},
           {"data_in", c.in.data},         {"rejected", rejected},        {"idle_expiries", c.idle_expiries},
           {"param_timeouts", c.param_timeouts}, {"downlinks_queued", c.downlinks_queued},
           {"downlinks_dropped", c.downlinks_dropped}};
    return dump(j);
  }
  char b[320];
  std::snprintf(b, sizeof b,
                "%s  summary  on line %d  datagrams in %llu (%.0f/s)  data %llu  rejected %llu  idle %llu  "
                "timeouts %llu  downlinks queued %llu dropped %llu",
                local_time(now).c_str(), c.online, static_cast<unsigned long long>(c.datagrams_in), rate,
                static_cast<unsigned long long>(c.in.data), static_cast<unsigned long long>(rejected),
                static_cast<unsigned long long>(c.idle_expiries), static_cast<unsigned long long>(c.param_timeouts),
                static_cast<unsigned long long>(c.downlinks_queued),
                static_cast<unsigned long long>(c.downlinks_dropped));
  return b;
}

}  // namespace centre
