// The pieces every route uses: JSON replies, work posted to the service's
// loop (answered now or later), request bodies and fields, and the checks
// on the Host header and the token.
#include "api.h"

namespace dtu::http::api {

Row copy_row(const svc::Terminal &t, const Shared &sh, const svc::TerminalMeta *meta) {
  Row r;
  RowData &c = r.t;
  c.id = t.id;
  c.online = t.online;
  c.slot = t.slot;
  c.peer = t.peer;
  c.reported = t.reported;
  c.logon_time_ms = t.logon_time_ms;
  c.first_seen_ms = t.first_seen_ms;
  c.last_seen_ms = t.last_seen_ms;
  c.datagrams_in = t.datagrams_in;
  c.datagrams_out = t.datagrams_out;
  c.bytes_in = t.bytes_in;
  c.bytes_out = t.bytes_out;
  c.in = t.in;
  c.out = t.out;
  c.addr_changes = t.addr_changes;
  c.duplicate_logons = t.duplicate_logons;
  c.queued_downlinks = t.queued_downlinks;
  if (meta) {
    c.registered = true;
    c.name = meta->name;
    c.group = meta->group;
    c.labels = meta->labels;
  }
  auto it = sh.offline_reason.find(t.id);
  if (it != sh.offline_reason.end()) r.offline_reason = it->second;
  return r;
}

void send_json(Res &res, const Reply &r) {
  res.status = r.status;
  res.set_content(dump(r.body) + "\n", "application/json");
}

// Runs fn on the loop and waits (bounded) for its reply.  503 when the loop
// does not answer: the service is stopping.
Reply on_loop(Service &svc, const Shared &sh, std::function<Reply(Service &)> fn,
              Clock::duration bound) {
  if (sh.service_stopped.load()) return error_reply(503, "the centre is stopping");
  auto promise = std::make_shared<std::promise<Reply>>();
  std::future<Reply> done = promise->get_future();
  svc.post([promise, fn = std::move(fn)](Service &s) { promise->set_value(fn(s)); });
  if (done.wait_for(bound) != std::future_status::ready) return error_reply(503, "the centre did not answer");
  try {
    return done.get();
  } catch (const std::exception &) {
    return error_reply(503, "the centre is stopping");
  }
}

// For work that answers later through a callback (a terminal's answer): the
// HTTP answer is deferred, so no server thread waits meanwhile.  fn runs on
// the loop with a function to call once with the reply, and returns the
// service's request handle (0 for none).  When the client goes, or `bound`
// passes first (504), that request is cancelled.
void answer_later(Service &svc, const Shared &sh, Res &res,
                  std::function<std::uint64_t(Service &, std::function<void(Reply)>)> fn, Clock::duration bound) {
  if (sh.service_stopped.load()) return send_json(res, error_reply(503, "the centre is stopping"));
  Res timeout;
  send_json(timeout, error_reply(504, "the terminal did not answer"));
  std::shared_ptr<wire::Later> later =
      res.defer(std::chrono::duration_cast<std::chrono::milliseconds>(bound), std::move(timeout));
  struct Ticket {
    std::mutex m;
    bool gone = false;          // guarded by m
    std::uint64_t handle = 0;   // guarded by m
  };
  auto ticket = std::make_shared<Ticket>();
  later->on_gone([&svc, ticket] {
    std::lock_guard<std::mutex> g(ticket->m);
    ticket->gone = true;
    if (ticket->handle) svc.post([h = ticket->handle](Service &s) { s.cancel(h); });
  });
  svc.post([later, ticket, fn = std::move(fn)](Service &s) {
    {
      std::lock_guard<std::mutex> g(ticket->m);
      if (ticket->gone) return;
    }
    const std::uint64_t handle = fn(s, [later](Reply r) {
      Res out;
      send_json(out, r);
      later->answer(std::move(out));
    });
    std::lock_guard<std::mutex> g(ticket->m);
    if (ticket->gone && handle) s.cancel(handle);
    ticket->handle = handle;
  });
}

// The body as a JSON object (an empty body is an empty object); every key
// must be one of `allowed`.
bool parse_body(const Req &req, std::initializer_list<const char *> allowed, Json *out, Reply *bad) {
  if (req.body.empty()) {
    *out = Json::object();
    return true;
  }
  std::string why;
  if (!svc::parse_json_input(req.body, out, &why)) {
    *bad = error_reply(400, "the body is " + why);
    return false;
  }
  if (!out->is_object()) {
    *bad = error_reply(400, "the body must be a JSON object");
    return false;
  }
  for (auto it = out->begin(); it != out->end(); ++it) {
    bool ok = false;
    for (const char *a : allowed) ok = ok || it.key() == a;
    if (!ok) {
      *bad = error_reply(400, "unknown field \"" + it.key() + "\"");
      return false;
    }
  }
  return true;
}

bool bool_field(const Json &body, const char *key, bool *out, Reply *bad) {
  auto it = body.find(key);
  if (it == body.end()) return true;
  if (!it->is_boolean()) {
    *bad = error_reply(400, std::string(key) + ": expected true or false");
    return false;
  }
  *out = it->get<bool>();
  return true;
}

bool parse_hex(const std::string &text, std::string *out) {
  std::string bytes;
  int half = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') {
      if (half >= 0) return false;
      continue;
    }
    const int v = svc::hex_digit(c);
    if (v < 0) return false;
    if (half < 0) {
      half = v;
    } else {
      bytes += static_cast<char>(half * 16 + v);
      half = -1;
    }
  }
  if (half >= 0) return false;
  *out = std::move(bytes);
  return true;
}

int http_status(svc::CommandResult r, bool downlink) {
  using R = svc::CommandResult;
  switch (r) {
    case R::kOk: case R::kSent: return 200;
    case R::kQueued: return 202;
    case R::kUnknownId: return 404;
    case R::kOffline: return 409;
    case R::kQueueFull: return downlink ? 409 : 429;
    case R::kTooLarge: return downlink ? 413 : 502;
    case R::kEmpty: case R::kBadId: return downlink ? 400 : 502;
    case R::kBadValue: return 400;
    case R::kTimeout: return 504;
    case R::kStopped: return 503;
    default: return 502;
  }
}

Reply param_reply(const svc::ParamResult &r, bool read) {
  if (r.ok) {
    Reply ok{200, Json{{"request", r.request}}};
    if (read) {
      ok.body["params"] = params_json(r.values);
      Json names = svc::param_names_json(r.values);
      if (!names.empty()) ok.body["names"] = std::move(names);
    }
    else ok.body["ok"] = true;
    return ok;
  }
  return error_reply(http_status(svc::request_result(r), false), svc::result_name(r.error));
}

// Accepts a Host header naming an address literal or localhost: with no
// token, a page of another site that has its name resolve to this machine
// (DNS rebinding) is refused.
bool local_host_header(const std::string &host) {
  std::string h = host;
  if (!h.empty() && h[0] == '[') return h.rfind("[::1]", 0) == 0;
  const auto colon = h.find(':');
  if (colon != std::string::npos) h.resize(colon);
  if (h == "localhost") return true;
  unsigned a, b, c, d;
  char end;
  return std::sscanf(h.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) == 4;
}

bool same_text(const std::string &a, const std::string &b) {
  // Time independent of where they differ.
  if (a.size() != b.size() || b.empty()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool parse_listen(const std::string &listen, std::string *host, int *port, std::string *error) {
  std::string h = "127.0.0.1", p = listen;
  const auto colon = listen.rfind(':');
  if (colon != std::string::npos) {
    h = listen.substr(0, colon);
    p = listen.substr(colon + 1);
  }
  if (h == "localhost") h = "127.0.0.1";
  unsigned a, b, c, d;
  char end;
  if (std::sscanf(h.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) != 4 || a > 255 || b > 255 || c > 255 || d > 255) {
    *error = "http: \"" + listen + "\" is not ADDR:PORT with an IPv4 address";
    return false;
  }
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos || std::stoi(p) > 65535) {
    *error = "http: \"" + listen + "\": the port must be a number 0-65535";
    return false;
  }
  *host = h;
  *port = std::stoi(p);
  return true;
}

const char *mime_of(const std::string &name) {
  static const std::pair<const char *, const char *> kTypes[] = {
      {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},   {".svg", "image/svg+xml"},
      {".png", "image/png"},                 {".ico", "image/x-icon"},
      {".json", "application/json"}};
  for (auto &t : kTypes) {
    const std::string ext = t.first;
    if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) return t.second;
  }
  return nullptr;
}

// The server's threads (its loop, its handlers, the event dispatcher) yield
// to the rest of the process as Options::priority says: "idle" (SCHED_IDLE),
// "nice" (nice +19, the default) or "normal".  When the machine is short of
// CPU, the loop that answers the terminals goes first and the operator's
// window waits.
void background(const std::string &how) {
  if (how == "idle") {
    sched_param p{};
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &p) == 0) return;
  }
  if (how != "normal") setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
}

}  // namespace dtu::http::api
