// Downlinks: queued for terminals off line, written when they are heard,
// followed to the terminal's DataReply, expired or dropped.
#include <algorithm>

#include "core.h"

namespace dtu::svc {

void Service::Impl::log_downlink(const Downlink &d, const std::string &id, DownlinkState state,
                                 const std::string &reason, bool ended) {
  DownlinkInfo &info = downlink_log[d.handle];
  const std::int64_t now = now_ms();
  if (info.request == 0) {
    info.request = d.handle;
    info.id = id;
    info.length = d.bytes.size();
    info.created_ms = now;
  }
  info.state = state;
  info.reason = reason;
  info.updated_ms = now;
  if (journal) journal_downlink(d, id, state, ended);
  if (state == DownlinkState::kSent) ++info.sends;
  if (!ended) return;
  ended_downlinks.push_back(d.handle);
  while (ended_downlinks.size() > kEndedDownlinksKept) {
    downlink_log.erase(ended_downlinks.front());
    ended_downlinks.pop_front();
  }
}

bool Service::Impl::write_downlink(const std::string &id, const Downlink &d) {
  const int rc = do_send_user_data(id.c_str(), reinterpret_cast<const char *>(d.bytes.data()),
                                   static_cast<unsigned>(d.bytes.size()), 0);
  flush_outs();
  return rc == 0;
}

void Service::Impl::downlink_written(const std::string &id, Downlink d) {
  ++counters.downlinks_sent;
  log_downlink(d, id, DownlinkState::kSent, {}, !config.downlink_confirm);
  Event e = make(EventType::kDownlinkSent, id);
  auto it = terms.find(id);
  e.peer = it->second.pub.peer;
  e.request = d.handle;
  e.length = d.bytes.size();
  if (config.downlink_confirm) {
    TermState &s = it->second;
    s.awaiting = std::move(d);
    s.sends = 1;
    s.confirm_deadline = clock() + 1000ull * config.downlink_confirm_timeout;
    touched.push_back(id);
  }
  emit(e);
}

void Service::Impl::send_queued(const std::string &id) {
  auto it = terms.find(id);
  if (it == terms.end()) return;
  while (!it->second.downlinks.empty() && may_write(it->second)) {
    Downlink d = std::move(it->second.downlinks.front());
    it->second.downlinks.pop_front();
    it->second.pub.queued_downlinks = it->second.downlinks.size();
    touched.push_back(id);
    if (!write_downlink(id, d)) {
      // Not sent after all (taken off line meanwhile): back to the head.
      it->second.downlinks.push_front(std::move(d));
      it->second.pub.queued_downlinks = it->second.downlinks.size();
      return;
    }
    downlink_written(id, std::move(d));
  }
}

void Service::Impl::delivered(const std::string &id) {
  auto it = terms.find(id);
  if (it == terms.end() || !it->second.awaiting) return;
  Downlink d = std::move(*it->second.awaiting);
  it->second.awaiting.reset();
  touched.push_back(id);
  ++counters.downlinks_delivered;
  log_downlink(d, id, DownlinkState::kDelivered, {}, true);
  Event e = make(EventType::kDownlinkDelivered, id);
  e.peer = it->second.pub.peer;
  e.request = d.handle;
  e.length = d.bytes.size();
  emit(e);
}

void Service::Impl::end_awaiting(const std::string &id, const char *reason) {
  auto it = terms.find(id);
  if (it == terms.end() || !it->second.awaiting) return;
  Downlink d = std::move(*it->second.awaiting);
  it->second.awaiting.reset();
  touched.push_back(id);
  ++counters.downlinks_unconfirmed;
  log_downlink(d, id, DownlinkState::kUnconfirmed, reason, true);
  Event e = make(EventType::kDownlinkUnconfirmed, id);
  e.peer = it->second.pub.peer;
  e.request = d.handle;
  e.length = d.bytes.size();
  e.reason = reason;
  emit(e);
}

void Service::Impl::confirm_late(const std::string &id, std::uint64_t now) {
  auto it = terms.find(id);
  if (it == terms.end() || !it->second.awaiting || it->second.confirm_deadline > now) return;
  TermState &s = it->second;
  if (s.pub.online && s.sends <= config.downlink_retries && write_downlink(id, *s.awaiting)) {
    ++s.sends;
    s.confirm_deadline = now + 1000ull * config.downlink_confirm_timeout;
    ++counters.downlinks_resent;
    auto log = downlink_log.find(s.awaiting->handle);
    if (log != downlink_log.end()) ++log->second.sends;
    return;
  }
  end_awaiting(id, s.pub.online ? "no-reply" : "offline");
  send_queued(id);
}

void Service::Impl::downlink_gone(EventType type, const std::string &id, const Downlink &d, const char *reason) {
  Event e = make(type, id);
  e.request = d.handle;
  e.length = d.bytes.size();
  e.reason = reason;
  if (type == EventType::kDownlinkExpired) ++counters.downlinks_expired;
  else ++counters.downlinks_dropped;
  log_downlink(d, id, downlink_state_of(type), reason, true);
  touched.push_back(id);
  emit(e);
}

SendResult Service::send(std::string_view id_view, const void *data, std::size_t length, unsigned expiry_s) {
  Impl &m = *impl_;
  m.assert_loop_thread();
  Impl::Batch batch(m);
  SendResult r;
  const std::string id(id_view);
  if (id.empty() || id.size() > DTU_ID_LENGTH || id.find('\0') != std::string::npos) {
    r.reason = CommandResult::kBadId;
    return r;
  }
  if (length == 0 || data == nullptr) {
    r.reason = CommandResult::kEmpty;
    return r;
  }
  if (length > DTU_MAX_USER_DATA) {
    r.reason = CommandResult::kTooLarge;
    return r;
  }
  // One rule for every front end: only an ID the fleet state holds, or one
  // the allow-list names whole, gets a downlink; nothing is kept for the rest.
  auto it = m.terms.find(id);
  if (it == m.terms.end() && !addressable(id)) {
    r.reason = CommandResult::kUnknownId;
    return r;
  }
  r.handle = m.next_handle++;
  Downlink d;
  d.handle = r.handle;
  d.bytes.assign(static_cast<const std::uint8_t *>(data), static_cast<const std::uint8_t *>(data) + length);
  if (it != m.terms.end() && Impl::may_write(it->second) && it->second.downlinks.empty() && m.started &&
      !m.finished) {
    if (m.write_downlink(id, d)) {
      r.status = SendStatus::kSent;
      m.downlink_written(id, std::move(d));
      return r;
    }
  }
  const std::size_t waiting = it == m.terms.end() ? 0 : it->second.downlinks.size();
  if (waiting >= config_.downlink_queue) {
    r.status = SendStatus::kDropped;
    r.reason = CommandResult::kQueueFull;
    m.downlink_gone(EventType::kDownlinkDropped, id, d, result_name(r.reason));
    return r;
  }
  if (it == m.terms.end()) {
    it = m.terms.emplace(id, TermState{}).first;  // named by the allow-list: its messages wait for it
    it->second.pub.id = id;
  }
  d.expires = m.clock() + 1000ull * (expiry_s != 0 ? expiry_s : config_.downlink_expiry);
  m.log_downlink(d, id, DownlinkState::kQueued);
  m.touched.push_back(id);
  it->second.downlinks.push_back(std::move(d));
  it->second.pub.queued_downlinks = it->second.downlinks.size();
  ++m.counters.downlinks_queued;
  r.status = SendStatus::kQueued;
  Event e = m.make(EventType::kDownlinkQueued, id);
  e.request = r.handle;
  e.length = length;
  m.emit(e);
  return r;
}

bool Service::addressable(std::string_view id) const {
  impl_->assert_loop_thread();
  if (impl_->terms.count(std::string(id)) != 0 || impl_->registry.find(id) != nullptr) return true;
  return impl_->policy.allow != nullptr && impl_->allow.names_exactly(id);
}

std::optional<DownlinkInfo> Service::downlink(std::uint64_t request) const {
  impl_->assert_loop_thread();
  auto it = impl_->downlink_log.find(request);
  if (it == impl_->downlink_log.end()) return std::nullopt;
  return it->second;
}

}  // namespace dtu::svc
