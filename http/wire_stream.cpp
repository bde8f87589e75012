// Event streams: the chunked answer that never ends, fed by its hooks when
// woken, kept alive by comment lines, ended at a stop.
#include "wire_impl.h"

namespace dtu::http::wire {
namespace {

constexpr std::size_t kStreamBacklog = 256 * 1024;  // bytes waiting in libuv before a stream stops pulling

}  // namespace

void Feed::wake() {
  std::function<void()> notify;
  {
    std::lock_guard<std::mutex> g(m_);
    if (!notify_) {
      pending_ = true;
      return;
    }
    notify = notify_;
  }
  if (!scheduled_.exchange(true)) notify();
}

void Impl::start_stream(Conn *c, const Request &req, Response &res) {
  if (logger) logger(req, res);
  c->feed = res.feed_;
  c->st = Conn::St::kStream;
  c->chunked = !c->http10;
  c->in.clear();
  std::string out = status_lines(res);
  for (auto &h : res.headers) out += h.first + ": " + h.second + "\r\n";
  out += c->chunked ? "Transfer-Encoding: chunked\r\n\r\n" : "Connection: close\r\n\r\n";
  write(c, std::move(out));
  const std::uint64_t id = c->id;
  {
    std::lock_guard<std::mutex> g(c->feed->m_);
    c->feed->notify_ = [this, id] {
      post([this, id] {
        auto it = conns.find(id);
        if (it != conns.end()) pull(it->second);
      });
    };
    c->feed->pending_ = false;
  }
  arm(c, limits.keep_alive, true);
  if (stopping) return end_stream(c);
  pull(c);
}

void Impl::chunk(Conn *c, const std::string &text) {
  if (text.empty()) return;
  if (!c->chunked) return write(c, text);
  char size[20];
  std::snprintf(size, sizeof size, "%zx\r\n", text.size());
  write(c, size + text + "\r\n");
}

void Impl::pull(Conn *c) {
  if (c->st != Conn::St::kStream || c->ending) return;
  c->feed->scheduled_ = false;
  if (uv_stream_get_write_queue_size(reinterpret_cast<uv_stream_t *>(&c->tcp)) > kStreamBacklog) {
    c->want_pull = true;  // again when the client has taken some
    return;
  }
  c->want_pull = false;
  if (c->feed->hooks_.pull) chunk(c, c->feed->hooks_.pull());
  if (c->feed->hooks_.done && c->feed->hooks_.done()) {
    if (c->chunked) write(c, "0\r\n\r\n");
    c->ending = true;
    if (c->writes == 0) close(c);
  }
}

void Impl::stream_tick(Conn *c) {
  const auto now = Clock::now();
  if (c->writes > 0 && now - c->last_done >= limits.keep_alive + limits.write_time)
    return close(c);  // the client has stopped reading
  if (c->feed->hooks_.done) return;  // an answer of known end: no comment lines in it
  if (now - c->last_sent >= limits.keep_alive - std::chrono::milliseconds(50)) chunk(c, ": keep-alive\n\n");
}

void Impl::end_stream(Conn *c) {
  if (c->st != Conn::St::kStream || c->ending) return;
  if (c->feed->hooks_.done) return close(c);  // unfinished: cut, not ended
  if (c->feed->hooks_.last) chunk(c, c->feed->hooks_.last());
  if (c->chunked) write(c, "0\r\n\r\n");
  c->ending = true;
  if (c->writes == 0) close(c);
}

}  // namespace dtu::http::wire
