// The core's loop: events handed to the sinks once each operation is over,
// the once-a-second tick, and work posted from other threads.
#include <algorithm>
#include <cstring>

#include "core.h"

namespace dtu::svc {

void Service::Impl::emit(Event &e) {
  if (e.time_ms == 0) e.time_ms = now_ms();
  if (sinks.empty() && !journal) return;
  pending.push_back(Pending{std::move(e), {}, {}});
}

void Service::Impl::defer(ParamCallback done, ParamResult r) {
  if (done) pending.push_back(Pending{Event{}, std::move(done), std::move(r)});
}

void Service::Impl::deliver() {
  if (delivering) return;
  delivering = true;
  while (!pending.empty()) {
    Pending p = std::move(pending.front());
    pending.pop_front();
    if (p.done) {
      p.done(p.result);
    } else {
      if (journal) journal_event(p.event);
      for (auto &sink : sinks) sink(p.event);
    }
  }
  delivering = false;
}

void Service::Impl::set_health(HealthRow row) {
  const std::int64_t now = now_ms();
  Event e = make(EventType::kHealth);
  e.time_ms = now;
  e.check = row.name;
  e.state = health_state_name(row.state);
  e.reason = row.state == HealthState::kOk ? "ok" : row.reason;
  e.text = row.detail;
  // A part that comes up healthy is no news; every later change is.
  const bool known = health.find(row.name) != nullptr;
  if (health.set(std::move(row), now) && (known || e.state != "ok")) emit(e);
}

void Service::Impl::error_event(const std::string &text, std::string_view id, std::uint64_t request,
                                const char *reason) {
  Event e = make(EventType::kError, id);
  e.text = text;
  e.request = request;
  e.reason = reason;
  emit(e);
}

void Service::Impl::on_tick() {
  {
    Batch batch(*this);
    tick_work();
  }
  trim();
}

void Service::Impl::tick_work() {
  for (HealthRow &r : core_health.tick(now_ms(), bound, port, get_max_user_amount(), &counters))
    set_health(std::move(r));
  const std::uint64_t now = clock();
  pcap.resume();  // after a failed write (a full disk), once a second
  journal_tick();
  std::vector<std::string> idle, late_reads, late_writes, expired, late_confirms;
  trim();  // `active` up to date
  for (const std::string &id : active) {
    const TermState &s = terms.find(id)->second;
    if (config.idle_timeout > 0 && s.pub.online && now - s.heard >= 1000ull * config.idle_timeout)
      idle.push_back(id);
    if (!s.reads.empty() && s.reads.front().deadline != 0 && s.reads.front().deadline <= now)
      late_reads.push_back(id);
    if (!s.writes.empty() && s.writes.front().deadline != 0 && s.writes.front().deadline <= now)
      late_writes.push_back(id);
    if (!s.downlinks.empty()) expired.push_back(id);
    if (s.awaiting && s.confirm_deadline <= now) late_confirms.push_back(id);
  }
  for (const std::string &id : idle) {
    auto it = terms.find(id);
    if (it == terms.end() || !it->second.pub.online) continue;
    Terminal &t = it->second.pub;
    Event e = make(EventType::kIdle, id);
    e.peer = t.peer;
    e.slot = t.slot;
    e.reason = "idle";
    do_close_one_user(id.c_str(), nullptr);  // -1 when the table had already let it go
    flush_outs();
    set_online(t, false);
    ++counters.idle_expiries;
    emit(e);
    end_awaiting(id, "offline");
  }
  for (const std::string &id : late_confirms) confirm_late(id, now);
  for (int pass = 0; pass < 2; ++pass)
    for (const std::string &id : pass == 0 ? late_reads : late_writes) {
      auto it = terms.find(id);
      if (it == terms.end()) continue;
      auto &q = pass == 0 ? it->second.reads : it->second.writes;
      if (q.empty() || q.front().deadline == 0 || q.front().deadline > now) continue;
      Request req = std::move(q.front());
      q.pop_front();
      finish(id, req, pass == 0, CommandResult::kTimeout);
      start_next(id, pass == 0);
    }
  for (const std::string &id : expired) {
    auto it = terms.find(id);
    if (it == terms.end()) continue;
    auto &q = it->second.downlinks;
    for (auto d = q.begin(); d != q.end();) {
      if (d->expires > now) {
        ++d;
        continue;
      }
      Downlink gone = std::move(*d);
      d = q.erase(d);
      it->second.pub.queued_downlinks = q.size();
      downlink_gone(EventType::kDownlinkExpired, id, gone, "expired");
    }
  }
}

void Service::Impl::run_posted() {
  std::vector<std::function<void(Service &)>> work;
  {
    std::lock_guard<std::mutex> g(post_mutex);
    work.swap(posted);
  }
  for (auto &fn : work) fn(*self);
  trim();
  if (stop_requested.load()) uv_stop(&loop);
}

// At a stop: every downlink awaiting its reply is unconfirmed, every queued
// one dropped and every request ended, terminal by terminal in ID order.
// With a journal the downlinks stay in it, for the next start.
void Service::Impl::end_all_at_stop() {
  std::vector<std::string> ids;
  for (auto &kv : terms) ids.push_back(kv.first);
  std::sort(ids.begin(), ids.end());
  for (const std::string &id : ids) {
    auto it = terms.find(id);
    if (!journal) end_awaiting(id, "centre-stopped");
    while (!journal && !it->second.downlinks.empty()) {
      Downlink d = std::move(it->second.downlinks.front());
      it->second.downlinks.pop_front();
      it->second.pub.queued_downlinks = it->second.downlinks.size();
      downlink_gone(EventType::kDownlinkDropped, id, d, "centre-stopped");
    }
    for (int read = 1; read >= 0; --read) {
      auto &q = read ? it->second.reads : it->second.writes;
      while (!q.empty()) {
        Request req = std::move(q.front());
        q.pop_front();
        finish(id, req, read != 0, CommandResult::kStopped);
      }
    }
  }
}

int Service::run() {
  Impl &m = *impl_;
  if (!m.started) {
    std::string why;
    if (!start(&why)) {
      Impl::Batch batch(m);
      Event e = m.make(EventType::kError);
      e.text = why;
      e.reason = "start";
      m.emit(e);
      return 1;
    }
  }
  if (m.finished) return 0;
  m.loop_thread = std::this_thread::get_id();
  m.poll.data = &m;
  uv_poll_init(&m.loop, &m.poll, dtu_notifier_fd(m.notifier));
  m.poll_open = true;
  uv_poll_start(&m.poll, UV_READABLE, [](uv_poll_t *p, int, int) { static_cast<Impl *>(p->data)->on_readable(); });
  m.check.data = &m;
  uv_check_init(&m.loop, &m.check);
  uv_check_start(&m.check, [](uv_check_t *c) {
    auto *impl = static_cast<Impl *>(c->data);
    Impl::Batch batch(*impl);
    std::string why;
    if (!impl->pcap.flush(&why) && !why.empty()) impl->error_event(why);
    const std::string notice = impl->pcap.take_notice();
    if (!notice.empty()) impl->error_event(notice, {}, 0, "resumed");
  });
  m.tick.data = &m;
  uv_timer_init(&m.loop, &m.tick);
  m.tick_open = true;
  uv_timer_start(&m.tick, [](uv_timer_t *t) { static_cast<Impl *>(t->data)->on_tick(); }, 1000, 1000);

  if (!m.stop_requested.load()) uv_run(&m.loop, UV_RUN_DEFAULT);

  // Work posted before the stop still runs; later work is dropped (and
  // destroyed now, so that a thread waiting on what it would have done hears
  // at once that it never will).
  m.run_posted();
  std::vector<std::function<void(Service &)>> late;
  {
    std::lock_guard<std::mutex> g(m.post_mutex);
    m.accepting = false;
    late.swap(m.posted);
  }
  late.clear();
  uv_poll_stop(&m.poll);
  uv_close(reinterpret_cast<uv_handle_t *>(&m.poll), nullptr);
  uv_close(reinterpret_cast<uv_handle_t *>(&m.tick), nullptr);
  uv_close(reinterpret_cast<uv_handle_t *>(&m.check), nullptr);
  for (EveryTimer *t : m.timers) uv_close(reinterpret_cast<uv_handle_t *>(&t->timer), nullptr);

  Impl::Batch batch(m);
  m.journal_stop();
  m.end_all_at_stop();

  char text[256] = {};
  stop_gprs_server(text);
  m.flush_outs();
  dtu_set_datagram_tap(nullptr, nullptr);
  policy_detach();
  m.finished = true;
  for (auto &kv : m.terms) m.set_online(kv.second.pub, false);
  uv_run(&m.loop, UV_RUN_NOWAIT);  // the closes
  dtu_notifier_destroy(m.notifier);
  m.notifier = nullptr;
  m.pcap.close();
  Event e = m.make(EventType::kStop);
  e.text = library_text(text);
  m.emit(e);
  return 0;
}

void Service::stop() {
  impl_->stop_requested.store(true);
  uv_async_send(&impl_->async);
}

void Service::post(std::function<void(Service &)> fn) {
  {
    std::lock_guard<std::mutex> g(impl_->post_mutex);
    if (!impl_->accepting) return;
    impl_->posted.push_back(std::move(fn));
  }
  uv_async_send(&impl_->async);
}

void Service::every(unsigned ms, std::function<void(Service &)> fn) {
  auto *t = new EveryTimer;
  t->impl = impl_.get();
  t->fn = std::move(fn);
  t->timer.data = t;
  uv_timer_init(&impl_->loop, &t->timer);
  uv_timer_start(
      &t->timer, [](uv_timer_t *h) {
        auto *self = static_cast<EveryTimer *>(h->data);
        self->fn(*self->impl->self);
      },
      ms, ms);
  impl_->timers.push_back(t);
}

}  // namespace dtu::svc
