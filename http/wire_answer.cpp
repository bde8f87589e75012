// Writing answers: the status line and headers, the body behind them without
// a copy, and what the connection does once they have left.
#include "wire_impl.h"

namespace dtu::http::wire {

const char *reason_of(int status) {
  switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return status < 400 ? "OK" : "Error";
  }
}

std::string status_lines(const Response &res) {
  std::string out = "HTTP/1.1 " + std::to_string(res.status) + " " + reason_of(res.status) + "\r\n";
  if (!res.content_type.empty()) out += "Content-Type: " + res.content_type + "\r\n";
  return out;
}

// {"error": text} for the answers this layer makes itself (texts of ours).
std::string error_json(const std::string &text) {
  std::string out = "{\"error\":\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out + "\"}\n";
}

void Impl::write(Conn *c, std::string bytes, std::string tail) {
  auto *w = new WriteReq;
  w->bytes = std::move(bytes);
  w->tail = std::move(tail);
  w->req.data = c;
  uv_buf_t buf[2] = {uv_buf_init(w->bytes.data(), static_cast<unsigned>(w->bytes.size())),
                     uv_buf_init(w->tail.data(), static_cast<unsigned>(w->tail.size()))};
  ++c->writes;
  c->last_sent = Clock::now();
  const int rc = uv_write(&w->req, reinterpret_cast<uv_stream_t *>(&c->tcp), buf, w->tail.empty() ? 1 : 2, [](uv_write_t *r, int status) {
    auto *wr = reinterpret_cast<WriteReq *>(r);
    Conn *conn = static_cast<Conn *>(r->data);
    delete wr;
    conn->srv->written(conn, status);
  });
  if (rc != 0) {
    --c->writes;
    delete w;
    close(c);
  }
}

void Impl::written(Conn *c, int status) {
  --c->writes;
  c->last_done = Clock::now();
  if (c->st == Conn::St::kClosed) return;
  if (status < 0) return close(c);
  if (c->writes > 0) return;
  if (c->st == Conn::St::kWrite) {
    if (c->linger && !stopping) return linger(c);
    if (c->close_after_write) return close(c);
    return next_request(c);
  }
  if (c->st == Conn::St::kStream) {
    if (c->ending) return close(c);
    if (c->want_pull) pull(c);
  }
}

// Closing a socket with unread bytes sends a reset, which can destroy the
// answer before the client has read it: so the sending side is shut, and
// whatever the client still sends is read and dropped for a moment first.
void Impl::linger(Conn *c) {
  c->st = Conn::St::kLinger;
  c->in.clear();
  arm(c, std::chrono::milliseconds(2000));
  start_reading(c);
  c->shutdown.data = c;
  if (uv_shutdown(&c->shutdown, reinterpret_cast<uv_stream_t *>(&c->tcp), [](uv_shutdown_t *, int) {}) != 0)
    close(c);
}

// An answer this layer makes itself (an error); the connection closes
// after it.
void Impl::local_answer(Conn *c, int status, const std::string &text) {
  if (!c->req) {
    c->req = std::make_shared<Request>();
    c->req->remote_addr = c->peer;
  }
  Response r;
  r.status = status;
  r.set_content(error_json(text), "application/json");
  c->close_after_write = true;
  c->linger = true;
  write_answer(c, *c->req, r);
}

void Impl::write_answer(Conn *c, const Request &req, Response &res) {
  if (logger) logger(req, res);
  const bool close_it = c->close_after_write || !c->keep_alive || stopping;
  std::string out = status_lines(res);
  if (res.status != 204) out += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
  for (auto &h : res.headers) out += h.first + ": " + h.second + "\r\n";
  if (close_it) out += "Connection: close\r\n";
  else if (c->http10) out += "Connection: keep-alive\r\n";
  out += "\r\n";
  c->st = Conn::St::kWrite;
  c->close_after_write = close_it;
  arm(c, limits.write_time);
  write(c, std::move(out), c->head || res.status == 204 ? std::string() : std::move(res.body));
}

void Impl::next_request(Conn *c) {
  c->st = Conn::St::kRead;
  c->req.reset();
  c->begun = c->headers_done = c->complete = false;
  c->head = false;
  http_parser_pause(&c->parser, 0);
  arm(c, limits.idle_time);
  start_reading(c);
  parse(c);
}

}  // namespace dtu::http::wire
