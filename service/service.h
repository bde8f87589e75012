// The service core: one event loop that owns the library, keeps the fleet's
// state beside the library's table, ends every request (answer or timeout),
// queues downlinks for terminals off line, applies the address policy and the
// allow-list, writes capture files, and reports everything as typed events.
//
// Threads.  run() turns the calling thread into the loop thread; it makes
// every library call.  post() and stop() may be called from any thread; every
// other member is for the loop thread only (from a posted function, a timer
// of every(), or an event sink).  The library is one per process, so is the
// Service: construct one at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "events.h"
#include "params.h"

struct uv_loop_s;

namespace dtu::svc {

struct Config {
  std::string bind = "127.0.0.1";      // IPv4 address to bind; "0.0.0.0" = every address
  std::uint16_t port = 5002;           // 0 = a free port, read back with Service::port()
  std::vector<std::string> filters;    // local addresses for the banner's filter list
  bool ack = true;                     // acknowledge user data at once (DataAck)
  unsigned idle_timeout = 300;         // s; an on-line terminal not heard this long is closed; 0 off
  unsigned request_timeout = 30;       // s; a parameter read or write not answered ends
  std::size_t downlink_queue = 10;     // messages waiting per terminal
  unsigned downlink_expiry = 3600;     // s; default life of a queued message
  std::string address_policy = "follow";  // "follow" | "logon-only"
  std::string allow_list;              // file of IDs and prefixes ("ABC*"); empty = everyone
  std::string pcap;                    // capture file; empty = none
  unsigned pcap_rotate_mb = 0;         // rotate when the file passes this size; 0 never
  unsigned pcap_keep = 5;              // rotated files kept: FILE.1 .. FILE.N
  bool trace = false;                  // emit a wire event for every datagram
  std::size_t recent_frames = 8;       // frames kept per terminal for debugging
};

// Checks the fields that can be wrong (bind address, policy, sizes); false
// with a one-line reason.
bool validate(const Config &config, std::string *error);

// Per-direction counts of frame kinds.
struct KindCounts {
  std::uint64_t logon = 0, logout = 0, data = 0, data_reply = 0, invalid = 0,
                param_read = 0, param_set = 0, id_report = 0, other = 0;
};
struct OutCounts {
  std::uint64_t acks = 0;       // LogonAck, DataAck, NotLoggedOn, InvalidCmdReply
  std::uint64_t downlinks = 0;  // UserDataDown
  std::uint64_t commands = 0;   // LogoutCmd
  std::uint64_t params = 0;     // ParamRead, ParamSet requests
};

struct RecentFrame {
  std::int64_t time_ms = 0;
  bool inbound = false;
  const char *kind = "";        // "logon", "user_data", "data_ack", ...
  std::vector<std::uint8_t> bytes;
};

// The fleet state of one terminal ID (kept after it goes off line).
struct Terminal {
  std::string id;
  bool online = false;          // from the library's table
  int slot = -1;
  Endpoint peer;                // address of its last accepted datagram
  Endpoint reported;            // address stated in its logon
  std::int64_t logon_time_ms = 0;
  std::int64_t first_seen_ms = 0;
  std::int64_t last_seen_ms = 0;
  std::uint64_t datagrams_in = 0, datagrams_out = 0, bytes_in = 0, bytes_out = 0;
  KindCounts in;
  OutCounts out;
  std::uint64_t addr_changes = 0;
  std::uint64_t duplicate_logons = 0;
  std::size_t queued_downlinks = 0;
  std::deque<RecentFrame> recent;  // newest last, at most Config::recent_frames
};

struct Counters {
  std::uint64_t datagrams_in = 0, datagrams_out = 0, bytes_in = 0, bytes_out = 0;
  KindCounts in;
  OutCounts out;
  std::uint64_t addr_changes = 0, duplicate_logons = 0;
  std::map<std::string, std::uint64_t> rejected;  // by reason
  std::uint64_t downlinks_queued = 0, downlinks_sent = 0, downlinks_expired = 0,
                downlinks_dropped = 0;
  std::uint64_t param_timeouts = 0;
  std::uint64_t idle_expiries = 0;
  std::uint64_t receive_errors = 0;  // receive calls that failed without a datagram
  int online = 0;               // terminals on line now
};

enum class SendStatus {
  kSent,      // handed to the socket now
  kQueued,    // waits for the terminal to be heard (downlink_queued event)
  kDropped,   // the terminal's queue is full (downlink_dropped event)
  kRejected,  // bad request: see SendResult::reason; no event
};
struct SendResult {
  SendStatus status = SendStatus::kRejected;
  std::string reason;           // kRejected: "empty" | "too-large" | "bad-id"; kDropped: "queue-full"
  std::uint64_t handle = 0;     // names the message in later downlink_* events; 0 if rejected
};

// The end of a parameter read or write: ok with values (read) or an error
// ("timeout", "offline", "stopped", "send-failed", "bad-value", "bad-id").
struct ParamResult {
  std::uint64_t request = 0;
  std::string id;
  bool ok = false;
  std::string error;
  std::vector<ParamValue> values;  // read: the values the terminal reported
};
using ParamCallback = std::function<void(const ParamResult &)>;

class Service {
 public:
  explicit Service(Config config);
  ~Service();  // stops the library if it is still running
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;

  // Before start(): every event goes to every sink, in subscription order,
  // on the loop thread.  Sinks must return quickly.
  void subscribe(std::function<void(const Event &)> sink);

  // Opens the library's server on the calling thread (the future loop
  // thread): start event with the banner.  False with the library's or the
  // system's text in *error (nothing started).
  bool start(std::string *error);
  // Runs the loop on the calling thread until stop(); calls start() first if
  // it has not been.  On the way out: queued downlinks dropped
  // ("centre-stopped"), pending requests ended ("stopped"), the library
  // stopped, stop event.  Returns 0, or 1 when the start failed.
  int run();
  // Any thread: ends run() soon (the loop finishes the current callback).
  void stop();
  // Any thread: runs fn on the loop thread, in the order posted.  Functions
  // posted after the loop ended are dropped.
  void post(std::function<void(Service &)> fn);

  // Loop thread: fn every `ms` milliseconds while the loop runs.
  void every(unsigned ms, std::function<void(Service &)> fn);
  // The loop, for front ends that add their own handles (signals, streams)
  // before or during run().
  uv_loop_s *loop();

  const Config &config() const { return config_; }
  std::uint16_t port() const;        // the bound port (after start)
  std::uint32_t bound_address() const;  // host order

  // ---- loop thread only ----
  const Terminal *find(std::string_view id) const;  // nullptr for an ID never seen
  std::vector<Terminal> terminals() const;          // snapshot, sorted by ID
  const Counters &counters() const;

  // User data (1..1024 bytes) to a terminal: sent now when it is on line,
  // otherwise queued for `expiry_s` seconds (0: Config::downlink_expiry) and
  // sent when it is next heard.  An ID never seen is queued too.
  SendResult send(std::string_view id, const void *data, std::size_t length,
                  unsigned expiry_s = 0);

  // Takes a terminal off line (tell: send it a LogoutCmd first): closed
  // event.  False when it is not on line.
  bool close(std::string_view id, bool tell);
  // Every on-line terminal; the number closed.
  int close_all(bool tell);

  // Parameter read / write: the handle, and later either a param_read /
  // param_set event or a timeout event, and the callback (may be empty).  One
  // read and one write per terminal are on the wire at a time; later ones
  // wait in order.  A terminal off line ends the request at once (the
  // callback runs before the call returns, error "offline").  A write's
  // values are checked first ("bad-value", nothing sent).
  std::uint64_t read_params(std::string_view id, ParamCallback done = {});
  std::uint64_t write_params(std::string_view id, std::vector<ParamValue> values,
                             ParamCallback done = {});

  // Closes and reopens the capture file (after logrotate moved it: SIGHUP).
  void reopen();

  // The allow-list, read again from its file; false (the old list kept) with
  // a reason when it cannot be read.
  bool reload_allow_list(std::string *error);

  struct Impl;

 private:
  Config config_;
  std::unique_ptr<Impl> impl_;
};

// The allow-list file: one entry per line, '#' starts a comment, blank lines
// ignored; an entry ending in '*' is a prefix, any other an exact ID.
class AllowList {
 public:
  // False with "FILE:LINE: reason" for an entry longer than 11 bytes.
  bool load(const std::string &path, std::string *error);
  bool parse(std::string_view text, std::string *error);
  bool allows(std::string_view id) const;
  bool empty() const { return exact_.empty() && prefixes_.empty(); }

 private:
  std::vector<std::string> exact_;
  std::vector<std::string> prefixes_;
};

}  // namespace dtu::svc
