// The API's routes: a table binding method and path to one handler each,
// and the checks every API request passes first.
#include "api.h"

namespace dtu::http::api {

std::string Server::term_id(const Req &req, Reply *bad) {
  std::string raw;
  if (!id_from_text(req.matches[1].str(), &raw)) *bad = error_reply(400, "not a terminal ID (1 to 11 bytes; other bytes as %XX)");
  return raw;
}

// Every API request passes here first: with no token only a Host header
// naming this machine is let in, with one the token must match, and a
// write from a page of another site is refused.
wire::Server::HandlerResponse Server::admit(const Req &req, Res &res) {
  const bool api = starts_with(req.path, "/api/") || req.path == "/metrics";
  if (!api) return wire::Server::HandlerResponse::Unhandled;
  if (options_.token.empty()) {
    if (!local_host_header(req.get_header_value("Host"))) {
      send_json(res, error_reply(403, "the Host header must name this machine by address or as localhost"));
      return wire::Server::HandlerResponse::Handled;
    }
  } else {
    std::string given;
    const std::string auth = req.get_header_value("Authorization");
    if (auth.size() > 7 && strncasecmp(auth.c_str(), "Bearer ", 7) == 0)  // the scheme's case does not matter
      given = auth.substr(auth.find_first_not_of(' ', 7) == std::string::npos ? auth.size() : auth.find_first_not_of(' ', 7));
    else if (req.path == "/api/events" && req.has_param("token")) given = req.get_param_value("token");
    if (!same_text(given, options_.token)) {
      res.set_header("WWW-Authenticate", "Bearer");
      send_json(res, error_reply(401, "a valid access token is required (Authorization: Bearer TOKEN)"));
      return wire::Server::HandlerResponse::Handled;
    }
  }
  if (req.method != "GET" && req.method != "HEAD" && req.has_header("Origin")) {
    const std::string origin = req.get_header_value("Origin");
    if (origin != "http://" + req.get_header_value("Host")) {
      send_json(res, error_reply(403, "requests from other sites are refused"));
      return wire::Server::HandlerResponse::Handled;
    }
  }
  return wire::Server::HandlerResponse::Unhandled;
}

void Server::routes() {
  http_.set_pre_routing_handler([this](const Req &req, Res &res) { return admit(req, res); });
  http_.set_error_handler([](const Req &, Res &res) {
    if (!res.body.empty()) return;
    const char *text = res.status == 404   ? "not found"
                       : res.status == 413 ? "the body is larger than 64 KiB"
                       : res.status == 405 ? "method not allowed"
                       : res.status == 400 ? "the request is not valid HTTP"
                                           : "the request failed";
    send_json(res, error_reply(res.status, text));
  });
  http_.set_exception_handler([](const Req &, Res &res, std::exception_ptr) {
    send_json(res, error_reply(500, "internal error"));
  });
  http_.set_logger([this](const Req &, const Res &res) {
    if (res.status >= 100 && res.status < 600) responses_[res.status].fetch_add(1, std::memory_order_relaxed);
  });
  static const Route kRoutes[] = {
    {"GET", "/api/terminals", &Server::list_terminals},
    {"POST", "/api/terminals/close-all", &Server::close_all},
    {"GET", R"(/api/terminals/([^/]+))", &Server::get_terminal},
    {"GET", R"(/api/terminals/([^/]+)/history)", &Server::terminal_history},
    {"POST", R"(/api/terminals/([^/]+)/send)", &Server::send_downlink},
    {"POST", R"(/api/terminals/([^/]+)/close)", &Server::close_terminal},
    {"POST", R"(/api/terminals/([^/]+)/params/read)", &Server::read_params},
    {"POST", R"(/api/terminals/([^/]+)/params)", &Server::write_params},
    {"GET", R"(/api/terminals/([^/]+)/meta)", &Server::get_meta},
    {"PUT", R"(/api/terminals/([^/]+)/meta)", &Server::put_meta},
    {"PATCH", R"(/api/terminals/([^/]+)/meta)", &Server::patch_meta},
    {"DELETE", R"(/api/terminals/([^/]+)/meta)", &Server::delete_meta},
    {"GET", "/api/registry.csv", &Server::export_registry},
    {"POST", "/api/registry.csv", &Server::import_registry},
    {"POST", "/api/send", &Server::select_send},
    {"POST", "/api/params", &Server::select_params},
    {"GET", R"(/api/downlinks/([0-9]{1,19}))", &Server::get_downlink},
    {"GET", "/api/catalogue", &Server::catalogue},
    {"GET", "/api/events", &Server::events},
    {"GET", "/api/history", &Server::history},
    {"GET", "/api/history/summary", &Server::history_summary},
    {"GET", "/api/health", &Server::health},
    {"GET", "/metrics", &Server::metrics},
    {"GET", R"(/(.*))", &Server::static_file},
  };
  for (const Route &r : kRoutes) {
    auto call = [this, fn = r.handler](const Req &req, Res &res) { (this->*fn)(req, res); };
    if (std::string(r.method) == "GET") http_.Get(r.pattern, call);
    else if (std::string(r.method) == "POST") http_.Post(r.pattern, call);
    else http_.Route(r.method, r.pattern, call);
  }
}

void Server::list_terminals(const Req &req, Res &res) {
  int online = -1;
  long long idle_gt = -1;
  std::string prefix;
  if (req.has_param("online")) {
    const std::string v = req.get_param_value("online");
    if (v != "true" && v != "false") return send_json(res, error_reply(400, "online: expected true or false"));
    online = v == "true";
  }
  if (req.has_param("idle_gt")) {
    const std::string v = req.get_param_value("idle_gt");
    // Decimal digits, at most ten of them once leading zeros are set aside.
    const std::size_t lead = std::min(v.find_first_not_of('0'), v.size());
    if (v.empty() || v.size() - lead > 10 || v.find_first_not_of("0123456789") != std::string::npos)
      return send_json(res, error_reply(400, "idle_gt: expected a whole number of seconds"));
    idle_gt = std::stoll(v);
  }
  if (req.has_param("prefix")) prefix = req.get_param_value("prefix");
  // The registry's filters: registered or not, a group, a label k=v, a
  // name (a case-insensitive part of it); and the order.
  int registered = -1;
  if (req.has_param("registered")) {
    const std::string v = req.get_param_value("registered");
    if (v != "true" && v != "false") return send_json(res, error_reply(400, "registered: expected true or false"));
    registered = v == "true";
  }
  const bool by_group = req.has_param("group");
  const std::string group = req.get_param_value("group");
  std::string label_key, label_value;
  const bool by_label = req.has_param("label");
  if (by_label) {
    const std::string v = req.get_param_value("label");
    const std::size_t eq = v.find('=');
    if (eq == std::string::npos || eq == 0) return send_json(res, error_reply(400, "label: expected KEY=VALUE"));
    label_key = v.substr(0, eq);
    label_value = v.substr(eq + 1);
  }
  auto lower = [](std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const std::string name = lower(req.get_param_value("name"));
  const std::string sort = req.has_param("sort") ? req.get_param_value("sort") : "id";
  if (sort != "id" && sort != "name" && sort != "group" && sort != "last_seen")
    return send_json(res, error_reply(400, "sort: expected id, name, group or last_seen"));
  std::shared_ptr<Listing> listing = fleet_listing();
  if (!listing) return send_json(res, error_reply(503, "the centre did not answer"));
  const bool plain = registered < 0 && !by_group && !by_label && name.empty() && sort == "id";
  if (online < 0 && idle_gt < 0 && prefix.empty() && plain) {
    // The whole fleet: one text for every request that shared this copy.
    std::call_once(listing->once, [&] { listing->body = listing->json(nullptr); });
    res.set_content(listing->body, "application/json");
    return;
  }
  const std::int64_t now = listing->now;
  auto keep = [&](const Row &row) {
    if (online >= 0 && row.t.online != (online == 1)) return false;
    if (idle_gt >= 0 && (row.t.last_seen_ms <= 0 || (now - row.t.last_seen_ms) / 1000 <= idle_gt)) return false;
    if (registered >= 0 && row.t.registered != (registered == 1)) return false;
    if (by_group && row.t.group != group) return false;
    if (by_label) {
      auto it = row.t.labels.find(label_key);
      if (it == row.t.labels.end() || it->second != label_value) return false;
    }
    if (!name.empty() && lower(row.t.name).find(name) == std::string::npos) return false;
    return prefix.empty() || id_text(row.t.id).compare(0, prefix.size(), prefix) == 0;
  };
  if (sort == "id") return res.set_content(listing->json(keep), "application/json");
  // Another order: the rows kept, sorted (ties by ID, the listing's order).
  std::vector<const Row *> kept;
  for (const Row &row : listing->rows)
    if (keep(row)) kept.push_back(&row);
  std::stable_sort(kept.begin(), kept.end(), [&](const Row *a, const Row *b) {
    if (sort == "name") return lower(a->t.name) < lower(b->t.name);  // case aside
    if (sort == "group") return a->t.group < b->t.group;
    return a->t.last_seen_ms > b->t.last_seen_ms;  // last_seen: the most recent first
  });
  std::string out = "[";
  for (const Row *row : kept) {
    if (out.size() > 1) out += ',';
    append_row_json(out, *row, now);
  }
  res.set_content(out + "]\n", "application/json");
}

void Server::close_all(const Req &req, Res &res) {
  Shared &sh = *shared_;
  Json body;
  Reply bad;
  bool tell = false;
  if (!parse_body(req, {"tell"}, &body, &bad) || !bool_field(body, "tell", &tell, &bad)) return send_json(res, bad);
  send_json(res, on_loop(svc_, sh, [tell](Service &s) { return Reply{200, Json{{"closed", s.close_all(tell)}}}; }));
}

void Server::get_terminal(const Req &req, Res &res) {
  Shared &sh = *shared_;
  Reply bad;
  const std::string id = term_id(req, &bad);
  if (id.empty()) return send_json(res, bad);
  send_json(res, on_loop(svc_, sh, [id, &sh](Service &s) {
    const svc::Terminal *t = s.find(id);
    const svc::TerminalMeta *meta = s.meta(id);
    std::string text;
    if (t == nullptr && meta != nullptr) {
      svc::Terminal never;  // registered, not heard: shown off line
      never.id = id;
      append_row_json(text, copy_row(never, sh, meta), now_ms(), ",\"frames\":[]");
      return Reply{200, Json::parse(text)};
    }
    if (t == nullptr) return error_reply(404, "no terminal with this ID has been heard");
    append_row_json(text, copy_row(*t, sh, meta), now_ms(), ",\"frames\":" + dump(frames_json(t->recent)));
    return Reply{200, Json::parse(text)};
  }));
}

bool downlink_body(const Json &body, std::string *bytes, unsigned *expiry, Reply *bad) {
  const bool has_text = body.contains("text"), has_hex = body.contains("hex");
  if (has_text == has_hex) return *bad = error_reply(400, "give exactly one of \"text\" and \"hex\""), false;
  const Json &v = has_text ? body["text"] : body["hex"];
  if (!v.is_string()) return *bad = error_reply(400, has_text ? "text: expected a string" : "hex: expected a string"), false;
  *bytes = v.get<std::string>();
  if (has_hex && !parse_hex(v.get<std::string>(), bytes))
    return *bad = error_reply(400, "hex: expected pairs of hex digits (spaces between bytes allowed)"), false;
  *expiry = 0;
  if (body.contains("expiry")) {
    const Json &e = body["expiry"];
    if (!e.is_number_unsigned() || e.get<std::uint64_t>() > 100000000)
      return *bad = error_reply(400, "expiry: expected whole seconds up to 100000000"), false;
    *expiry = static_cast<unsigned>(e.get<std::uint64_t>());
  }
  return true;
}

// A send's answer, as POST /api/terminals/{id}/send gives it.
Reply send_reply(const svc::SendOutcome &r) {
  using R = svc::CommandResult;
  using S = svc::DownlinkState;
  const int status = http_status(r.result, true);
  switch (r.result) {
    case R::kSent: return Reply{status, Json{{"state", svc::downlink_state_name(S::kSent)}, {"request", r.handle}}};
    case R::kQueued:
      return Reply{status, Json{{"state", svc::downlink_state_name(S::kQueued)}, {"request", r.handle}}};
    case R::kQueueFull:
      return Reply{status, Json{{"error", "the terminal's downlink queue is full"},
                                {"state", svc::downlink_state_name(S::kDropped)},
                                {"reason", svc::result_name(r.result)}}};
    case R::kUnknownId: return error_reply(status, "no terminal with this ID has been heard");
    case R::kEmpty: return error_reply(status, "nothing to send");
    case R::kTooLarge: return error_reply(status, "a terminal takes at most 1024 bytes of data");
    default: {
      const std::string reason = svc::result_name(r.result);
      return Reply{status, Json{{"error", reason}, {"state", svc::downlink_state_name(S::kRejected)},
                                {"reason", reason}}};
    }
  }
}

void Server::send_downlink(const Req &req, Res &res) {
  Shared &sh = *shared_;
  Reply bad;
  const std::string id = term_id(req, &bad);
  Json body;
  std::string bytes;
  unsigned expiry = 0;
  if (id.empty() || !parse_body(req, {"text", "hex", "expiry"}, &body, &bad) || !downlink_body(body, &bytes, &expiry, &bad))
    return send_json(res, bad);
  send_json(res, on_loop(svc_, sh, [id, bytes, expiry](Service &s) { return send_reply(svc::send_command(s, id, bytes, expiry)); }));
}

void Server::close_terminal(const Req &req, Res &res) {
  Shared &sh = *shared_;
  Reply bad;
  const std::string id = term_id(req, &bad);
  Json body;
  bool tell = false;
  if (id.empty() || !parse_body(req, {"tell"}, &body, &bad) || !bool_field(body, "tell", &tell, &bad))
    return send_json(res, bad);
  send_json(res, on_loop(svc_, sh, [id, tell](Service &s) {
    const svc::CommandResult r = svc::close_command(s, id, tell);
    const int status = http_status(r, false);
    if (r == svc::CommandResult::kUnknownId) return error_reply(status, "no terminal with this ID has been heard");
    if (r != svc::CommandResult::kOk) return error_reply(status, "the terminal is off line");
    return Reply{status, Json{{"closed", true}}};
  }));
}

void Server::read_params(const Req &req, Res &res) {
  Shared &sh = *shared_;
  Reply bad;
  const std::string id = term_id(req, &bad);
  Json body;
  if (id.empty() || !parse_body(req, {}, &body, &bad)) return send_json(res, bad);
  answer_later(svc_, sh, res, [id](Service &s, std::function<void(Reply)> answer) -> std::uint64_t {
    const svc::RequestOutcome out = svc::read_command(s, id, [answer](const svc::ParamResult &r) { answer(param_reply(r, true)); });
    if (out.result == svc::CommandResult::kUnknownId)
      return answer(error_reply(404, "no terminal with this ID has been heard")), 0;
    return out.handle;
  }, param_bound());
}

bool write_values(const Json &body, std::vector<svc::ParamValue> *values, Reply *bad) {
  if (!body.contains("params") || !body["params"].is_object() || body["params"].empty())
    return *bad = error_reply(400, "params: expected an object of one or more \"tag\": value"), false;  // a tag or its name
  for (auto it = body["params"].begin(); it != body["params"].end(); ++it) {
    std::string why, text;
    int tag = 0;
    if (!svc::parse_tag(it.key(), &tag, &why)) return *bad = error_reply(400, "params: " + why), false;
    if (it->is_string()) text = it->get<std::string>();
    else if (it->is_number_unsigned()) text = std::to_string(it->get<std::uint64_t>());
    else return *bad = error_reply(400, "params: " + svc::param_label(tag) + ": expected a string or a whole number"), false;
    svc::ParamValue v;
    if (svc::param_from_text(it.key(), text, &v, &why) != svc::CommandResult::kOk)
      return *bad = error_reply(400, "params: " + why), false;
    values->push_back(std::move(v));
  }
  return true;
}

void Server::write_params(const Req &req, Res &res) {
  Shared &sh = *shared_;
  Reply bad;
  const std::string id = term_id(req, &bad);
  Json body;
  std::vector<svc::ParamValue> values;
  if (id.empty() || !parse_body(req, {"params"}, &body, &bad) || !write_values(body, &values, &bad))
    return send_json(res, bad);
  answer_later(svc_, sh, res, [id, values](Service &s, std::function<void(Reply)> answer) -> std::uint64_t {
    const svc::RequestOutcome out = svc::write_command(s, id, values, [answer](const svc::ParamResult &r) { answer(param_reply(r, false)); });
    if (out.result == svc::CommandResult::kUnknownId)
      return answer(error_reply(404, "no terminal with this ID has been heard")), 0;
    return out.handle;
  }, param_bound());
}

void Server::get_downlink(const Req &req, Res &res) {
  Shared &sh = *shared_;
  const std::uint64_t request = std::strtoull(req.matches[1].str().c_str(), nullptr, 10);
  send_json(res, on_loop(svc_, sh, [request](Service &s) {
    const std::optional<svc::DownlinkInfo> d = s.downlink(request);
    if (!d) return error_reply(404, "no downlink with this request number is known");
    Json j{{"request", d->request}, {"id", id_text(d->id)}, {"state", svc::downlink_state_name(d->state)}, {"length", d->length},
           {"sends", d->sends}, {"created", iso_time(d->created_ms)}, {"updated", iso_time(d->updated_ms)}};
    if (!d->reason.empty()) j["reason"] = d->reason;
    return Reply{200, j};
  }));
}

// For probes: 200 while every part of the centre is well, 503 with the
// problems otherwise (a loop that does not answer is one too).
void Server::health(const Req &, Res &res) {
  Shared &sh = *shared_;
  Reply r = on_loop(svc_, sh, [](Service &s) {
    const svc::Health &h = s.health();
    return Reply{h.ok() ? 200 : 503, h.to_json()};
  });
  if (r.body.contains("error"))
    r = Reply{503, Json{{"status", "degraded"},
                        {"problems", Json::array({"loop: " + r.body["error"].get<std::string>()})},
                        {"checks", Json::object()}}};
  send_json(res, r);
}

void Server::metrics(const Req &, Res &res) {
  Shared &sh = *shared_;
  auto in = std::make_shared<MetricsInput>();
  Reply r = on_loop(svc_, sh, [in](Service &s) {
    in->counters = s.counters();
    in->health = s.health();
    s.for_each_terminal([&](const svc::Terminal &t) {
      ++in->known;
      in->queued_downlinks += t.queued_downlinks;
    });
    return Reply{};
  });
  if (r.status != 200) return send_json(res, r);
  {
    std::lock_guard<std::mutex> g(streams_m_);
    in->sse_clients = streams_.size();
  }
  in->sse_dropped = dropped_total_.load();
  in->sse_replayed = shared_->replayed.load();
  for (int code = 100; code < 600; ++code)
    if (auto n = responses_[code].load()) in->http_responses.emplace_back(code, n);
  res.set_content(metrics_text(*in), "text/plain; version=0.0.4; charset=utf-8");
}

void Server::static_file(const Req &req, Res &res) {
  std::string name = req.matches[1].str();
  if (name.empty()) name = "index.html";
  auto it = files_.find(name);
  if (it == files_.end() && name == "favicon.ico") {
    res.status = 204;  // a root without an icon: nothing, rather than an error in every browser's console
    return;
  }
  if (it == files_.end()) {
    if (files_.empty()) return send_json(res, error_reply(404, "the web console's files were not found (http_root)"));
    return send_json(res, error_reply(404, "not found"));
  }
  res.set_header("Cache-Control", "no-cache");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Content-Security-Policy",
                 "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
  res.set_content(it->second.second, it->second.first);
}

}  // namespace dtu::http::api
