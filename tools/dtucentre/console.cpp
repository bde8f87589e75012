#include "dtucentre/console.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "common/args.h"
#include "command.h"
#include "counters_json.h"
#include "dtucentre/words.h"
#include "events.h"
#include "journal.h"

namespace centre {

using dtu::svc::Event;
using dtu::svc::EventType;
using dtu::svc::hex_digit;

namespace {


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
    {"params ID", "read a terminal's parameters and show them with the deployment's names and units "
                  "(the reply comes when the terminal answers)"},
    {"set ID TAG=VALUE ...", "write parameters; tags and numbers are decimal digits (no sign, no 0x, "
                             "leading zeros are still decimal), or a tag's name from param_names; texts "
                             "with spaces in quotes: 2=\"a b\"; tag 18 is N1-N2-N3-N4-N5"},
    {"filter [+TYPE|-TYPE ...] [id PREFIX] [all|quiet]", "choose the events the log shows; no arguments: show the filter"},
    {"meta ID [name=N] [group=G] [label:K=V] [note=T]",
     "show a terminal's registry entry, or change the fields given (name= clears, label:K= removes a label; "
     "values with spaces in quotes)"},
    {"unmeta ID", "unregister a terminal"},
    {"registry [SELECTOR]", "registered terminals: all (default), group=G, label:K=V, name=N or prefix=P"},
    {"history ID [N]", "the last N records the journal holds of a terminal (default 20, at most 500)"},
    {"stats", "the centre's counters"},
    {"help", "this list"},
    {"quit", "stop the centre"},
};

using dtu::svc::CommandResult;

// Starts a parameter read or write through the command layer: its refusal,
// or an answer that comes within the call (the terminal is off line), is
// the command's result; kOk when the request is on its way.
template <class Start>
dtu::svc::RequestOutcome start_request(Start start) {
  auto early = std::make_shared<std::pair<bool, CommandResult>>(true, CommandResult::kOk);
  dtu::svc::RequestOutcome out = start([early](const dtu::svc::ParamResult &r) {
    if (early->first && !r.ok) early->second = r.error == CommandResult::kOk ? CommandResult::kOther : r.error;
  });
  early->first = false;
  if (out.result == CommandResult::kOk) out.result = early->second;
  return out;
}

// The error line of a parameter request that ended at once.
std::string request_error(const std::string &id, const char *what, CommandResult r) {
  if (r == CommandResult::kOffline) return escape_bytes(id) + " is not on line";
  if (r == CommandResult::kUnknownId)
    return "no terminal " + escape_bytes(id) + " has been heard (unknown-id); nothing asked";
  return std::string(what) + " failed: " + dtu::svc::result_name(r);
}

void reply_ok(Output &out, bool json, const std::string &command, Json fields, const std::string &text) {
  if (!json) return out.reply(text);
  Json j;
  j["reply"] = json_text(command);
  j["ok"] = true;
  for (auto &[k, v] : fields.items()) j[k] = v;
  out.reply(dump(j));
}

void reply_fail(Output &out, bool json, const std::string &command, const std::string &why) {
  if (!json) return out.reply("error: " + why);
  Json j;
  j["reply"] = json_text(command);
  j["ok"] = false;
  j["error"] = json_text(why);
  out.reply(dump(j));
}

// The answer of `params ID`: a row per tag with the deployment's name and
// unit, and a choice's label after its value.
void show_params(Output &out, bool json, const std::string &id, std::uint64_t request,
                 const dtu::svc::ParamResult &r) {
  if (!r.ok) return reply_fail(out, json, "params", "read of " + escape_bytes(id) + " failed: " +
                                                        dtu::svc::result_name(r.error));
  const dtu::svc::ParamNames *names = dtu::svc::param_names();
  Json rows = Json::array();
  std::string text = "parameters of " + escape_bytes(id) + " (request " + std::to_string(request) + ")";
  for (const dtu::svc::ParamValue &v : r.values) {
    const dtu::svc::ParamMeaning *m = names ? names->by_tag(v.tag) : nullptr;
    const bool number = v.form != dtu::svc::ParamForm::kText && v.form != dtu::svc::ParamForm::kComposite;
    Json row = {{"tag", v.tag}, {"value", dtu::svc::param_value_json(v)}};
    std::string shown = number ? std::to_string(v.number) : "\"" + escape_text(dtu::svc::format_param(v)) + "\"";
    if (m && !m->name.empty()) row["name"] = m->name;
    if (m && !m->unit.empty()) row["unit"] = m->unit, shown += " " + escape_text(m->unit);
    if (m && number)
      for (const auto &[value, label] : m->choices)
        if (value == v.number) row["choice"] = label, shown += " (" + escape_text(label) + ")";
    char head[64];
    std::snprintf(head, sizeof head, "\n  %3d  %-32s  ", v.tag, m && !m->name.empty() ? m->name.c_str() : "-");
    text += head + shown;
    rows.push_back(std::move(row));
  }
  reply_ok(out, json, "params", {{"id", json_text(id)}, {"request", request}, {"params", rows}}, text);
}

}  // namespace

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
  on_.set(static_cast<std::size_t>(EventType::kLogonRefused));
  on_.set(static_cast<std::size_t>(EventType::kHealth));
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
  reply_ok(out_, json_, command, std::move(fields), text);
}

void Console::fail(const std::string &command, const std::string &why) { reply_fail(out_, json_, command, why); }

bool Console::valid_id(const char *command, const std::string &id) {
  if (!id.empty() && id.size() <= 11) return true;
  fail(command, "a terminal ID has 1 to 11 characters");
  return false;
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
  else if (cmd == "params") params(w);
  else if (cmd == "set") set(w);
  else if (cmd == "filter") filter(w);
  else if (cmd == "stats") stats();
  else if (cmd == "history") history(w);
  else if (cmd == "meta") meta(w);
  else if (cmd == "unmeta") unmeta(w);
  else if (cmd == "registry") registry(w);
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
    // A terminal never heard (a downlink queued for it) has no age: it is
    // shown "never" and counts as idle for ever.
    const bool heard = t.last_seen_ms > 0;
    const std::int64_t idle_ms = heard ? now - t.last_seen_ms : INT64_MAX;
    if (idle_more >= 0 && idle_ms <= idle_more * 1000) continue;
    if (idle_less >= 0 && idle_ms >= idle_less * 1000) continue;
    ++shown;
    if (json_) {
      Json r;
      put_text(r, "id", t.id);
      r["online"] = t.online;
      r["slot"] = t.slot;
      r["peer"] = dtu::svc::to_string(t.peer);
      r["last_seen"] = heard ? Json(utc_time(t.last_seen_ms)) : Json();
      r["idle_s"] = heard ? Json(idle_ms / 1000) : Json();
      if (t.logon_time_ms) r["logon_time"] = utc_time(t.logon_time_ms);
      r["datagrams_in"] = t.datagrams_in;
      r["datagrams_out"] = t.datagrams_out;
      r["queued_downlinks"] = t.queued_downlinks;
      dtu::svc::add_meta_names(r, svc_.meta(t.id));
      rows.push_back(r);
      continue;
    }
    char row[256];
    std::snprintf(row, sizeof row, "\n%-11s  %-7s  %4s  %-21s  %9s  %-23s  %-6llu  %-6llu  %zu",
                  escape_bytes(t.id).c_str(), t.online ? "online" : "offline",
                  t.slot >= 0 ? std::to_string(t.slot).c_str() : "-", dtu::svc::to_string(t.peer).c_str(),
                  heard ? age(idle_ms).c_str() : "never", t.logon_time_ms ? local_time(t.logon_time_ms).c_str() : "-",
                  static_cast<unsigned long long>(t.datagrams_in), static_cast<unsigned long long>(t.datagrams_out),
                  t.queued_downlinks);
    text += row + meta_fields(svc_.meta(t.id));
  }
  const int online = svc_.counters().online;
  const int capacity = svc_.capacity();
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
    if (!unescape(after_words(line, 2), &payload, &why)) return fail(cmd, why);
  }
  const std::string &id = w[1];
  if (!valid_id(cmd, id)) return;
  using R = dtu::svc::CommandResult;
  const dtu::svc::SendOutcome r = dtu::svc::send_command(svc_, id, payload);
  Json f{{"id", json_text(id)}, {"bytes", payload.size()}, {"request", r.handle}};
  switch (r.result) {
    case R::kSent:
      f["status"] = dtu::svc::downlink_state_name(dtu::svc::DownlinkState::kSent);
      return ok(cmd, f, "sent " + std::to_string(payload.size()) + " bytes to " + escape_bytes(id));
    case R::kQueued:
      f["status"] = dtu::svc::downlink_state_name(dtu::svc::DownlinkState::kQueued);
    {
      const dtu::svc::Terminal *t = svc_.find(id);
      const std::string state = t != nullptr && t->online ? " has a downlink on its way; " : " is not on line; ";
      return ok(cmd, f, escape_bytes(id) + state + std::to_string(payload.size()) +
                            " bytes queued (request " + std::to_string(r.handle) + ")");
    }
    case R::kQueueFull:
      return fail(cmd, "the queue of " + escape_bytes(id) + " is full; message dropped");
    case R::kEmpty:
    case R::kTooLarge: return fail(cmd, "user data takes 1 to 1024 bytes");
    case R::kUnknownId:
      return fail(cmd, "no terminal " + escape_bytes(id) + " has been heard (unknown-id); nothing queued");
    default: return fail(cmd, "cannot send to " + escape_bytes(id) + ": " + dtu::svc::result_name(r.result));
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
  if (!valid_id(cmd, id)) return;
  if (dtu::svc::close_command(svc_, id, tell) != dtu::svc::CommandResult::kOk)
    return fail(cmd, escape_bytes(id) + " is not on line");
  ok(cmd, {{"id", json_text(id)}}, "closed " + escape_bytes(id));
}

void Console::read(const std::vector<std::string> &w) {
  if (w.size() != 2) return fail("read", "usage: read ID");
  const std::string &id = w[1];
  if (!valid_id("read", id)) return;
  // An answer within the call (off line) is this command's reply; a later
  // one comes as an event.
  const dtu::svc::RequestOutcome r = start_request([&](auto done) { return dtu::svc::read_command(svc_, id, done); });
  if (r.result != CommandResult::kOk) return fail("read", request_error(id, "read", r.result));
  const std::uint64_t h = r.handle;
  ok("read", {{"id", json_text(id)}, {"request", h}},
     "parameter read sent to " + escape_bytes(id) + " (request " + std::to_string(h) +
         "); the values follow when it answers");
}

void Console::params(const std::vector<std::string> &w) {
  if (w.size() != 2) return fail("params", "usage: params ID");
  const std::string id = w[1];
  if (!valid_id("params", id)) return;
  // One reply, when the terminal answers; a refusal or an answer within the
  // call (off line) is the reply now.  The output outlives the service, the
  // console need not.
  auto started = std::make_shared<std::uint64_t>(0);
  const dtu::svc::RequestOutcome r = start_request([&](auto early) {
    return dtu::svc::read_command(svc_, id, [early, started, &out = out_, json = json_, id](const dtu::svc::ParamResult &res) {
      early(res);
      if (*started) show_params(out, json, id, *started, res);
    });
  });
  if (r.result != CommandResult::kOk) return fail("params", request_error(id, "read", r.result));
  *started = r.handle;
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
  if (!valid_id("set", id)) return;
  const std::size_t count = values.size();
  const dtu::svc::RequestOutcome r =
      start_request([&](auto done) { return dtu::svc::write_command(svc_, id, std::move(values), done); });
  if (r.result != CommandResult::kOk) return fail("set", request_error(id, "write", r.result));
  const std::uint64_t h = r.handle;
  ok("set", {{"id", json_text(id)}, {"request", h}, {"values", count}},
     std::to_string(count) + (count == 1 ? " value" : " values") + " sent to " + escape_bytes(id) + " (request " +
         std::to_string(h) + "); the confirmation follows when it answers");
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
  Json f = dtu::svc::counters_json(c);
  std::string rej, refused;
  for (const auto &[reason, n] : c.rejected) rej += " " + reason + "=" + std::to_string(n);
  for (const auto &[reason, n] : c.logons_refused) refused += " " + reason + "=" + std::to_string(n);
  std::string text;
  for (auto &[k, v] : f.items())
    if (k != "rejected" && k != "logons_refused") text += (text.empty() ? "" : " ") + k + "=" + v.dump();
  text += " rejected:" + (rej.empty() ? " none" : rej) + "; logons refused:" + (refused.empty() ? " none" : refused);
  // The health rows: each part's state and figures.
  const dtu::svc::Health &h = svc_.health();
  text += "\nhealth: " + h.summary();
  for (const dtu::svc::HealthRow &r : h.rows()) {
    text += "\n  " + r.name + " " + dtu::svc::health_state_name(r.state);
    if (!r.reason.empty()) text += " (" + r.reason + ")";
    text += " for " + age(now_ms() - r.since_ms);
    for (auto &[k, v] : r.fields.items()) text += " " + k + "=" + (v.is_string() ? escape_text(v.get<std::string>()) : v.dump());
    if (!r.detail.empty()) text += ": " + escape_text(r.detail);
  }
  f["health"] = Json::parse(h.to_json().dump());
  ok("stats", f, text);
}

// One short page of the journal, read on the loop: the ID index makes it a
// walk over that terminal's newest records only.
void Console::history(const std::vector<std::string> &w) {
  if (w.size() < 2 || w.size() > 3) return fail("history", "usage: history ID [N]");
  long long n = 20;
  std::string why;
  if (w.size() == 3 && !args::integer("N", w[2], 1, static_cast<long long>(dtu::svc::kHistoryPage), &n, &why))
    return fail("history", why);
  const std::string &id = w[1];
  if (!valid_id("history", id)) return;
  dtu::svc::Journal *journal = svc_.journal();
  if (journal == nullptr) return fail("history", "the centre runs memory only (no state_dir): it keeps no history");
  dtu::svc::HistoryQuery q;
  q.id = id;
  q.limit = static_cast<std::size_t>(n);
  q.newest_first = true;
  dtu::svc::HistoryPage page = journal->history(q);
  if (!page.error.empty()) return fail("history", page.error);
  std::reverse(page.records.begin(), page.records.end());  // shown oldest first, as a log
  const dtu::svc::TerminalMeta *meta = svc_.meta(id);
  Json rows = Json::array();
  std::string text;
  for (const Event &e : page.records) {
    rows.push_back(centre::event_json(e, meta));
    const bool data = e.type == EventType::kData;
    const std::string what = data ? escape_bytes(std::string(e.data.begin(), e.data.end()))
                             : !e.reason.empty() ? escape_bytes(e.reason)
                             : !e.text.empty()   ? escape_bytes(e.text)
                             : e.peer.addr       ? dtu::svc::to_string(e.peer)
                                                 : std::string();
    char row[96];
    std::snprintf(row, sizeof row, "\n%-23s  %-20s  %5zu  ", local_time(e.time_ms).c_str(),
                  dtu::svc::event_name(e.type), data ? e.data.size() : e.length);
    text += row + what;
  }
  const std::string note = page.truncated_by_retention ? " (older records were deleted by retention)" : "";
  ok("history", {{"id", json_text(id)}, {"records", rows}, {"truncated_by_retention", page.truncated_by_retention}},
     std::to_string(page.records.size()) + " records of " + escape_bytes(id) + meta_fields(meta) + note + text);
}

namespace {

// A registry entry as the console shows it: JSON fields, and one text line
// after the ID.
Json meta_reply(const std::string &id, const dtu::svc::TerminalMeta &m) {
  Json labels = Json::object();
  for (const auto &[k, v] : m.labels) labels[k] = v;
  return {{"id", json_text(id)}, {"name", m.name},   {"group", m.group},
          {"labels", labels},    {"note", m.note},   {"registered", true}};
}

std::string labels_text(const dtu::svc::TerminalMeta &m) {
  std::string s;
  for (const auto &[k, v] : m.labels) s += (s.empty() ? "" : " ") + escape_bytes(k) + "=" + quoted_text(v);
  return s;
}

std::string meta_text(const std::string &id, const dtu::svc::TerminalMeta &m) {
  std::string s = escape_bytes(id) + "  name=" + quoted_text(m.name) + "  group=" + escape_bytes(m.group);
  s += "  labels: " + (m.labels.empty() ? std::string("none") : labels_text(m));
  return s + "  note=" + quoted_text(m.note);
}

}  // namespace

// `meta ID` shows the entry; with FIELD=VALUE words it changes those
// fields of it (or of an empty one) and stores it, as an HTTP PATCH does.
void Console::meta(const std::vector<std::string> &w) {
  if (w.size() < 2) return fail("meta", "usage: meta ID [name=N] [group=G] [label:K=V] [note=T]");
  const std::string &id = w[1];
  if (!valid_id("meta", id)) return;
  const dtu::svc::TerminalMeta *now = svc_.meta(id);
  if (w.size() == 2) {
    if (now == nullptr) return fail("meta", escape_bytes(id) + " is not registered");
    return ok("meta", meta_reply(id, *now), meta_text(id, *now));
  }
  dtu::svc::TerminalMeta m = now ? *now : dtu::svc::TerminalMeta{};
  for (std::size_t i = 2; i < w.size(); ++i) {
    const std::string &a = w[i];
    const std::size_t eq = a.find('=');
    const std::string key = a.substr(0, eq), value = eq == std::string::npos ? "" : a.substr(eq + 1);
    if (eq == std::string::npos) return fail("meta", "\"" + escape_bytes(a) + "\" is not FIELD=VALUE");
    if (key == "name") m.name = value;
    else if (key == "group") m.group = value;
    else if (key == "note") m.note = value;
    else if (key.rfind("label:", 0) == 0 && key.size() > 6) {
      if (value.empty()) m.labels.erase(key.substr(6));
      else m.labels[key.substr(6)] = value;
    } else {
      return fail("meta", "\"" + escape_bytes(key) + "\" is not name, group, note or label:KEY");
    }
  }
  std::string field, why;
  if (!svc_.set_meta(id, std::move(m), &field, &why)) return fail("meta", escape_text(why));
  const dtu::svc::TerminalMeta *stored = svc_.meta(id);
  ok("meta", meta_reply(id, *stored), "stored: " + meta_text(id, *stored));
}

void Console::unmeta(const std::vector<std::string> &w) {
  if (w.size() != 2) return fail("unmeta", "usage: unmeta ID");
  const std::string &id = w[1];
  if (!valid_id("unmeta", id)) return;
  if (!svc_.erase_meta(id)) return fail("unmeta", escape_bytes(id) + " is not registered");
  ok("unmeta", {{"id", json_text(id)}}, "unregistered " + escape_bytes(id));
}

void Console::registry(const std::vector<std::string> &w) {
  if (w.size() > 2) return fail("registry", "usage: registry [SELECTOR]");
  dtu::svc::Selector sel;
  std::string why;
  if (!sel.parse(w.size() == 2 ? w[1] : "all", &why)) return fail("registry", escape_text(why));
  Json rows = Json::array();
  std::string text = "ID           name                              group             labels";
  for (const auto &[id, m] : svc_.registry().all()) {
    if (!sel.matches(dtu::text::id_text(id), &m)) continue;
    Json r = meta_reply(id, m);
    r.erase("note");
    r.erase("registered");
    rows.push_back(std::move(r));
    char row[192];
    std::snprintf(row, sizeof row, "\n%-11s  %-32s  %-16s  ", escape_bytes(id).c_str(),
                  m.name.empty() ? "-" : quoted_text(m.name).c_str(), m.group.empty() ? "-" : escape_bytes(m.group).c_str());
    text += row + (m.labels.empty() ? std::string("-") : labels_text(m));
  }
  const std::size_t n = rows.size();
  ok("registry", {{"terminals", rows}, {"shown", n}}, text + "\n" + std::to_string(n) + " registered shown");
}

std::string Console::summary() {
  const dtu::svc::Counters &c = svc_.counters();
  const std::int64_t now = now_ms();
  const double secs = last_summary_ms_ ? static_cast<double>(now - last_summary_ms_) / 1000.0 : 0;
  const double rate = secs > 0 ? static_cast<double>(c.datagrams_in - last_in_) / secs : 0;
  last_in_ = c.datagrams_in;
  last_summary_ms_ = now;
  std::uint64_t rejected = 0, refused = 0;
  for (const auto &kv : c.rejected) rejected += kv.second;
  for (const auto &kv : c.logons_refused) refused += kv.second;
  const dtu::svc::Health &h = svc_.health();
  if (json_) {
    Json j{{"time", utc_time(now)},       {"event", "summary"},          {"online", c.online},
           {"datagrams_in", c.datagrams_in}, {"in_per_s", static_cast<long long>(rate + 0.5)},
           {"data_in", c.in.data},         {"rejected", rejected},        {"idle_expiries", c.idle_expiries},
           {"param_timeouts", c.param_timeouts}, {"downlinks_queued", c.downlinks_queued},
           {"downlinks_dropped", c.downlinks_dropped}, {"logons_refused", refused},
           {"kernel_drops", c.kernel_drops}, {"health", h.summary()}};
    // The broker link and its buffer, when there is one.
    if (const dtu::svc::HealthRow *b = h.find("broker"))
      j["broker"] = b->state == dtu::svc::HealthState::kOk ? "connected" : b->reason;
    if (const dtu::svc::HealthRow *u = h.find("uplinks")) {
      j["uplinks_buffered"] = Json::parse(u->fields.value("buffered", nlohmann::json(0)).dump());
      j["uplinks_dropped"] = Json::parse(u->fields.value("dropped", nlohmann::json(0)).dump());
    }
    return dump(j);
  }
  char b[400];
  std::snprintf(b, sizeof b,
                "%s  summary  on line %d  datagrams in %llu (%.0f/s)  data %llu  rejected %llu  idle %llu  "
                "timeouts %llu  downlinks queued %llu dropped %llu  logons refused %llu  kernel drops %llu",
                local_time(now).c_str(), c.online, static_cast<unsigned long long>(c.datagrams_in), rate,
                static_cast<unsigned long long>(c.in.data), static_cast<unsigned long long>(rejected),
                static_cast<unsigned long long>(c.idle_expiries), static_cast<unsigned long long>(c.param_timeouts),
                static_cast<unsigned long long>(c.downlinks_queued),
                static_cast<unsigned long long>(c.downlinks_dropped), static_cast<unsigned long long>(refused),
                static_cast<unsigned long long>(c.kernel_drops));
  std::string line = b;
  if (const dtu::svc::HealthRow *r = h.find("broker"))
    line += std::string("  broker ") + (r->state == dtu::svc::HealthState::kOk ? "connected" : r->reason.c_str());
  if (const dtu::svc::HealthRow *u = h.find("uplinks"))
    line += "  uplinks buffered " + u->fields.value("buffered", nlohmann::json(0)).dump() + " dropped " +
            u->fields.value("dropped", nlohmann::json(0)).dump();
  return line + "  health " + h.summary();
}

}  // namespace centre
