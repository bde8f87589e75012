// The fleet: each terminal's state beside the library's table, the bounds
// on how many are kept, and the handling of each frame kind.
#include <algorithm>
#include <cstring>

#include "core.h"

namespace dtu::svc {

int Service::Impl::find_slot(std::string_view id, int hint, UserInfo *out) {
  UserInfo u;
  if (hint >= 0 && get_user_at(static_cast<unsigned>(hint), &u) == 0 && u.status == 1 &&
      same_id(u.userId, id)) {
    if (out) *out = u;
    return hint;
  }
  for (int i = 0; i < DTU_MAX_USERS; ++i)
    if (get_user_at(static_cast<unsigned>(i), &u) == 0 && u.status == 1 && same_id(u.userId, id)) {
      if (out) *out = u;
      return i;
    }
  return -1;
}

void Service::Impl::set_online(Terminal &t, bool online) {
  if (t.online == online) return;
  t.online = online;
  counters.online += online ? 1 : -1;
  if (!online) t.slot = -1;
  touched.push_back(t.id);
  fleet_row_changed(t.id);
}

void Service::Impl::settle(const std::string &id) {
  auto it = terms.find(id);
  if (it == terms.end()) return;
  TermState &s = it->second;
  if (under_way(s)) {
    if (s.in_resting) resting.erase({s.rest_key, id});
    s.in_resting = false;
    if (!s.in_active) active.insert(id);
    s.in_active = true;
  } else {
    if (s.in_active) active.erase(id);
    s.in_active = false;
    if (!s.in_resting) {
      s.rest_key = s.heard;
      resting.insert({s.rest_key, id});
    }
    s.in_resting = true;
  }
}

void Service::Impl::trim() {
  for (const std::string &id : touched) settle(id);
  touched.clear();
  const std::uint64_t now = clock();
  const std::uint64_t forget_ms = 1000ull * config.fleet_forget;
  while (!resting.empty()) {
    auto first = resting.begin();
    const bool crowded = terms.size() > config.fleet_max;
    const bool stale = config.fleet_forget > 0 && first->first + forget_ms <= now;
    if (!crowded && !stale) break;
    if (journal) {
      journal->forget_terminal(first->second);
      fleet_changed.erase(first->second);
      refused.erase(first->second);
    }
    terms.erase(first->second);
    resting.erase(first);
    ++counters.terminals_forgotten;
  }
  counters.terminals_known = terms.size();
}

void Service::Impl::reject(const char *reason, const Endpoint &src) {
  ++counters.rejected[reason];
  Event e = make(EventType::kRejected);
  e.reason = reason;
  e.peer = src;
  e.length = in.wire_length;
  e.data.assign(in.bytes.begin(), in.bytes.begin() + static_cast<long>(std::min(in.length, kRejectedBytes)));
  if (in.length >= 15 && record.userId[0] != '\0') e.id = record.userId;
  e.slot = -1;
  emit(e);
}

void Service::Impl::unregistered(const std::string &id) {
  ++counters.refused_logon_attempts;
  if (core_health.refused.first(id)) ++counters.logons_refused["unregistered"];
  unregistered_seen[id] = ms_of(in.when);
  if (unregistered_seen.size() > kUnregisteredKept) {
    auto oldest = unregistered_seen.begin();
    for (auto it = unregistered_seen.begin(); it != unregistered_seen.end(); ++it)
      if (it->second < oldest->second) oldest = it;
    unregistered_seen.erase(oldest);
  }
}

void Service::Impl::heard(TermState &s, std::uint64_t KindCounts::*kind) {
  Terminal &t = s.pub;
  ++t.datagrams_in;
  t.bytes_in += in.wire_length;
  ++(t.in.*kind);
  t.last_seen_ms = ms_of(in.when);
  if (t.first_seen_ms == 0) t.first_seen_ms = t.last_seen_ms;
  s.heard = clock();
  recent(t, in);
  fleet_row_changed(t.id);
}

void Service::Impl::follow(TermState &s, const Endpoint &src) {
  Terminal &t = s.pub;
  if (t.peer == src) return;
  Event e = make(EventType::kAddrChange, t.id);
  e.old_peer = t.peer;
  e.peer = src;
  t.peer = src;
  // The service's own handlers move a record to follow it (possibly to
  // another slot); the built-in ones keep the slot.
  const int slot = find_slot(t.id, t.slot, nullptr);
  if (slot >= 0) t.slot = slot;
  e.slot = t.slot;
  ++t.addr_changes;
  ++counters.addr_changes;
  emit(e);
}

TermState *Service::Impl::adopt(const std::string &id) {
  UserInfo u{};
  const int slot = find_slot(id, -1, &u);
  if (slot < 0) return nullptr;
  TermState &s = terms[id];
  s.pub.id = id;
  set_online(s.pub, true);
  s.pub.slot = slot;
  s.pub.peer = {u.peerAddr, u.peerPort};
  return &s;
}

void Service::Impl::dispatch(int rc) {
  const Endpoint src = in.far;
  const int code = in.code;
  if (in.wire_length > in.length) return reject("too-large", src);
  if (in.length < 16) return reject("short", src);
  if (rc < 0) {
    if (message[0] != '\0') return reject("bad-frame", src);
    return reject(code == kLogon ? "bad-logon" : code == kIdReport ? "bad-id-report" : "bad-frame", src);
  }
  if (policy.verdict != nullptr) {
    if (std::strcmp(policy.verdict, "unregistered") == 0) unregistered(record.userId);
    return reject(policy.verdict, src);
  }
  const std::string id = record.userId;
  auto it = terms.find(id);
  TermState *s = it == terms.end() ? nullptr : &it->second;
  const bool online = s != nullptr && s->pub.online;
  if (policy.logon_only && online && record.dataType != DTU_DATA_LOGON && s->pub.peer != src) {
    // Under logon-only nothing but a logon speaks for a terminal from
    // another address: no sign of life, no answer matched, no address
    // change.  (The library's handlers refuse the kinds they see; this
    // covers the ones they never see: IdReport, InvalidCmd, parameter
    // replies.)
    not_logged_on(id, src);
    return reject("address", src);
  }
  switch (record.dataType) {
    case DTU_DATA_LOGON: return on_logon(id, s, src);
    case DTU_DATA_LOGOUT: return on_logout(id, s);
    case DTU_DATA_USER: return on_user_data(id, s, src);
    case DTU_DATA_NOT_ONLINE: return on_not_online(id, s, src);
    case DTU_DATA_REPLY: return on_data_reply(id, s, src);
    case DTU_DATA_INVALID: return on_invalid(id, s, src);
    case DTU_DATA_PARAM_READ: return on_param_reply(id, s, src, true);
    case DTU_DATA_PARAM_SET: return on_param_reply(id, s, src, false);
    case DTU_DATA_ID_REPORT: return on_id_report(id, s, src);
    default: ++counters.in.other;
  }
}

void Service::Impl::on_logout(const std::string &id, TermState *s) {
  ++counters.in.logout;
  if (s == nullptr || !s->pub.online) return;
  heard(*s, &KindCounts::logout);
  Event e = make(EventType::kLogout, id);
  e.peer = s->pub.peer;
  e.slot = s->pub.slot;
  e.reason = "logout";
  set_online(s->pub, false);
  emit(e);
  end_awaiting(id, "offline");
}

void Service::Impl::on_user_data(const std::string &id, TermState *s, const Endpoint &src) {
  ++counters.in.data;
  if ((s == nullptr || !s->pub.online) && (s = adopt(id)) == nullptr) return;
  heard(*s, &KindCounts::data);
  if (!policy.logon_only) follow(*s, src);
  Event e = make(EventType::kData, id);
  e.peer = src;
  e.slot = s->pub.slot;
  e.data.assign(record.data, record.data + record.dataLength);
  e.length = record.dataLength;
  emit(e);
  send_queued(id);
}

// User data from a terminal the table does not hold: answered NotLoggedOn
// by the library.
void Service::Impl::on_not_online(const std::string &id, TermState *s, const Endpoint &src) {
  ++counters.in.data;
  if (s != nullptr) s->pub.last_seen_ms = ms_of(in.when);
  Event e = make(EventType::kNotLoggedOn, id);
  e.peer = src;
  emit(e);
}

void Service::Impl::on_data_reply(const std::string &id, TermState *s, const Endpoint &src) {
  ++counters.in.data_reply;
  const bool online = s != nullptr && s->pub.online;
  if (online) {
    heard(*s, &KindCounts::data_reply);
    if (!policy.logon_only) follow(*s, src);
  }
  Event e = make(EventType::kDataReply, id);
  e.peer = src;
  e.slot = online ? s->pub.slot : -1;
  emit(e);
  if (!online) return;
  delivered(id);
  send_queued(id);
}

void Service::Impl::on_invalid(const std::string &id, TermState *s, const Endpoint &src) {
  const bool report = in.code == kInvalidCmd;  // the terminal's own report; anything else is an unknown code
  ++(report ? counters.in.invalid : counters.in.other);
  const bool online = s != nullptr && s->pub.online;
  if (online) {
    heard(*s, report ? &KindCounts::invalid : &KindCounts::other);
    if (!report && !policy.logon_only) follow(*s, src);
  }
  Event e = make(EventType::kInvalidFrame, id);
  e.peer = src;
  e.slot = online ? s->pub.slot : -1;
  e.data.assign(in.bytes.begin(), in.bytes.begin() + static_cast<long>(std::min(in.length, kRejectedBytes)));
  e.length = in.wire_length;
  emit(e);
  if (online) send_queued(id);
}

// A ParamReadReply or ParamSetReply: it answers the request of that kind
// on the wire, if there is one.
void Service::Impl::on_param_reply(const std::string &id, TermState *s, const Endpoint &src, bool read) {
  ++(read ? counters.in.param_read : counters.in.param_set);
  const bool online = s != nullptr && s->pub.online;
  std::vector<ParamValue> values;
  if (read) values = reply_values();
  if (online) heard(*s, read ? &KindCounts::param_read : &KindCounts::param_set);
  Request req;
  bool matched = false;
  if (s != nullptr) {
    auto &q = read ? s->reads : s->writes;
    if (!q.empty() && q.front().deadline != 0) {
      req = std::move(q.front());
      q.pop_front();
      matched = true;
    }
  }
  Event e = make(read ? EventType::kParamRead : EventType::kParamSet, id);
  e.peer = src;
  e.slot = online ? s->pub.slot : -1;
  e.request = matched ? req.handle : 0;
  e.params = values;
  emit(e);
  if (matched) journal_request_ended(req.handle);
  if (matched && req.done) {
    ParamResult r;
    r.request = req.handle;
    r.id = id;
    r.ok = true;
    r.values = std::move(values);
    defer(std::move(req.done), std::move(r));
  }
  if (matched) start_next(id, read);
  if (online) send_queued(id);
}

void Service::Impl::on_id_report(const std::string &id, TermState *s, const Endpoint &src) {
  ++counters.in.id_report;
  const bool online = s != nullptr && s->pub.online;
  if (online) heard(*s, &KindCounts::id_report);
  Event e = make(EventType::kIdReport, id);
  e.peer = src;
  e.slot = online ? s->pub.slot : -1;
  emit(e);
  if (online) send_queued(id);
}

void Service::Impl::on_logon(const std::string &id, TermState *s, const Endpoint &src) {
  ++counters.in.logon;
  UserInfo u{};
  const int slot = find_slot(id, s ? s->pub.slot : -1, &u);
  if (slot < 0) {
    // The table is full: no record, no answer.  Reported once per
    // terminal; its retries are only counted.
    ++counters.refused_logon_attempts;
    if (!core_health.refused.first(id)) return;
    ++counters.logons_refused["table-full"];
    Event e = make(EventType::kLogonRefused, id);
    e.peer = src;
    e.reported = {get_be32(15), static_cast<std::uint16_t>(in.length > 20 ? in.bytes[19] << 8 | in.bytes[20] : 0)};
    e.reason = "table-full";
    return emit(e);
  }
  core_health.refused.forget(id);
  if (s == nullptr) {
    s = &terms[id];
    s->pub.id = id;
  }
  Terminal &t = s->pub;
  const bool was_online = t.online;
  if (was_online && t.peer != src) {
    Event d = make(EventType::kDuplicateLogon, id);
    d.old_peer = t.peer;
    d.peer = src;
    d.slot = slot;
    ++t.duplicate_logons;
    ++counters.duplicate_logons;
    emit(d);
  }
  heard(*s, &KindCounts::logon);
  set_online(t, true);
  t.slot = slot;
  t.peer = src;
  t.reported = {u.reportedAddr, u.reportedPort};
  if (!was_online) t.logon_time_ms = t.last_seen_ms;
  Event e = make(EventType::kLogon, id);
  e.peer = src;
  e.reported = t.reported;
  e.slot = slot;
  emit(e);
  send_queued(id);
}

void Service::Impl::not_logged_on(const std::string &id, const Endpoint &to) {
  UserInfo u{};
  std::memcpy(u.userId, id.data(), std::min<std::size_t>(id.size(), DTU_ID_LENGTH));
  send_cmd(to.addr, to.port, &u, kSendNotLoggedOn);
}

std::vector<ParamValue> Service::Impl::reply_values() {
  std::vector<ParamValue> out;
  const std::size_t frame_len = std::min<std::size_t>(in.length, static_cast<std::size_t>(in.bytes[2]) << 8 | in.bytes[3]);
  if (frame_len < 16) return out;
  const std::size_t end_mark = frame_len - 1;
  std::size_t pos = 15;
  std::vector<int> tags;
  for (int n = 0; n < 35 && pos < end_mark; ++n) {
    const int tag = in.bytes[pos];
    const std::size_t elen = in.bytes[pos + 1];
    if (tag >= 128 || elen < 2 || elen >= 128 || pos + elen > end_mark) break;
    if (!reply_value_ok(tag, elen - 2)) break;
    if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(tag);
    pos += elen;
  }
  for (int tag : tags) {
    std::uint8_t buf[256];
    int len = static_cast<int>(sizeof buf);
    ParamValue v;
    if (GetParam(tag, buf, &len) == 1 && param_from_library(tag, buf, len, &v)) out.push_back(std::move(v));
  }
  return out;
}

}  // namespace dtu::svc
