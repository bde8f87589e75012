// Reading requests: http-parser's callbacks fill the Request, within the
// header and body limits; the path and the query are decoded here.
#include "wire_impl.h"

namespace dtu::http::wire {
namespace {

constexpr std::size_t kMaxHeaders = 100;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX decoded once; a '%' not followed by two hex digits stays as it is.
std::string decode(const std::string &s, bool plus_is_space) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
      i += 2;
    } else if (plus_is_space && s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

bool same_name(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool Request::has_header(const std::string &name) const {
  for (auto &h : headers)
    if (same_name(h.first, name)) return true;
  return false;
}
std::string Request::get_header_value(const std::string &name) const {
  for (auto &h : headers)
    if (same_name(h.first, name)) return h.second;
  return {};
}
bool Request::has_param(const std::string &name) const { return params.count(name) != 0; }
std::string Request::get_param_value(const std::string &name) const {
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

void Impl::init_settings() {
  settings.on_message_begin = [](http_parser *p) {
    Conn *c = of(p);
    c->req = std::make_shared<Request>();
    c->req->remote_addr = c->peer;
    c->field.clear();
    c->value.clear();
    c->last_was_value = false;
    c->header_bytes = 0;
    c->begun = true;
    c->srv->arm(c, c->srv->limits.header_time);
    return 0;
  };
  settings.on_url = [](http_parser *p, const char *at, std::size_t n) {
    Conn *c = of(p);
    c->req->target.append(at, n);
    return c->srv->count_header(c, n);
  };
  settings.on_header_field = [](http_parser *p, const char *at, std::size_t n) {
    Conn *c = of(p);
    if (c->last_was_value) {
      if (c->req->headers.size() >= kMaxHeaders) return c->srv->reject(c, 431, "more than 100 header lines");
      c->req->headers.emplace_back(std::move(c->field), std::move(c->value));
      c->field.clear();
      c->value.clear();
    }
    c->last_was_value = false;
    c->field.append(at, n);
    return c->srv->count_header(c, n);
  };
  settings.on_header_value = [](http_parser *p, const char *at, std::size_t n) {
    Conn *c = of(p);
    c->last_was_value = true;
    c->value.append(at, n);
    return c->srv->count_header(c, n);
  };
  settings.on_headers_complete = [](http_parser *p) { return of(p)->srv->headers_complete(of(p)); };
  settings.on_body = [](http_parser *p, const char *at, std::size_t n) {
    Conn *c = of(p);
    if (c->req->body.size() + n > c->srv->limits.max_body)
      return c->srv->reject(c, 413, "the body is larger than " + std::to_string(c->srv->limits.max_body / 1024) + " KiB");
    c->req->body.append(at, n);
    return 0;
  };
  settings.on_message_complete = [](http_parser *p) {
    Conn *c = of(p);
    c->keep_alive = http_should_keep_alive(p) != 0;
    c->complete = true;
    http_parser_pause(p, 1);  // one request at a time; the rest waits in `in`
    return 0;
  };
}

int Impl::reject(Conn *c, int status, std::string text) {
  if (c->reject_status == 0) {
    c->reject_status = status;
    c->reject_text = std::move(text);
  }
  return -1;
}

int Impl::count_header(Conn *c, std::size_t n) {
  c->header_bytes += n;
  if (c->header_bytes > limits.max_header)
    return reject(c, 431, "the request line and headers pass " + std::to_string(limits.max_header / 1024) + " KiB");
  return 0;
}

int Impl::headers_complete(Conn *c) {
  Request &r = *c->req;
  if (!c->field.empty() || c->last_was_value) r.headers.emplace_back(std::move(c->field), std::move(c->value));
  c->headers_done = true;
  http_parser *p = &c->parser;
  r.method = http_method_str(static_cast<http_method>(p->method));
  c->head = r.method == "HEAD";
  c->http10 = p->http_major == 1 && p->http_minor == 0;
  const std::string::size_type q = r.target.find('?');
  r.path = decode(r.target.substr(0, q), false);
  if (q != std::string::npos) {
    const std::string query = r.target.substr(q + 1);
    std::size_t start = 0;
    while (start <= query.size()) {
      std::size_t amp = query.find('&', start);
      if (amp == std::string::npos) amp = query.size();
      const std::string item = query.substr(start, amp - start);
      if (!item.empty()) {
        const std::size_t eq = item.find('=');
        r.params.emplace(decode(item.substr(0, eq), true),
                         eq == std::string::npos ? std::string() : decode(item.substr(eq + 1), true));
      }
      start = amp + 1;
    }
  }
  // The length alone decides: a body that may not fit is refused before
  // any of it is read.
  const bool has_length = (p->flags & F_CONTENTLENGTH) != 0 && (p->flags & F_CHUNKED) == 0;
  if (has_length && p->content_length > limits.max_body)
    return reject(c, 413, "the body is larger than " + std::to_string(limits.max_body / 1024) + " KiB");
  if (!c->http10 && same_name(r.get_header_value("Expect"), "100-continue") && (!has_length || p->content_length > 0))
    write(c, "HTTP/1.1 100 Continue\r\n\r\n");
  arm(c, limits.body_time);
  return 0;
}

void Impl::on_bytes(Conn *c, const char *data, std::size_t n) {
  switch (c->st) {
    case Conn::St::kRead:
      c->in.append(data, n);
      return parse(c);
    case Conn::St::kBusy:
    case Conn::St::kWrite:
      // Pipelined requests wait; a client that piles up more is not read
      // further until its answer has gone.
      c->in.append(data, n);
      if (c->in.size() > limits.max_header + limits.max_body) {
        uv_read_stop(reinterpret_cast<uv_stream_t *>(&c->tcp));
        c->reading = false;
      }
      return;
    default: return;  // a stream's client has nothing to say
  }
}

void Impl::parse(Conn *c) {
  if (c->st != Conn::St::kRead || c->in.empty()) return;
  const std::size_t used = http_parser_execute(&c->parser, &settings, c->in.data(), c->in.size());
  c->in.erase(0, used);
  if (c->reject_status) return local_answer(c, c->reject_status, c->reject_text);
  if (c->complete) return dispatch(c);
  const http_errno err = HTTP_PARSER_ERRNO(&c->parser);
  if (err != HPE_OK)
    return local_answer(c, 400, std::string("the request is not valid HTTP: ") + http_errno_description(err));
}

}  // namespace dtu::http::wire
