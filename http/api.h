// The HTTP front end's insides, shared by the files that make it up:
//   api_input.cpp     replies, request bodies and fields, the checks on who asks
//   routes.cpp        the route table and one handler per route
//   event_stream.cpp  events from the loop to the /api/events clients
//   server.cpp        the front end's life: open, stop, fleet copies, the page's files
//   history.cpp       the journal's records, paged and streamed
//   history_summary.cpp  counts per time bucket out of the journal
// Only those files include it.
#pragma once

#include <dirent.h>
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

#include "command.h"
#include "events.h"
#include "http.h"
#include "json_input.h"
#include "render.h"
#include "wire.h"

namespace dtu::http::api {

using Clock = std::chrono::steady_clock;
using svc::Service;
using Req = wire::Request;
using Res = wire::Response;

constexpr std::size_t kMaxBody = 64 * 1024;      // request bodies
constexpr std::size_t kStreamQueue = 4096;       // events waiting per stream client
constexpr std::size_t kHandoffQueue = 65536;     // events waiting for the dispatcher
constexpr std::size_t kMaxStreams = 16;          // event-stream clients at once
constexpr std::size_t kReplayPage = 128;         // journal records read per turn of the service's loop
constexpr std::uint64_t kReplayMax = 100000;     // records one resuming client is replayed at most
constexpr std::size_t kPoolThreads = 8;          // handlers; no connection holds one while it waits
constexpr auto kLoopBound = std::chrono::seconds(5);  // a posted read must be answered within
// A fleet listing this young serves later requests as it is, so however fast
// clients ask, copying the fleet costs the loop at most a few passes a second.
constexpr std::int64_t kListingReuseMs = 250;

inline bool starts_with(const std::string &s, const char *p) { return s.rfind(p, 0) == 0; }

// ---- state shared with the loop thread ------------------------------------

// One stream client: its filters and its bounded queue of formatted events
// (each a whole Server-Sent Event: its `id:` line when it is journaled, its
// `data:` line), which the connection layer pulls as the client takes them.
//
// A client that comes back with Last-Event-ID is replayed the journal's
// records after that seq first (event_replay.cpp), a page per turn of the
// service's loop; meanwhile the live events it matches are held aside,
// complete from `live_from` on, and when the replay reaches them they follow
// without a gap (the replay goes on up to them) or a repeat (those the
// replay sent are skipped by seq).
struct Stream {
  std::string id;              // raw ID; empty: every terminal
  std::array<bool, svc::kEventTypeCount> types{};
  bool fleet = false;          // wants the per-second fleet rows
  std::shared_ptr<wire::Feed> feed;  // set before the stream is listed
  std::mutex m;
  std::deque<std::shared_ptr<const std::string>> queue;  // guarded by m
  std::uint64_t dropped = 0;   // guarded by m
  bool opened = false;         // guarded by m: the opening lines are out
  bool stop_sent = false;      // guarded by m: the stop event is queued

  // ---- resuming (guarded by m) ----
  std::atomic<bool> replaying{false};  // the journal's records are being sent (set under m)
  std::uint64_t replayed = 0;  // every record up to this seq is sent (or passed over)
  std::uint64_t live_from = 0; // `held` has every live event it matches from this seq on; 0: none seen yet
  std::deque<std::pair<std::uint64_t, std::shared_ptr<const std::string>>> held;  // live events, by seq
  std::string lost;            // the `lost` event to send first, or empty
  bool started = false;        // loop thread only: the replay's first step has run

  // The stream wants this event (its type and terminal).
  bool wants(const svc::Event &e) const {
    return types[static_cast<int>(e.type)] && (id.empty() || id == e.id);
  }

  // The text to send now: the opening lines first, then a note of events
  // lost, then the queued events.
  std::string take() {
    std::string out;
    std::lock_guard<std::mutex> g(m);
    if (!opened) {
      opened = true;
      out = "retry: 2000\n: stream open\n\n";
    }
    if (!lost.empty()) out += "data: " + lost + "\n\n";
    lost.clear();
    if (dropped)
      out += "data: {\"event\":\"dropped\",\"count\":" + std::to_string(dropped) +
             ",\"text\":\"this client fell behind; the oldest events were dropped\"}\n\n";
    dropped = 0;
    for (auto &block : queue) out += *block;
    queue.clear();
    return out;
  }
};

// What the loop hands to the dispatcher: an event, or a batch of fleet rows.
struct Item {
  std::shared_ptr<const svc::Event> event;
  svc::TerminalMeta names;  // the event's terminal's name and group, copied on the loop (registered only)
  std::shared_ptr<std::vector<Row>> rows;
  std::int64_t now = 0;
};

struct HistoryJob;  // history.cpp

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
  std::atomic<std::uint64_t> replayed{0};  // journal records sent to resuming clients
  std::mutex listing_m;  // guards the started flag of a posted fleet copy, and the newest copy

  // Loop thread only.
  std::uint64_t last_seq = 0;  // the newest journaled event handed over
  std::vector<std::weak_ptr<Stream>> resuming;  // streams whose replay waits (a commit, or their client)
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

// ---- replies ----------------------------------------------------------------

struct Reply {
  int status = 200;
  Json body;
};

inline Reply error_reply(int status, std::string text) { return {status, Json{{"error", std::move(text)}}}; }

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

// A fleet copy posted to the loop, which the requests that arrive before
// the loop begins it wait for too.
struct PendingListing {
  bool started = false;  // guarded by Shared::listing_m
  std::promise<std::shared_ptr<Listing>> promise;
  std::shared_future<std::shared_ptr<Listing>> result;
};

Row copy_row(const svc::Terminal &t, const Shared &sh, const svc::TerminalMeta *meta = nullptr);
// The rows of IDs the fleet does not hold: registered ones never heard (or
// forgotten), and those refused for not being registered.  Loop thread.
void add_registry_rows(const Service &s, const Shared &sh, std::vector<Row> *rows);
void send_json(Res &res, const Reply &r);
// Runs fn on the loop and waits (bounded) for its reply.  503 when the loop
// does not answer: the service is stopping.
Reply on_loop(Service &svc, const Shared &sh, std::function<Reply(Service &)> fn, Clock::duration bound = kLoopBound);
// For work that answers later through a callback (a terminal's answer): the
// HTTP answer is deferred, so no server thread waits meanwhile.  fn runs on
// the loop with a function to call once with the reply, and returns the
// service's request handle (0 for none).  When the client goes, or `bound`
// passes first (504), that request is cancelled.
void answer_later(Service &svc, const Shared &sh, Res &res, std::function<std::uint64_t(Service &, std::function<void(Reply)>)> fn, Clock::duration bound);
// The body as a JSON object (an empty body is an empty object); every key
// must be one of `allowed`.
// ---- resuming event streams (event_replay.cpp) ----
// Where a client resumes: Last-Event-ID (the header; else ?last_event_id=).
// False with a 400 for a value that is not a record number; *after 0 (and
// true) when it asks for none.
bool resume_point(const Req &req, std::uint64_t *after, Reply *bad);
// Loop thread: starts (or goes on with) the replay of `s` from the journal:
// one page per call, the next posted while pages are full; a stream that
// waits (for a commit, or for its client to take what it has) is listed in
// sh.resuming for the timer.
void replay_step(Service &svc, const std::shared_ptr<Shared> &sh, const std::shared_ptr<Stream> &s);
// Loop thread, from a timer: every waiting replay one step on.
void replay_waiting(Service &svc, const std::shared_ptr<Shared> &sh);
// One event as a whole Server-Sent Event; `meta` (nullptr: not
// registered) adds the terminal's name and group.
std::string sse_block(const svc::Event &e, const svc::TerminalMeta *meta = nullptr);
bool parse_body(const Req &req, std::initializer_list<const char *> allowed, Json *out, Reply *bad);
bool bool_field(const Json &body, const char *key, bool *out, Reply *bad);
bool parse_hex(const std::string &text, std::string *out);
// The HTTP status of a command result (downlink: a send's answer, where a
// full queue is a conflict rather than "try later").
int http_status(svc::CommandResult r, bool downlink);
Reply param_reply(const svc::ParamResult &r, bool read);
// The bodies of a send and a parameter write ({"text"|"hex", "expiry"},
// {"params": {...}}), checked; false with a 400 naming the bad field.
bool downlink_body(const Json &body, std::string *bytes, unsigned *expiry, Reply *bad);
bool write_values(const Json &body, std::vector<svc::ParamValue> *values, Reply *bad);
// A send's answer, the same for one terminal or many.
Reply send_reply(const svc::SendOutcome &r);
// Accepts a Host header naming an address literal or localhost: with no
// token, a page of another site that has its name resolve to this machine
// (DNS rebinding) is refused.
bool local_host_header(const std::string &host);
bool same_text(const std::string &a, const std::string &b);
bool parse_listen(const std::string &listen, std::string *host, int *port, std::string *error);
const char *mime_of(const std::string &name);
// The server's threads (its loop, its handlers, the event dispatcher) yield
// to the rest of the process as Options::priority says: "idle" (SCHED_IDLE),
// "nice" (nice +19, the default) or "normal".  When the machine is short of
// CPU, the loop that answers the terminals goes first and the operator's
// window waits.
void background(const std::string &how);

// ---- the front end ------------------------------------------------------------

class Server final : public Front {
 public:
  Server(Service &svc, Options options) : svc_(svc), options_(std::move(options)), shared_(std::make_shared<Shared>()) {}

  bool open(std::string *error);

  // The events already handed over (the stop event among them) reach the
  // streams first; then every stream ends with its closing chunk, every
  // waiting answer gets 503, and every connection closes.
  ~Server() override;

  std::uint16_t port() const override { return port_; }
  std::string url() const override { return "http://" + host_ + ":" + std::to_string(port_) + "/"; }

 private:
  // ---- events: loop thread -> dispatcher -> streams ----
  void subscribe();
  void dispatch();
  static std::string format(const Item &item);
  void events(const Req &req, Res &res);
  // The dispatcher's part of a stream: the event or rows in `line` queued
  // (or held while it replays).  True when the stream has news.
  bool offer(Stream &s, const Item &item, std::shared_ptr<const std::string> &line);

  // The fleet as the loop sees it after this call began.  Requests that
  // arrive while a copy is posted but not yet begun wait for that one, so
  // a burst of listings costs the loop one pass, not one per request.
  std::shared_ptr<Listing> fleet_listing();

  // ---- routes ----
  // A terminal's answer may take the service's whole request timeout.
  std::chrono::seconds param_bound() const { return std::chrono::seconds(svc_.config().request_timeout + 5); }

  std::string term_id(const Req &req, Reply *bad);

  // The API, one handler per route.  The first route whose pattern matches
  // the whole decoded path wins, so the catch-all for the page's files is last.
  struct Route {
    const char *method;  // GET also serves HEAD
    const char *pattern;
    void (Server::*handler)(const Req &, Res &);
  };

  // Every API request passes here first: with no token only a Host header
  // naming this machine is let in, with one the token must match, and a
  // write from a page of another site is refused.
  wire::Server::HandlerResponse admit(const Req &req, Res &res);
  void routes();
  void list_terminals(const Req &req, Res &res);
  void close_all(const Req &req, Res &res);
  void get_terminal(const Req &req, Res &res);
  void send_downlink(const Req &req, Res &res);
  void close_terminal(const Req &req, Res &res);
  void read_params(const Req &req, Res &res);
  void write_params(const Req &req, Res &res);
  void get_downlink(const Req &req, Res &res);
  // registry_api.cpp: a terminal's registry entry, the CSV export and
  // import, and commands to every terminal a selector names.
  void get_meta(const Req &req, Res &res);
  void put_meta(const Req &req, Res &res);
  void patch_meta(const Req &req, Res &res);
  void delete_meta(const Req &req, Res &res);
  void export_registry(const Req &req, Res &res);
  void import_registry(const Req &req, Res &res);
  void select_send(const Req &req, Res &res);
  void select_params(const Req &req, Res &res);
  // history.cpp: GET /api/history and /api/terminals/{id}/history.
  void history(const Req &req, Res &res);
  void terminal_history(const Req &req, Res &res);
  void answer_history(const Req &req, Res &res, const std::string &id);
  void history_reader();  // the reader thread's body
  void read_page(const std::shared_ptr<HistoryJob> &job);
  // history_summary.cpp: GET /api/history/summary, computed by the reader.
  void history_summary(const Req &req, Res &res);

  void catalogue(const Req &, Res &res) { send_json(res, Reply{200, catalogue_json()}); }

  // For probes: 200 while every part of the centre is well, 503 with the
  // problems otherwise (a loop that does not answer is one too).
  void health(const Req &, Res &res);
  void metrics(const Req &, Res &res);
  void static_file(const Req &req, Res &res);

  // The page's files, read once: only names found in the folder are served,
  // so no request path can reach outside it.
  void load_files();

  Service &svc_;
  Options options_;
  std::shared_ptr<Shared> shared_;
  wire::Server http_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::thread dispatcher_;
  std::mutex streams_m_;
  std::vector<std::shared_ptr<Stream>> streams_;  // guarded by streams_m_
  bool closing_ = false;                          // guarded by streams_m_
  std::shared_ptr<PendingListing> pending_listing_;  // the copy posted last; guarded by listing_m
  std::shared_ptr<Listing> last_listing_;  // the newest copy made (sorted); guarded by listing_m
  std::atomic<std::uint64_t> dropped_total_{0};
  std::array<std::atomic<std::uint64_t>, 600> responses_{};
  std::map<std::string, std::pair<const char *, std::string>> files_;
  // The history reader: pages for the streamed answers, one at a time.
  std::thread history_thread_;
  std::mutex history_m_;
  std::condition_variable history_cv_;
  std::deque<std::shared_ptr<HistoryJob>> history_jobs_;  // guarded by history_m_
  bool history_stop_ = false;                             // guarded by history_m_
  // Work in steps for the reader (summaries): a step returns true to go
  // again, after the pages and steps queued meanwhile.
  std::deque<std::function<bool()>> history_tasks_;        // guarded by history_m_
};

}  // namespace dtu::http::api
