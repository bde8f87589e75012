// The HTTP front end: cpp-httplib's server and thread pool, routes of the
// API, the event streams and the page's files.
#include <dirent.h>
#include <httplib.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "events.h"
#include "http.h"
#include "render.h"

#ifndef DTUHTTP_SOURCE_WWW
#define DTUHTTP_SOURCE_WWW ""
#endif

namespace dtu::http {
namespace {

using Clock = std::chrono::steady_clock;
using svc::Service;

constexpr std::size_t kMaxBody = 64 * 1024;      // request bodies
constexpr std::size_t kStreamQueue = 4096;       // events waiting per stream client
constexpr std::size_t kHandoffQueue = 65536;     // events waiting for the dispatcher
constexpr std::size_t kMaxStreams = 16;          // event-stream clients at once
constexpr std::size_t kPoolThreads = 32;         // streams hold a thread each
constexpr auto kLoopBound = std::chrono::seconds(5);  // a posted read must be answered within
// A fleet listing this young serves later requests as it is, so however fast
// clients ask, copying the fleet costs the loop at most a few passes a second.
constexpr std::int64_t kListingReuseMs = 250;
constexpr auto kKeepAlive = std::chrono::seconds(15);

bool starts_with(const std::string &s, const char *p) { return s.rfind(p, 0) == 0; }

// ---- state shared with the loop thread ------------------------------------

// One stream client: its filters and its bounded queue of formatted events.
struct Stream {
  std::string id;              // raw ID; empty: every terminal
  std::array<bool, svc::kEventTypeCount> types{};
  bool fleet = false;          // wants the per-second fleet rows
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::shared_ptr<const std::string>> queue;
  std::uint64_t dropped = 0;
  bool closed = false;
};

// What the loop hands to the dispatcher: an event, or a batch of fleet rows.
struct Item {
  std::shared_ptr<const svc::Event> event;
  std::shared_ptr<std::vector<Row>> rows;
  std::int64_t now = 0;
};

// Lives as long as the service holds the sink and the timer.
struct Shared {
  std::mutex m;
  std::condition_variable cv;
  std::deque<Item> handoff;
  std::uint64_t handoff_dropped = 0;
  bool alive = true;
  std::atomic<int> streams{0};        // clients connected
  std::atomic<int> fleet_streams{0};  // of them, those that want fleet rows
  std::atomic<bool> service_stopped{false};
  std::mutex listing_m;  // guards the started flag of a posted fleet copy, and the newest copy

  // Loop thread only.
  std::unordered_map<std::string, const char *> offline_reason;
  struct Sig {
    bool online;
    std::int64_t last_seen;
    std::uint64_t in, out;
    std::size_t queued;
  };
  std::unordered_map<std::string, Sig> sent;  // what the fleet rows last said

  void push(Item item) {
    std::lock_guard<std::mutex> g(m);
    if (!alive) return;
    if (handoff.size() >= kHandoffQueue) {
      handoff.pop_front();
      ++handoff_dropped;
    }
    handoff.push_back(std::move(item));
    cv.notify_one();
  }
};

Row copy_row(const svc::Terminal &t, const Shared &sh) {
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
  auto it = sh.offline_reason.find(t.id);
  if (it != sh.offline_reason.end()) r.offline_reason = it->second;
  return r;
}

// ---- replies ----------------------------------------------------------------

struct Reply {
  int status = 200;
  Json body;
};

Reply error_reply(int status, std::string text) { return {status, Json{{"error", std::move(text)}}}; }

void send_json(httplib::Response &res, const Reply &r) {
  res.status = r.status;
  res.set_content(dump(r.body) + "\n", "application/json");
}

// Runs fn on the loop and waits (bounded) for its reply.  503 when the loop
// does not answer: the service is stopping.
Reply on_loop(Service &svc, const Shared &sh, std::function<Reply(Service &)> fn,
              Clock::duration bound = kLoopBound) {
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

// Like on_loop, for work that answers later through a callback: fn gets a
// function to call once with the reply.
Reply on_loop_later(Service &svc, const Shared &sh, std::function<void(Service &, std::function<void(Reply)>)> fn,
                    Clock::duration bound) {
  if (sh.service_stopped.load()) return error_reply(503, "the centre is stopping");
  auto promise = std::make_shared<std::promise<Reply>>();
  std::future<Reply> done = promise->get_future();
  svc.post([promise, fn = std::move(fn)](Service &s) {
    auto once = std::make_shared<std::once_flag>();
    fn(s, [promise, once](Reply r) { std::call_once(*once, [&] { promise->set_value(std::move(r)); }); });
  });
  if (done.wait_for(bound) != std::future_status::ready) return error_reply(504, "the terminal did not answer");
  try {
    return done.get();
  } catch (const std::exception &) {
    return error_reply(503, "the centre is stopping");
  }
}

// The body as a JSON object (an empty body is an empty object); every key
// must be one of `allowed`.
bool parse_body(const httplib::Request &req, std::initializer_list<const char *> allowed, Json *out, Reply *bad) {
  if (req.body.empty()) {
    *out = Json::object();
    return true;
  }
  try {
    *out = Json::parse(req.body);
  } catch (const Json::exception &) {
    *bad = error_reply(400, "the body is not valid JSON");
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

Reply param_reply(const svc::ParamResult &r, bool read) {
  if (r.ok) {
    Reply ok{200, Json{{"request", r.request}}};
    if (read) ok.body["params"] = params_json(r.values);
    else ok.body["ok"] = true;
    return ok;
  }
  if (r.error == "timeout") return error_reply(504, "timeout");
  if (r.error == "offline") return error_reply(409, "offline");
  if (r.error == "bad-value") return error_reply(400, "bad-value");
  if (r.error == "stopped") return error_reply(503, "stopped");
  return error_reply(502, r.error);
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

// The server's threads.  They run at a lower priority than the rest of the
// process (by default nice +19): when the machine is short of CPU, the loop
// that answers the terminals goes first and the operator's window waits.
class Pool final : public httplib::TaskQueue {
 public:
  Pool(std::size_t n, std::string priority) {
    for (std::size_t i = 0; i < n; ++i)
      threads_.emplace_back([this, priority] {
        background(priority);
        for (;;) {
          std::function<void()> job;
          {
            std::unique_lock<std::mutex> lk(m_);
            cv_.wait(lk, [&] { return stop_ || !jobs_.empty(); });
            if (stop_ && jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
          }
          job();
        }
      });
  }
  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> g(m_);
      jobs_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto &t : threads_) t.join();
  }
  // The calling thread yields to the rest of the process as Options::priority
  // says: "idle" (SCHED_IDLE), "nice" (nice +19) or "normal".
  static void background(const std::string &how) {
    if (how == "idle") {
      sched_param p{};
      if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &p) == 0) return;
    }
    if (how != "normal") setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool stop_ = false;
};

// A copy of the whole fleet for GET /api/terminals, shared by the requests
// that wait for the same copy.
struct Listing {
  std::vector<Row> rows;  // sorted by ID
  std::int64_t now = 0;
  std::once_flag once, once_sorted;
  std::string body;       // the unfiltered answer, made once
  std::string json(const std::function<bool(const Row &)> &keep) const {
    std::string out;
    out.reserve(rows.size() * 560 + 4);
    out += '[';
    for (const Row &row : rows) {
      if (keep && !keep(row)) continue;
      if (out.size() > 1) out += ',';
      append_row_json(out, row, now);
    }
    out += "]\n";
    return out;
  }
};

// ---- the front end ------------------------------------------------------------

class Server final : public Front {
 public:
  Server(Service &svc, Options options) : svc_(svc), options_(std::move(options)), shared_(std::make_shared<Shared>()) {}

  bool open(std::string *error) {
    std::string host;
    int port = 0;
    if (!parse_listen(options_.listen, &host, &port, error)) return false;
    host_ = host;
    load_files();
    subscribe();
    routes();
    http_.new_task_queue = [priority = options_.priority] { return new Pool(kPoolThreads, priority); };
    http_.set_payload_max_length(kMaxBody);
    http_.set_keep_alive_max_count(10000);
    http_.set_tcp_nodelay(true);  // headers and body leave at once, no 40 ms wait for an ACK
    http_.set_read_timeout(10, 0);
    http_.set_write_timeout(5, 0);
    if (port == 0) {
      const int p = http_.bind_to_any_port(host);
      if (p <= 0) return *error = "http: cannot listen on " + host + ": " + std::strerror(errno), false;
      port_ = static_cast<std::uint16_t>(p);
    } else {
      if (!http_.bind_to_port(host, port))
        return *error = "http: cannot listen on " + options_.listen + ": " + std::strerror(errno), false;
      port_ = static_cast<std::uint16_t>(port);
    }
    listener_ = std::thread([this] { http_.listen_after_bind(); });
    dispatcher_ = std::thread([this] {
      Pool::background(options_.priority);
      dispatch();
    });
    return true;
  }

  ~Server() override {
    {
      std::lock_guard<std::mutex> g(shared_->m);
      shared_->alive = false;
      shared_->cv.notify_all();
    }
    {
      std::lock_guard<std::mutex> g(streams_m_);
      closing_ = true;  // no stream opens after this
      for (auto &s : streams_) {
        std::lock_guard<std::mutex> g2(s->m);
        s->closed = true;
        s->cv.notify_all();
      }
    }
    http_.stop();
    if (listener_.joinable()) listener_.join();
    if (dispatcher_.joinable()) dispatcher_.join();
  }

  std::uint16_t port() const override { return port_; }
  std::string url() const override { return "http://" + host_ + ":" + std::to_string(port_) + "/"; }

 private:
  // ---- events: loop thread -> dispatcher -> streams ----
  void subscribe() {
    std::shared_ptr<Shared> sh = shared_;
    svc_.subscribe([sh](const svc::Event &e) {
      using T = svc::EventType;
      switch (e.type) {
        case T::kLogon: sh->offline_reason.erase(e.id); break;
        case T::kLogout: sh->offline_reason[e.id] = "logout"; break;
        case T::kIdle: sh->offline_reason[e.id] = "idle"; break;
        case T::kClosed: sh->offline_reason[e.id] = "closed"; break;
        case T::kStop: sh->service_stopped = true; break;
        default: break;
      }
      if (sh->streams.load(std::memory_order_relaxed) == 0) return;
      Item item;
      item.event = std::make_shared<const svc::Event>(e);
      sh->push(std::move(item));
    });
    svc_.every(1000, [sh](Service &s) {
      if (sh->fleet_streams.load(std::memory_order_relaxed) == 0) {
        sh->sent.clear();
        return;
      }
      auto rows = std::make_shared<std::vector<Row>>();
      s.for_each_terminal([&](const svc::Terminal &t) {
        Shared::Sig sig{t.online, t.last_seen_ms, t.datagrams_in, t.datagrams_out, t.queued_downlinks};
        auto it = sh->sent.find(t.id);
        if (it != sh->sent.end() && it->second.online == sig.online && it->second.last_seen == sig.last_seen &&
            it->second.in == sig.in && it->second.out == sig.out && it->second.queued == sig.queued)
          return;
        sh->sent[t.id] = sig;
        rows->push_back(copy_row(t, *sh));
      });
      if (rows->empty()) return;
      Item item;
      item.rows = std::move(rows);
      item.now = now_ms();
      sh->push(std::move(item));
    });
  }

  void dispatch() {
    for (;;) {
      std::deque<Item> batch;
      std::uint64_t lost = 0;
      {
        std::unique_lock<std::mutex> lk(shared_->m);
        shared_->cv.wait(lk, [&] { return !shared_->alive || !shared_->handoff.empty(); });
        if (!shared_->alive) return;
        batch.swap(shared_->handoff);
        lost = shared_->handoff_dropped;
        shared_->handoff_dropped = 0;
      }
      std::vector<std::shared_ptr<Stream>> streams;
      {
        std::lock_guard<std::mutex> g(streams_m_);
        streams = streams_;
      }
      if (lost) {
        for (auto &s : streams) {
          std::lock_guard<std::mutex> g(s->m);
          s->dropped += lost;
        }
        dropped_total_ += lost;
      }
      for (Item &item : batch) {
        std::shared_ptr<const std::string> line;
        for (auto &s : streams) {
          if (item.event) {
            const svc::Event &e = *item.event;
            if (!s->types[static_cast<int>(e.type)] || (!s->id.empty() && s->id != e.id)) continue;
          } else if (!s->fleet) {
            continue;
          }
          if (!line) line = std::make_shared<const std::string>(format(item));
          std::lock_guard<std::mutex> g(s->m);
          if (s->queue.size() >= kStreamQueue) {
            s->queue.pop_front();
            ++s->dropped;
            ++dropped_total_;
          }
          s->queue.push_back(line);
          s->cv.notify_one();
        }
      }
    }
  }

  static std::string format(const Item &item) {
    if (item.event) return dump(event_json(*item.event));
    std::string out = "{\"event\":\"fleet\",\"time\":\"" + iso_time(item.now) + "\",\"terminals\":[";
    for (std::size_t i = 0; i < item.rows->size(); ++i) {
      if (i) out += ',';
      append_row_json(out, (*item.rows)[i], item.now);
    }
    return out + "]}";
  }

  void events(const httplib::Request &req, httplib::Response &res) {
    auto s = std::make_shared<Stream>();
    if (req.has_param("id")) {
      if (!id_from_text(req.get_param_value("id"), &s->id))
        return send_json(res, error_reply(400, "id: not a terminal ID"));
    }
    if (req.has_param("type")) {
      std::string list = req.get_param_value("type");
      std::stringstream in(list);
      for (std::string name; std::getline(in, name, ',');) {
        if (name == "fleet") {
          s->fleet = true;
          continue;
        }
        int found = -1;
        for (int i = 0; i < svc::kEventTypeCount; ++i)
          if (name == svc::event_name(static_cast<svc::EventType>(i))) found = i;
        if (found < 0) return send_json(res, error_reply(400, "type: unknown event type \"" + name + "\""));
        s->types[found] = true;
      }
    } else {
      s->types.fill(true);
    }
    if (req.has_param("fleet")) {
      const std::string f = req.get_param_value("fleet");
      if (f != "true" && f != "false") return send_json(res, error_reply(400, "fleet: expected true or false"));
      s->fleet = s->fleet || f == "true";
    }
    {
      std::lock_guard<std::mutex> g(streams_m_);
      if (closing_) return send_json(res, error_reply(503, "the centre is stopping"));
      if (streams_.size() >= kMaxStreams) return send_json(res, error_reply(503, "too many event streams"));
      streams_.push_back(s);
      shared_->streams++;
      if (s->fleet) shared_->fleet_streams++;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [s](std::size_t offset, httplib::DataSink &sink) {
          std::string out;
          if (offset == 0) out = "retry: 2000\n: stream open\n\n";
          std::deque<std::shared_ptr<const std::string>> batch;
          std::uint64_t dropped = 0;
          if (out.empty()) {
            std::unique_lock<std::mutex> lk(s->m);
            s->cv.wait_for(lk, kKeepAlive, [&] { return s->closed || !s->queue.empty() || s->dropped != 0; });
            if (s->closed) return false;
            batch.swap(s->queue);
            dropped = s->dropped;
            s->dropped = 0;
          }
          if (dropped)
            out += "data: {\"event\":\"dropped\",\"count\":" + std::to_string(dropped) +
                   ",\"text\":\"this client fell behind; the oldest events were dropped\"}\n\n";
          for (auto &line : batch) {
            out += "data: ";
            out += *line;
            out += "\n\n";
          }
          if (out.empty()) out = ": keep-alive\n\n";
          return sink.write(out.data(), out.size());
        },
        [this, s](bool) {
          std::lock_guard<std::mutex> g(streams_m_);
          auto it = std::find(streams_.begin(), streams_.end(), s);
          if (it != streams_.end()) {
            streams_.erase(it);
            shared_->streams--;
            if (s->fleet) shared_->fleet_streams--;
          }
        });
  }

  // The fleet as the loop sees it after this call began.  Requests that
  // arrive while a copy is posted but not yet begun wait for that one, so
  // a burst of listings costs the loop one pass, not one per request.
  std::shared_ptr<Listing> fleet_listing() {
    struct Pending {
      bool started = false;  // guarded by listing_m_
      std::promise<std::shared_ptr<Listing>> promise;
      std::shared_future<std::shared_ptr<Listing>> result;
    };
    std::shared_ptr<Pending> p;
    {
      std::lock_guard<std::mutex> g(shared_->listing_m);
      if (last_listing_ && now_ms() - last_listing_->now < kListingReuseMs) return last_listing_;
      auto current = std::static_pointer_cast<Pending>(pending_listing_);
      if (current && !current->started) {
        p = current;
      } else {
        p = std::make_shared<Pending>();
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
          s.for_each_terminal([&](const svc::Terminal &t) { l->rows.push_back(copy_row(t, *sh)); });
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

  // ---- routes ----
  std::string term_id(const httplib::Request &req, Reply *bad) {
    std::string raw;
    if (!id_from_text(req.matches[1].str(), &raw)) *bad = error_reply(400, "not a terminal ID (1 to 11 bytes; other bytes as %XX)");
    return raw;
  }

  void routes() {
    using Req = httplib::Request;
    using Res = httplib::Response;
    Shared &sh = *shared_;

    http_.set_pre_routing_handler([this](const Req &req, Res &res) {
      const bool api = starts_with(req.path, "/api/") || req.path == "/metrics";
      if (!api) return httplib::Server::HandlerResponse::Unhandled;
      if (options_.token.empty()) {
        if (!local_host_header(req.get_header_value("Host"))) {
          send_json(res, error_reply(403, "the Host header must name this machine by address or as localhost"));
          return httplib::Server::HandlerResponse::Handled;
        }
      } else {
        std::string given;
        const std::string auth = req.get_header_value("Authorization");
        if (starts_with(auth, "Bearer ")) given = auth.substr(7);
        else if (req.path == "/api/events" && req.has_param("token")) given = req.get_param_value("token");
        if (!same_text(given, options_.token)) {
          res.set_header("WWW-Authenticate", "Bearer");
          send_json(res, error_reply(401, "a valid access token is required (Authorization: Bearer TOKEN)"));
          return httplib::Server::HandlerResponse::Handled;
        }
      }
      if (req.method != "GET" && req.method != "HEAD" && req.has_header("Origin")) {
        const std::string origin = req.get_header_value("Origin");
        if (origin != "http://" + req.get_header_value("Host")) {
          send_json(res, error_reply(403, "requests from other sites are refused"));
          return httplib::Server::HandlerResponse::Handled;
        }
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    http_.set_error_handler([](const Req &, Res &res) {
      if (!res.body.empty()) return;
      const char *text = res.status == 404   ? "not found"
                         : res.status == 413 ? "the body is larger than 64 KiB"
                         : res.status == 405 ? "method not allowed"
                         : res.status == 400 ? "bad request"
                                             : "the request failed";
      send_json(res, error_reply(res.status, text));
    });
    http_.set_exception_handler([](const Req &, Res &res, std::exception_ptr) {
      send_json(res, error_reply(500, "internal error"));
    });
    http_.set_logger([this](const Req &, const Res &res) {
      if (res.status >= 100 && res.status < 600) responses_[res.status].fetch_add(1, std::memory_order_relaxed);
    });

    http_.Get("/api/terminals", [this](const Req &req, Res &res) {
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
        if (v.empty() || v.size() > 10 || v.find_first_not_of("0123456789") != std::string::npos)
          return send_json(res, error_reply(400, "idle_gt: expected a whole number of seconds"));
        idle_gt = std::stoll(v);
      }
      if (req.has_param("prefix")) prefix = req.get_param_value("prefix");
      std::shared_ptr<Listing> listing = fleet_listing();
      if (!listing) return send_json(res, error_reply(503, "the centre did not answer"));
      if (online < 0 && idle_gt < 0 && prefix.empty()) {
        // The whole fleet: one text for every request that shared this copy.
        std::call_once(listing->once, [&] { listing->body = listing->json(nullptr); });
        res.set_content(listing->body, "application/json");
        return;
      }
      const std::int64_t now = listing->now;
      res.set_content(listing->json([&](const Row &row) {
        if (online >= 0 && row.t.online != (online == 1)) return false;
        if (idle_gt >= 0 && (row.t.last_seen_ms <= 0 || (now - row.t.last_seen_ms) / 1000 <= idle_gt)) return false;
        return prefix.empty() || id_text(row.t.id).compare(0, prefix.size(), prefix) == 0;
      }), "application/json");
    });

    http_.Post("/api/terminals/close-all", [this, &sh](const Req &req, Res &res) {
      Json body;
      Reply bad;
      bool tell = false;
      if (!parse_body(req, {"tell"}, &body, &bad) || !bool_field(body, "tell", &tell, &bad)) return send_json(res, bad);
      send_json(res, on_loop(svc_, sh, [tell](Service &s) { return Reply{200, Json{{"closed", s.close_all(tell)}}}; }));
    });

    http_.Get(R"(/api/terminals/([^/]+))", [this, &sh](const Req &req, Res &res) {
      Reply bad;
      const std::string id = term_id(req, &bad);
      if (id.empty()) return send_json(res, bad);
      send_json(res, on_loop(svc_, sh, [id, &sh](Service &s) {
        const svc::Terminal *t = s.find(id);
        if (t == nullptr) return error_reply(404, "no terminal with this ID has been heard");
        std::string text;
        append_row_json(text, copy_row(*t, sh), now_ms(), ",\"frames\":" + dump(frames_json(t->recent)));
        return Reply{200, Json::parse(text)};
      }));
    });

    http_.Post(R"(/api/terminals/([^/]+)/send)", [this, &sh](const Req &req, Res &res) {
      Reply bad;
      const std::string id = term_id(req, &bad);
      Json body;
      if (id.empty() || !parse_body(req, {"text", "hex", "expiry"}, &body, &bad)) return send_json(res, bad);
      const bool has_text = body.contains("text"), has_hex = body.contains("hex");
      if (has_text == has_hex) return send_json(res, error_reply(400, "give exactly one of \"text\" and \"hex\""));
      const Json &v = has_text ? body["text"] : body["hex"];
      if (!v.is_string()) return send_json(res, error_reply(400, has_text ? "text: expected a string" : "hex: expected a string"));
      std::string bytes = v.get<std::string>();
      if (has_hex && !parse_hex(v.get<std::string>(), &bytes))
        return send_json(res, error_reply(400, "hex: expected pairs of hex digits (spaces between bytes allowed)"));
      unsigned expiry = 0;
      if (body.contains("expiry")) {
        const Json &e = body["expiry"];
        if (!e.is_number_unsigned() || e.get<std::uint64_t>() > 100000000)
          return send_json(res, error_reply(400, "expiry: expected whole seconds up to 100000000"));
        expiry = static_cast<unsigned>(e.get<std::uint64_t>());
      }
      if (bytes.empty()) return send_json(res, error_reply(400, "nothing to send"));
      if (bytes.size() > 1024) return send_json(res, error_reply(413, "a terminal takes at most 1024 bytes of data"));
      send_json(res, on_loop(svc_, sh, [id, bytes, expiry](Service &s) {
        if (s.find(id) == nullptr) return error_reply(404, "no terminal with this ID has been heard");
        const svc::SendResult r = s.send(id, bytes.data(), bytes.size(), expiry);
        switch (r.status) {
          case svc::SendStatus::kSent: return Reply{200, Json{{"state", "sent"}, {"request", r.handle}}};
          case svc::SendStatus::kQueued: return Reply{202, Json{{"state", "queued"}, {"request", r.handle}}};
          case svc::SendStatus::kDropped:
            return Reply{409, Json{{"error", "the terminal's downlink queue is full"}, {"state", "dropped"}, {"reason", r.reason}}};
          default: return Reply{400, Json{{"error", r.reason}, {"state", "rejected"}, {"reason", r.reason}}};
        }
      }));
    });

    http_.Post(R"(/api/terminals/([^/]+)/close)", [this, &sh](const Req &req, Res &res) {
      Reply bad;
      const std::string id = term_id(req, &bad);
      Json body;
      bool tell = false;
      if (id.empty() || !parse_body(req, {"tell"}, &body, &bad) || !bool_field(body, "tell", &tell, &bad))
        return send_json(res, bad);
      send_json(res, on_loop(svc_, sh, [id, tell](Service &s) {
        const svc::Terminal *t = s.find(id);
        if (t == nullptr) return error_reply(404, "no terminal with this ID has been heard");
        if (!t->online) return error_reply(409, "the terminal is off line");
        if (!s.close(id, tell)) return error_reply(409, "the terminal could not be closed");
        return Reply{200, Json{{"closed", true}}};
      }));
    });

    const auto bound = std::chrono::seconds(svc_.config().request_timeout + 5);
    http_.Post(R"(/api/terminals/([^/]+)/params/read)", [this, &sh, bound](const Req &req, Res &res) {
      Reply bad;
      const std::string id = term_id(req, &bad);
      Json body;
      if (id.empty() || !parse_body(req, {}, &body, &bad)) return send_json(res, bad);
      send_json(res, on_loop_later(svc_, sh, [id](Service &s, std::function<void(Reply)> answer) {
        const svc::Terminal *t = s.find(id);
        if (t == nullptr) return answer(error_reply(404, "no terminal with this ID has been heard"));
        if (!t->online) return answer(error_reply(409, "offline"));
        s.read_params(id, [answer](const svc::ParamResult &r) { answer(param_reply(r, true)); });
      }, bound));
    });

    http_.Post(R"(/api/terminals/([^/]+)/params)", [this, &sh, bound](const Req &req, Res &res) {
      Reply bad;
      const std::string id = term_id(req, &bad);
      Json body;
      if (id.empty() || !parse_body(req, {"params"}, &body, &bad)) return send_json(res, bad);
      if (!body.contains("params") || !body["params"].is_object() || body["params"].empty())
        return send_json(res, error_reply(400, "params: expected an object of one or more \"tag\": value"));
      std::vector<svc::ParamValue> values;
      for (auto it = body["params"].begin(); it != body["params"].end(); ++it) {
        int tag = 0;
        std::string why;
        if (!svc::parse_tag(it.key(), &tag, &why)) return send_json(res, error_reply(400, "params: tag " + it.key() + ": " + why));
        std::string text;
        if (it->is_string()) text = it->get<std::string>();
        else if (it->is_number_unsigned()) text = std::to_string(it->get<std::uint64_t>());
        else return send_json(res, error_reply(400, "params: tag " + it.key() + ": expected a string or a whole number"));
        svc::ParamValue v;
        if (!svc::parse_param(tag, text, &v, &why)) return send_json(res, error_reply(400, "params: tag " + it.key() + ": " + why));
        values.push_back(std::move(v));
      }
      send_json(res, on_loop_later(svc_, sh, [id, values](Service &s, std::function<void(Reply)> answer) {
        const svc::Terminal *t = s.find(id);
        if (t == nullptr) return answer(error_reply(404, "no terminal with this ID has been heard"));
        if (!t->online) return answer(error_reply(409, "offline"));
        s.write_params(id, values, [answer](const svc::ParamResult &r) { answer(param_reply(r, false)); });
      }, bound));
    });

    http_.Get("/api/catalogue", [](const Req &, Res &res) { send_json(res, Reply{200, catalogue_json()}); });
    http_.Get("/api/events", [this](const Req &req, Res &res) { events(req, res); });

    http_.Get("/metrics", [this, &sh](const Req &, Res &res) {
      auto in = std::make_shared<MetricsInput>();
      Reply r = on_loop(svc_, sh, [in](Service &s) {
        in->counters = s.counters();
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
      for (int code = 100; code < 600; ++code)
        if (auto n = responses_[code].load()) in->http_responses.emplace_back(code, n);
      res.set_content(metrics_text(*in), "text/plain; version=0.0.4; charset=utf-8");
    });

    http_.Get(R"(/(.*))", [this](const Req &req, Res &res) {
      std::string name = req.matches[1].str();
      if (name.empty()) name = "index.html";
      auto it = files_.find(name);
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
    });
  }

  // The page's files, read once: only names found in the folder are served,
  // so no request path can reach outside it.
  void load_files() {
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

  Service &svc_;
  Options options_;
  std::shared_ptr<Shared> shared_;
  httplib::Server http_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::thread listener_, dispatcher_;
  std::mutex streams_m_;
  std::vector<std::shared_ptr<Stream>> streams_;  // guarded by streams_m_
  bool closing_ = false;                          // guarded by streams_m_
  std::shared_ptr<void> pending_listing_;  // the copy posted last (a Pending)
  std::shared_ptr<Listing> last_listing_;  // the newest copy made (sorted); guarded by listing_m
  std::atomic<std::uint64_t> dropped_total_{0};
  std::array<std::atomic<std::uint64_t>, 600> responses_{};
  std::map<std::string, std::pair<const char *, std::string>> files_;
};

}  // namespace

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
