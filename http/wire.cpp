// The HTTP/1.1 connection layer's surface: libuv for the sockets,
// http-parser for the requests, a pool of threads for the handlers.  The
// work is done in the wire_*.cpp files (see wire_impl.h).
#include <arpa/inet.h>
#include <netinet/in.h>

#include "wire_impl.h"

namespace dtu::http::wire {

std::shared_ptr<Later> Response::defer(std::chrono::milliseconds bound, Response timeout) {
  later_ = std::make_shared<Later>();
  later_->bound_ = bound;
  later_->timeout_ = std::make_unique<Response>(std::move(timeout));
  return later_;
}

std::shared_ptr<Feed> Response::stream(FeedHooks hooks) {
  feed_ = std::make_shared<Feed>();
  feed_->hooks_ = std::move(hooks);
  return feed_;
}

void Later::answer(Response response) {
  std::function<void()> notify;
  {
    std::lock_guard<std::mutex> g(m_);
    if (answered_) return;
    answered_ = true;
    reply_ = std::make_unique<Response>(std::move(response));
    notify = notify_;
  }
  if (notify) notify();
}

void Later::on_gone(std::function<void()> fn) { gone_ = std::move(fn); }

// ---- Server -------------------------------------------------------------------

Server::Server() : impl_(std::make_unique<Impl>()) { impl_->init_settings(); }

Server::~Server() { stop(); }

void Server::Get(const std::string &pattern, Handler handler) {
  impl_->routes.push_back({"GET", std::regex(pattern), std::move(handler)});
}
void Server::Post(const std::string &pattern, Handler handler) {
  impl_->routes.push_back({"POST", std::regex(pattern), std::move(handler)});
}
void Server::Route(const std::string &method, const std::string &pattern, Handler handler) {
  impl_->routes.push_back({method, std::regex(pattern), std::move(handler)});
}
void Server::set_pre_routing_handler(std::function<HandlerResponse(const Request &, Response &)> fn) {
  impl_->pre = std::move(fn);
}
void Server::set_error_handler(Handler fn) { impl_->error = std::move(fn); }
void Server::set_exception_handler(std::function<void(const Request &, Response &, std::exception_ptr)> fn) {
  impl_->exception = std::move(fn);
}
void Server::set_logger(std::function<void(const Request &, const Response &)> fn) { impl_->logger = std::move(fn); }
void Server::set_limits(Limits limits) { impl_->limits = std::move(limits); }

int Server::bind(const std::string &host, int port, std::string *error) {
  Impl &m = *impl_;
  if (!m.loop_made) {
    uv_loop_init(&m.loop);
    uv_async_init(&m.loop, &m.async, [](uv_async_t *a) { static_cast<Impl *>(a->data)->run_tasks(); });
    m.async.data = &m;
    uv_timer_init(&m.loop, &m.grace);
    m.grace.data = &m;
    uv_tcp_init(&m.loop, &m.listener);
    m.listener.data = &m;
    m.loop_made = true;
  }
  sockaddr_in addr{};
  int rc = uv_ip4_addr(host.c_str(), port, &addr);
  if (rc == 0) rc = uv_tcp_bind(&m.listener, reinterpret_cast<const sockaddr *>(&addr), 0);
  if (rc == 0)
    rc = uv_listen(reinterpret_cast<uv_stream_t *>(&m.listener), 128, [](uv_stream_t *s, int status) {
      if (status == 0) static_cast<Impl *>(s->data)->on_connection();
    });
  if (rc != 0) {
    if (error) *error = uv_strerror(rc);
    return -1;
  }
  sockaddr_storage bound{};
  int len = sizeof bound;
  uv_tcp_getsockname(&m.listener, reinterpret_cast<sockaddr *>(&bound), &len);
  return ntohs(reinterpret_cast<const sockaddr_in *>(&bound)->sin_port);
}

void Server::start() {
  Impl &m = *impl_;
  if (m.started || !m.loop_made) return;
  m.started = true;
  m.pool = std::make_unique<Pool>(m.limits.threads, m.limits.thread_setup);
  m.thread = std::thread([&m] {
    if (m.limits.thread_setup) m.limits.thread_setup();
    uv_run(&m.loop, UV_RUN_DEFAULT);
  });
}

void Server::stop(std::chrono::milliseconds grace) {
  Impl &m = *impl_;
  if (m.stopped) return;
  m.stopped = true;
  if (!m.loop_made) return;
  if (m.started) {
    {
      std::lock_guard<std::mutex> g(m.tasks_m);
      m.tasks.push_back([&m, grace] {
        m.grace_time = grace;
        m.begin_stop();
      });
      uv_async_send(&m.async);
    }
    m.thread.join();
    m.pool->shutdown();
  } else {
    uv_close(reinterpret_cast<uv_handle_t *>(&m.listener), nullptr);
    uv_close(reinterpret_cast<uv_handle_t *>(&m.async), nullptr);
    uv_close(reinterpret_cast<uv_handle_t *>(&m.grace), nullptr);
    uv_run(&m.loop, UV_RUN_DEFAULT);
  }
  uv_run(&m.loop, UV_RUN_NOWAIT);
  uv_loop_close(&m.loop);
}

}  // namespace dtu::http::wire

