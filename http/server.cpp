// The HTTP front end: its life (open, the ordered stop), the fleet copies
// for listings, the page's files; attach() and validate() of http.h.
#include "api.h"

#ifndef DTUHTTP_SOURCE_WWW
#define DTUHTTP_SOURCE_WWW ""
#endif

namespace dtu::http::api {

bool Server::open(std::string *error) {
  std::string host;
  int port = 0;
  if (!parse_listen(options_.listen, &host, &port, error)) return false;
  host_ = host;
  load_files();
  subscribe();
  routes();
  wire::Limits limits;
  limits.max_body = kMaxBody;
  limits.threads = kPoolThreads;
  limits.per_client = options_.max_per_client;
  limits.thread_setup = [priority = options_.priority] { background(priority); };
  http_.set_limits(limits);
  std::string why;
  const int p = http_.bind(host, port, &why);
  if (p <= 0) return *error = "http: cannot listen on " + options_.listen + ": " + why, false;
  port_ = static_cast<std::uint16_t>(p);
  http_.start();
  dispatcher_ = std::thread([this] {
    background(options_.priority);
    dispatch();
  });
  history_thread_ = std::thread([this] { history_reader(); });
  return true;
}

// The events already handed over (the stop event among them) reach the
// streams first; then every stream ends with its closing chunk, every
// waiting answer gets 503, and every connection closes.
Server::~Server() {
  {
    std::lock_guard<std::mutex> g(shared_->m);
    shared_->alive = false;
    shared_->cv.notify_all();
  }
  if (dispatcher_.joinable()) dispatcher_.join();
  {
    std::lock_guard<std::mutex> g(streams_m_);
    closing_ = true;  // no stream opens after this
  }
  {
    // The reader first: the history answers it has not finished are cut by
    // the stop that follows.
    std::lock_guard<std::mutex> g(history_m_);
    history_stop_ = true;
    history_cv_.notify_all();
  }
  if (history_thread_.joinable()) history_thread_.join();
  http_.stop();
}

// The fleet as the loop sees it after this call began.  Requests that
// arrive while a copy is posted but not yet begun wait for that one, so
// a burst of listings costs the loop one pass, not one per request.
std::shared_ptr<Listing> Server::fleet_listing() {
  std::shared_ptr<PendingListing> p;
  {
    std::lock_guard<std::mutex> g(shared_->listing_m);
    if (last_listing_ && now_ms() - last_listing_->now < kListingReuseMs) return last_listing_;
    if (pending_listing_ && !pending_listing_->started) {
      p = pending_listing_;
    } else {
      p = std::make_shared<PendingListing>();
      p->result = p->promise.get_future().share();
      pending_listing_ = p;
      std::shared_ptr<Shared> sh = shared_;
      svc_.post([p, sh](Service &s) {
        {
          std::lock_guard<std::mutex> g2(sh->listing_m);
          p->started = true;
        }
        auto l = std::make_shared<Listing>();
        l->rows.reserve(512);
        s.for_each_terminal([&](const svc::Terminal &t) { l->rows.push_back(copy_row(t, *sh, s.meta(t.id))); });
        add_registry_rows(s, *sh, &l->rows);
        l->now = now_ms();
        p->promise.set_value(std::move(l));
      });
    }
  }
  if (shared_->service_stopped.load() || p->result.wait_for(kLoopBound) != std::future_status::ready) return nullptr;
  std::shared_ptr<Listing> l;
  try {
    l = p->result.get();
  } catch (const std::exception &) {
    return nullptr;
  }
  std::call_once(l->once_sorted, [&] {
    std::sort(l->rows.begin(), l->rows.end(), [](const Row &a, const Row &b) { return a.t.id < b.t.id; });
  });
  {
    std::lock_guard<std::mutex> g(shared_->listing_m);
    if (!last_listing_ || last_listing_->now < l->now) last_listing_ = l;
  }
  return l;
}

// The page's files, read once: only names found in the folder are served,
// so no request path can reach outside it.
void Server::load_files() {
  const std::string root = options_.root.empty() ? default_root() : options_.root;
  DIR *d = root.empty() ? nullptr : opendir(root.c_str());
  if (d == nullptr) return;
  while (const dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    const char *type = mime_of(name);
    if (type == nullptr) continue;
    std::ifstream in(root + "/" + name, std::ios::binary);
    if (!in) continue;
    std::ostringstream body;
    body << in.rdbuf();
    files_[name] = {type, body.str()};
  }
  closedir(d);
}

}  // namespace dtu::http::api

namespace dtu::http {

using api::parse_listen;
using api::Server;
using api::starts_with;
bool validate(const Options &options, std::string *error) {
  std::string host;
  int port = 0;
  if (!parse_listen(options.listen, &host, &port, error)) return false;
  if (!starts_with(host, "127.") && options.token.empty()) {
    *error = "http: refusing to listen on " + host +
             " without an access token (set http_token, or listen on 127.0.0.1)";
    return false;
  }
  if (options.priority != "idle" && options.priority != "nice" && options.priority != "normal") {
    *error = "http_priority: expected idle, nice or normal, got \"" + options.priority + "\"";
    return false;
  }
  if (!options.token.empty() && options.token.size() < 8) {
    *error = "http_token: use at least 8 characters";
    return false;
  }
  return true;
}

std::unique_ptr<Front> attach(svc::Service &service, const Options &options, std::string *error) {
  if (!validate(options, error)) return nullptr;
  if (!options.root.empty()) {
    struct stat st {};
    if (stat((options.root + "/index.html").c_str(), &st) != 0) {
      *error = "http_root: " + options.root + " has no index.html";
      return nullptr;
    }
  }
  auto server = std::make_unique<Server>(service, options);
  if (!server->open(error)) return nullptr;
  return server;
}

std::string default_root() {
  char exe[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  struct stat st {};
  if (n > 0) {
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.resize(dir.rfind('/'));
    const std::string installed = dir + "/../share/dtucentre/www";
    if (stat((installed + "/index.html").c_str(), &st) == 0) return installed;
  }
  return DTUHTTP_SOURCE_WWW;
}

}  // namespace dtu::http
