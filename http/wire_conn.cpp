// A connection's life on the loop: accepted (within the caps per client and
// in all), its one timer for every deadline, the hand-over to the handler
// threads, answers given later, and the stop.
#include "wire_impl.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace dtu::http::wire {
namespace {

std::string seconds(std::chrono::milliseconds ms) {
  return std::to_string((ms.count() + 999) / 1000) + " s";
}

}  // namespace

void Impl::arm(Conn *c, std::chrono::milliseconds ms, bool repeat) {
  const auto after = static_cast<std::uint64_t>(ms.count());
  uv_timer_start(&c->timer, [](uv_timer_t *t) { on_timer(static_cast<Conn *>(t->data)); }, after, repeat ? after : 0);
}

void Impl::on_timer(Conn *c) {
  Impl *s = c->srv;
  switch (c->st) {
    case Conn::St::kRead:
      if (!c->begun) return s->close(c);  // a kept-alive connection with nothing to ask
      return s->local_answer(c, 408,
                             c->headers_done ? "the body did not arrive within " + seconds(s->limits.body_time)
                                             : "the request line and headers did not arrive within " +
                                                   seconds(s->limits.header_time));
    case Conn::St::kBusy:
      if (c->later) s->later_timeout(c);
      return;
    case Conn::St::kWrite: return s->close(c);  // the client does not take its answer
    case Conn::St::kStream: return s->stream_tick(c);
    case Conn::St::kLinger: return s->close(c);
    case Conn::St::kClosed: return;
  }
}

void Impl::on_connection() {
  auto *c = new Conn;
  c->srv = this;
  c->id = next_id++;
  uv_tcp_init(&loop, &c->tcp);
  uv_timer_init(&loop, &c->timer);
  c->tcp.data = c->timer.data = c;
  conns[c->id] = c;
  if (uv_accept(reinterpret_cast<uv_stream_t *>(&listener), reinterpret_cast<uv_stream_t *>(&c->tcp)) != 0)
    return close(c);
  uv_tcp_nodelay(&c->tcp, 1);
  sockaddr_storage ss{};
  int len = sizeof ss;
  char ip[INET6_ADDRSTRLEN] = "?";
  if (uv_tcp_getpeername(&c->tcp, reinterpret_cast<sockaddr *>(&ss), &len) == 0) {
    if (ss.ss_family == AF_INET)
      uv_ip4_name(reinterpret_cast<const sockaddr_in *>(&ss), ip, sizeof ip);
    else if (ss.ss_family == AF_INET6)
      uv_ip6_name(reinterpret_cast<const sockaddr_in6 *>(&ss), ip, sizeof ip);
  }
  c->peer = ip;
  http_parser_init(&c->parser, HTTP_REQUEST);
  c->parser.data = c;
  if (stopping) return close(c);
  start_reading(c);
  const bool over_all = conns.size() > limits.max_connections;
  auto held = per_peer.find(c->peer);
  const bool over_peer = limits.per_client != 0 && held != per_peer.end() && held->second >= limits.per_client;
  if (over_all || over_peer) {
    c->req = std::make_shared<Request>();
    c->req->remote_addr = c->peer;
    return local_answer(c, 503, over_peer ? "too many connections from " + c->peer + " (at most " +
                                                std::to_string(limits.per_client) + ")"
                                          : "too many connections");
  }
  ++per_peer[c->peer];
  c->counted = true;
  arm(c, limits.idle_time);
}

void Impl::start_reading(Conn *c) {
  if (c->reading) return;
  c->reading = true;
  uv_read_start(
      reinterpret_cast<uv_stream_t *>(&c->tcp),
      [](uv_handle_t *h, std::size_t, uv_buf_t *buf) {
        // One buffer for the loop: each read is handled before the next.
        Impl *s = static_cast<Conn *>(h->data)->srv;
        buf->base = s->read_buffer;
        buf->len = sizeof s->read_buffer;
      },
      [](uv_stream_t *st, ssize_t n, const uv_buf_t *buf) {
        Conn *conn = static_cast<Conn *>(st->data);
        if (n > 0) conn->srv->on_bytes(conn, buf->base, static_cast<std::size_t>(n));
        if (n < 0) conn->srv->close(conn);  // the client closed or the connection broke: it is gone
      });
}

void Impl::close(Conn *c) {
  if (c->st == Conn::St::kClosed) return;
  c->st = Conn::St::kClosed;
  if (c->counted && --per_peer[c->peer] == 0) per_peer.erase(c->peer);
  c->counted = false;
  conns.erase(c->id);
  if (auto later = std::move(c->later)) later_gone(*later);
  if (auto feed = std::move(c->feed))
    if (feed->hooks_.closed) feed->hooks_.closed();
  uv_timer_stop(&c->timer);
  auto done = [](uv_handle_t *h) {
    Conn *conn = static_cast<Conn *>(h->data);
    if (--conn->handles == 0) delete conn;
  };
  uv_close(reinterpret_cast<uv_handle_t *>(&c->tcp), done);
  uv_close(reinterpret_cast<uv_handle_t *>(&c->timer), done);
  if (stopping && conns.empty()) finish_stop();
}

void Impl::dispatch(Conn *c) {
  c->st = Conn::St::kBusy;
  uv_timer_stop(&c->timer);
  std::shared_ptr<Request> req = c->req;
  const std::uint64_t id = c->id;
  pool->enqueue([this, id, req] {
    auto res = std::make_shared<Response>();
    handle(*req, *res);
    post([this, id, req, res] { handled(id, *req, *res); });
  });
}

void Impl::handle(Request &req, Response &res) {
  try {
    if (!pre || pre(req, res) == Server::HandlerResponse::Unhandled) {
      const std::string method = req.method == "HEAD" ? "GET" : req.method;
      bool found = false;
      for (const Route &r : routes) {
        if (r.method != method || !std::regex_match(req.path, req.matches, r.pattern)) continue;
        r.fn(req, res);
        found = true;
        break;
      }
      if (!found) res.status = 404;
    }
  } catch (...) {
    res = Response{};
    res.status = 500;
    if (exception) exception(req, res, std::current_exception());
  }
  if (!res.later_ && !res.feed_ && res.status >= 400 && res.body.empty() && error) error(req, res);
}

void Impl::handled(std::uint64_t id, const Request &req, Response &res) {
  auto it = conns.find(id);
  if (it == conns.end() || it->second->st != Conn::St::kBusy) {
    // The client left while its handler ran.
    if (res.later_) later_gone(*res.later_);
    if (res.feed_ && res.feed_->hooks_.closed) res.feed_->hooks_.closed();
    return;
  }
  Conn *c = it->second;
  if (res.later_) return wait_later(c, res.later_);
  if (res.feed_) return start_stream(c, req, res);
  write_answer(c, req, res);
}

void Impl::wait_later(Conn *c, std::shared_ptr<Later> later) {
  c->later = later;
  const std::uint64_t id = c->id;
  bool ready;
  {
    std::lock_guard<std::mutex> g(later->m_);
    later->notify_ = [this, id] { post([this, id] { later_answered(id); }); };
    ready = later->reply_ != nullptr;
  }
  if (stopping) return later_stopped(c);
  if (ready) return later_answered(id);
  arm(c, later->bound_);
}

void Impl::later_answered(std::uint64_t id) {
  auto it = conns.find(id);
  if (it == conns.end() || !it->second->later) return;
  Conn *c = it->second;
  std::unique_ptr<Response> reply;
  {
    std::lock_guard<std::mutex> g(c->later->m_);
    reply = std::move(c->later->reply_);
  }
  if (!reply) return;
  c->later.reset();
  write_answer(c, *c->req, *reply);
}

// The bound passed, the client left or the server stops: no answer will be
// taken any more, and the work is told to stop.
void Impl::later_gone(Later &later) {
  {
    std::lock_guard<std::mutex> g(later.m_);
    later.answered_ = true;
    later.reply_.reset();
    later.notify_ = nullptr;
  }
  if (auto fn = std::move(later.gone_)) fn();
}

void Impl::later_timeout(Conn *c) {
  std::shared_ptr<Later> later = std::move(c->later);
  later_gone(*later);
  write_answer(c, *c->req, *later->timeout_);
}

void Impl::later_stopped(Conn *c) {
  std::shared_ptr<Later> later = std::move(c->later);
  std::unique_ptr<Response> reply;
  {
    std::lock_guard<std::mutex> g(later->m_);
    reply = std::move(later->reply_);  // an answer that came just before the stop still goes out
  }
  later_gone(*later);
  if (reply) return write_answer(c, *c->req, *reply);
  Response r;
  r.status = 503;
  r.set_content(error_json("the centre is stopping"), "application/json");
  write_answer(c, *c->req, r);
}

void Impl::begin_stop() {
  stopping = true;
  uv_close(reinterpret_cast<uv_handle_t *>(&listener), nullptr);
  uv_timer_start(&grace, [](uv_timer_t *t) { static_cast<Impl *>(t->data)->cut_all(); },
                 static_cast<std::uint64_t>(grace_time.count()), 0);
  std::vector<Conn *> all;
  for (auto &kv : conns) all.push_back(kv.second);
  for (Conn *c : all) {
    switch (c->st) {
      case Conn::St::kRead: close(c); break;
      case Conn::St::kBusy:
        c->close_after_write = true;
        if (c->later) later_stopped(c);
        break;
      case Conn::St::kWrite: c->close_after_write = true; break;
      case Conn::St::kStream: end_stream(c); break;
      case Conn::St::kLinger: close(c); break;
      case Conn::St::kClosed: break;
    }
  }
  if (conns.empty()) finish_stop();
}

void Impl::cut_all() {
  std::vector<Conn *> all;
  for (auto &kv : conns) all.push_back(kv.second);
  for (Conn *c : all) close(c);
  finish_stop();
}

void Impl::finish_stop() {
  if (finished) return;
  finished = true;
  {
    std::lock_guard<std::mutex> g(tasks_m);
    loop_done = true;
    tasks.clear();
  }
  uv_timer_stop(&grace);
  uv_close(reinterpret_cast<uv_handle_t *>(&grace), nullptr);
  uv_close(reinterpret_cast<uv_handle_t *>(&async), nullptr);
}

}  // namespace dtu::http::wire
