// The wire: what the library's datagram tap reports, counted, captured and
// traced, and the reading of datagrams off the socket.
#include <algorithm>
#include <cstring>

#include "core.h"

namespace dtu::svc {

// `code` as the datagram tap gave it (DTU_WIRE_NO_CODE: no valid head).
const char *kind_name(int code) {
  switch (code) {
    case kLogon: return "logon";
    case kLogout: return "logout";
    case kInvalidCmd: return "invalid_cmd";
    case kDataReply: return "data_reply";
    case kUserData: return "user_data";
    case kParamReadReply: return "param_read_reply";
    case kParamSetReply: return "param_set_reply";
    case kIdReport: return "id_report";
    case kLogonAck: return "logon_ack";
    case kLogoutCmd: return "logout_cmd";
    case kNotLoggedOnCmd: return "not_logged_on";
    case kInvalidCmdReply: return "invalid_cmd_reply";
    case kDataAck: return "data_ack";
    case kUserDataDown: return "user_data_down";
    case kParamRead: return "param_read";
    case kParamSet: return "param_set";
    default: return "unknown";
  }
}

void DTU_CALL Service::Impl::tap(void *context, const DtuDatagram *d) {
  auto *self = static_cast<Impl *>(context);
  const int direction = d->direction, length = d->length, wire_length = d->wireLength;
  TapRecord *r;
  if (direction == DTU_WIRE_IN) {
    r = &self->in;
    self->in_valid = true;
  } else {
    if (self->outs_used == self->outs.size()) self->outs.emplace_back();
    r = &self->outs[self->outs_used++];
  }
  r->inbound = direction == DTU_WIRE_IN;
  r->far = {d->addr, static_cast<std::uint16_t>(d->port)};
  r->code = d->code;
  std::memcpy(r->id, d->terminalId, sizeof r->id);
  r->length = length < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), r->bytes.size());
  r->wire_length = wire_length < 0 ? r->length : static_cast<std::size_t>(wire_length);
  std::memcpy(r->bytes.data(), d->bytes, r->length);
  gettimeofday(&r->when, nullptr);
}

void Service::Impl::wire(const TapRecord &r) {
  if (r.inbound) {
    ++counters.datagrams_in;
    counters.bytes_in += r.wire_length;
  } else {
    ++counters.datagrams_out;
    counters.bytes_out += r.wire_length;
  }
  if (pcap.is_open()) {
    std::uint32_t local = bound != 0 ? bound : (r.far.addr >> 24) == 127 ? 0x7F000001 : pcap_local;
    std::string why;
    const bool ok = r.inbound ? pcap.write(r.when, r.far.addr, r.far.port, local, port, r.bytes.data(),
                                           r.length, r.wire_length, &why)
                              : pcap.write(r.when, local, port, r.far.addr, r.far.port, r.bytes.data(),
                                           r.length, r.wire_length, &why);
    if (!ok && !why.empty()) error_event(why);
  }
  if (config.trace) {
    Event e = make(EventType::kWire);
    e.time_ms = ms_of(r.when);
    e.peer = r.far;
    e.inbound = r.inbound;
    e.length = r.wire_length;
    e.data.assign(r.bytes.begin(), r.bytes.begin() + static_cast<long>(r.length));
    e.text = kind_name(r.code);
    e.id = r.id;
    emit(e);
  }
}

void Service::Impl::recent(Terminal &t, const TapRecord &r) {
  if (config.recent_frames == 0) return;
  RecentFrame f;
  if (t.recent.size() >= config.recent_frames) {
    f = std::move(t.recent.front());  // keep its buffer
    t.recent.pop_front();
  }
  f.time_ms = ms_of(r.when);
  f.inbound = r.inbound;
  f.kind = kind_name(r.code);
  f.bytes.assign(r.bytes.begin(), r.bytes.begin() + static_cast<long>(r.length));
  t.recent.push_back(std::move(f));
}

void Service::Impl::flush_outs() {
  for (std::size_t i = 0; i < outs_used; ++i) {
    const TapRecord &r = outs[i];
    const int code = r.code;
    OutCounts *per = nullptr;
    {
      auto it = terms.find(r.id);
      if (it != terms.end()) {
        Terminal &t = it->second.pub;
        ++t.datagrams_out;
        t.bytes_out += r.wire_length;
        per = &t.out;
        recent(t, r);
        fleet_row_changed(t.id);
      }
    }
    auto count = [&](std::uint64_t OutCounts::*field) {
      ++(counters.out.*field);
      if (per) ++(per->*field);
    };
    switch (code) {
      case kUserDataDown: count(&OutCounts::downlinks); break;
      case kLogoutCmd: count(&OutCounts::commands); break;
      case kParamRead:
      case kParamSet: count(&OutCounts::params); break;
      default: count(&OutCounts::acks); break;
    }
    wire(outs[i]);
  }
  outs_used = 0;
}

void Service::Impl::on_readable() {
  for (int i = 0; i < kReadsPerWakeup && !stop_requested.load(std::memory_order_relaxed); ++i)
    if (!read_one()) break;
}

bool Service::Impl::read_one() {
  {
    Batch batch(*this);
    if (!read_dispatch()) return false;
  }
  trim();
  return true;
}

bool Service::Impl::read_dispatch() {
  in_valid = false;
  policy.verdict = nullptr;
  message[0] = '\0';
  const int rc = do_read_proc(&record, message, ack ? 1 : 0);
  if (!in_valid) {
    // A receive error without a datagram: the socket is empty, or an
    // ICMP report of an earlier send came back (counted, and go on).
    const int code = dtu_last_error();
    flush_outs();
    if (code == EAGAIN || code == EWOULDBLOCK) return false;
    ++counters.receive_errors;
    return code != 0;
  }
  wire(in);
  dispatch(rc);
  flush_outs();
  return true;
}

}  // namespace dtu::svc
