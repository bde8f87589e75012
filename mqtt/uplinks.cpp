#include "uplinks.h"

#include <mqtt_protocol.h>

#include "journal.h"

namespace dtu::mqtt {

int Uplinks::send(const std::string &id, const svc::Endpoint &peer, std::int64_t time_ms, const std::uint8_t *data,
                  std::size_t n, std::uint64_t seq) {
  mosquitto_property *props = nullptr;
  mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "centre", core_.centre.c_str());
  mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "peer", svc::to_string(peer).c_str());
  mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "time", iso_time(time_ms).c_str());
  // The journal's record: the same uplink published again after a restart
  // carries the same seq.
  if (seq != 0)
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "seq", std::to_string(seq).c_str());
  const int mid = core_.publish(core_.topic(id, "up"), data, n, 1, false, props);
  if (mid >= 0) ++core_.stats.published;
  return mid;
}

void Uplinks::publish(const std::string &id, const svc::Endpoint &peer, std::int64_t time_ms,
                      const std::uint8_t *data, std::size_t n, bool track) {
  const int mid = send(id, peer, time_ms, data, n);
  if (mid < 0) {
    ++core_.stats.unsent;
    return;
  }
  pending_[mid] = Pending{id, peer, track};
}

JournalFeed *Uplinks::feed() {
  if (!feed_checked_) {
    feed_checked_ = true;
    if (svc::Journal *j = core_.svc->journal()) {
      JournalFeed::Hooks hooks;
      hooks.publish = [this](const svc::Event &e) {
        return send(e.id, e.peer, e.time_ms, e.data.data(), e.data.size(), e.seq);
      };
      hooks.acknowledge = [this](const svc::Event &e) {
        if (core_.svc->ack_data(e.id, e.peer)) ++core_.stats.acked;
      };
      feed_ = std::make_unique<JournalFeed>(*j, "mqtt", core_.opt.ack_after_broker, std::move(hooks));
    }
  }
  return feed_.get();
}

void Uplinks::seen(const svc::Event &e) {
  if (JournalFeed *f = feed()) f->seen(e);
}

// Uplinks go out in the order they came, so that the DataAcks do too (a
// terminal matches an acknowledgement to its oldest frame waiting): while
// the broker is away they wait in a bounded buffer, and in the default
// mode their DataAcks wait with them.  With a journal the feed has them.
void Uplinks::on_data(const svc::Event &e) {
  if (JournalFeed *f = feed()) {
    if (f->caught_up()) f->pump(core_.connected);  // a page is read on the next tick, not per event
    return;
  }
  if (core_.connected && buffer_.empty())
    return publish(e.id, e.peer, e.time_ms, e.data.data(), e.data.size(), core_.opt.ack_after_broker);
  if (buffer_.size() >= core_.opt.buffer) {
    ++core_.stats.buffered_dropped;
    if (buffer_.empty()) return;  // mqtt_buffer 0 keeps nothing
    buffer_.pop_front();
  }
  buffer_.push_back(Buffered{e.id, e.peer, e.time_ms, e.data});
}

void Uplinks::flush() {
  if (JournalFeed *f = feed()) return f->pump(core_.connected);
  while (core_.connected && !buffer_.empty()) {
    const Buffered &b = buffer_.front();
    publish(b.id, b.peer, b.time_ms, b.data.data(), b.data.size(), core_.opt.ack_after_broker);
    buffer_.pop_front();
  }
}

void Uplinks::tick() {
  JournalFeed *f = feed();
  if (f && !f->caught_up()) f->pump(core_.connected);
}

void Uplinks::acked(const std::vector<std::pair<int, int>> &batch) {
  // A broker that refused the message (reason 0x80 and up) gets no
  // acknowledgement passed on: the terminal sends it again.
  if (JournalFeed *f = feed()) {
    for (const auto &[mid, reason] : batch) f->acked(mid, reason < 0x80);
    f->pump(core_.connected);
    f->save();
    return;
  }
  for (const auto &[mid, reason] : batch) {
    auto it = pending_.find(mid);
    if (it == pending_.end()) continue;
    if (reason < 0x80 && it->second.ack && core_.svc->ack_data(it->second.id, it->second.peer)) ++core_.stats.acked;
    pending_.erase(it);
  }
}

// "uplinks" from the journal: nothing is dropped while the broker is away,
// the gateway only falls behind; the row says how far.
void Uplinks::report_journal(svc::HealthRow &r) {
  JournalFeed &f = *feed_;
  f.save();
  const JournalFeed::Lag lag = f.lag(now_ms());
  r.fields = {{"cursor", f.cursor()},
              {"lag_records", lag.records},
              {"lag_seconds", lag.seconds},
              {"in_flight", f.in_flight()},
              {"buffered", f.queued()},
              {"published", core_.stats.published},
              {"acked", core_.stats.acked},
              {"refused", f.refused()},
              {"dropped", f.unjournaled_dropped()}};
}

// "uplinks": the buffer of uplinks waiting for the broker, degraded while
// it is full (the oldest are being dropped).
void Uplinks::report() {
  svc::HealthRow r;
  r.name = "uplinks";
  if (feed()) {
    report_journal(r);
    return core_.svc->set_health(std::move(r));
  }
  const auto &stats = core_.stats;
  r.fields = {{"buffered", buffer_.size()},  {"buffer_size", core_.opt.buffer}, {"dropped", stats.buffered_dropped},
              {"unsent", stats.unsent},      {"published", stats.published},   {"acked", stats.acked}};
  if (!core_.connected && buffer_.size() >= core_.opt.buffer) {
    r.state = svc::HealthState::kDegraded;
    r.reason = "buffer-full";
    r.detail = "the uplink buffer is full while the broker is away: the oldest uplinks are dropped";
  }
  core_.svc->set_health(std::move(r));
}

Uplinks::Dropped Uplinks::drop(const std::vector<int> &late) {
  if (feed_) {
    const JournalFeed::Left left = feed_->stop(late);
    return Dropped{left.lost, 0, left.kept};
  }
  for (int mid : late) pending_.erase(mid);
  const Dropped d{buffer_.size(), pending_.size(), 0};
  buffer_.clear();
  pending_.clear();
  return d;
}

}  // namespace dtu::mqtt
