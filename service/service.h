// The service core: one event loop that owns the library, keeps the fleet's
// state beside the library's table (bounded: silent off-line terminals are
// forgotten), ends every request (answer or timeout), queues downlinks for
// terminals off line and follows each to the terminal's DataReply, applies
// the address policy and the allow-list, writes capture files, and reports
// everything as typed events.
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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "events.h"
#include "health.h"
#include "names.h"
#include "params.h"
#include "policy.h"
#include "registry.h"

struct uv_loop_s;

namespace dtu::svc {

class Journal;

// What the journal does when it passes journal_max_mb while a sink still
// needs its oldest records.
enum class JournalFull : std::uint8_t {
  kStop,        // refuse new records (no DataAck: the terminals keep their data); health says why
  kDropOldest,  // delete the oldest anyway, counted
};

struct Config {
  std::string bind = "127.0.0.1";      // IPv4 address to bind; "0.0.0.0" = every address
  std::uint16_t port = 5002;           // 0 = a free port, read back with Service::port()
  std::vector<std::string> filters;    // local addresses for the banner's filter list
  bool ack = true;                     // acknowledge user data at once (DataAck)
  unsigned idle_timeout = 300;         // s; an on-line terminal not heard this long is closed; 0 off
  unsigned request_timeout = 30;       // s; a parameter read or write not answered ends
  std::size_t downlink_queue = 10;     // messages waiting per terminal
  std::size_t param_queue = 8;         // parameter reads (and writes) waiting per terminal, each
  unsigned downlink_expiry = 3600;     // s; default life of a queued message
  bool downlink_confirm = true;        // a downlink is done when the terminal's DataReply comes
  unsigned downlink_confirm_timeout = 10;  // s; wait for that DataReply before a resend (at least 1)
  unsigned downlink_retries = 2;       // resends of an unanswered downlink before it is unconfirmed
  std::size_t fleet_max = 10000;       // entries kept in all; past it the longest-silent resting ones go
  unsigned fleet_forget = 86400;       // s; a resting terminal not heard this long is forgotten; 0 never
  AddressPolicy address_policy = AddressPolicy::kFollow;
  std::string allow_list;              // file of IDs and prefixes ("ABC*"); empty = everyone
  // Only registered IDs may log on (the allow-list, when there is one,
  // applies as well); false: every ID the allow-list lets in.
  bool admit_registered_only = false;
  std::string pcap;                    // capture file; empty = none
  unsigned pcap_rotate_mb = 0;         // rotate when the file passes this size; 0 never
  unsigned pcap_keep = 5;              // rotated files kept: FILE.1 .. FILE.N
  bool trace = false;                  // emit a wire event for every datagram
  std::size_t recent_frames = 8;       // frames kept per terminal for debugging
  // Bytes of the UDP socket's receive buffer: what arrives while the loop is
  // busy waits there, and what does not fit the system drops.  0: leave the
  // library's own (65,535 bytes).
  std::size_t receive_buffer = 4u << 20;
  // The journal: with a state directory the centre keeps every event but
  // wire traces, its downlink queues, parameter requests and fleet in
  // STATE_DIR/journal.db, and finds them there after a restart.  Empty:
  // memory only, as without it.
  std::string state_dir;
  // With a journal and `ack` on: a terminal's DataAck goes out once its
  // frame's record is on disk, in the order the frames came.  false: at once.
  bool ack_on_commit = true;
  std::size_t journal_max_mb = 1024;       // size past which the oldest records every sink is done with go
  unsigned journal_retention = 604800;     // s; records older than this go; 0 no age limit
  JournalFull journal_full = JournalFull::kStop;
  unsigned journal_group_ms = 5;           // a group of records is committed (one fsync) after this long,
  std::size_t journal_group_records = 256;  // or once it holds this many, whichever comes first
  // For tests: the journal's disk fault (JournalConfig::fault).
  std::function<int()> journal_fault;
};

// Checks the fields that can be wrong (bind address, filters, sizes); false
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

// The fleet state of one terminal ID (kept after it goes off line, until it
// has been silent for Config::fleet_forget or the fleet passes fleet_max).
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
                downlinks_dropped = 0, downlinks_delivered = 0, downlinks_unconfirmed = 0,
                downlinks_resent = 0;
  std::uint64_t terminals_forgotten = 0;  // fleet entries let go (silent, off line, nothing waiting)
  std::size_t terminals_known = 0;        // fleet entries now
  std::uint64_t param_timeouts = 0;
  std::uint64_t idle_expiries = 0;
  std::uint64_t receive_errors = 0;  // receive calls that failed without a datagram
  std::uint64_t kernel_drops = 0;    // datagrams the system dropped, the socket's buffer full
  // Terminals whose logon was refused, by reason ("table-full"): each
  // counted once until it gets in; every refused attempt in the other count.
  std::map<std::string, std::uint64_t> logons_refused;
  std::uint64_t refused_logon_attempts = 0;
  int online = 0;               // terminals on line now
};

enum class SendStatus {
  kSent,      // handed to the socket now (with confirmation on, delivered or unconfirmed follows)
  kQueued,    // waits for the terminal to be heard (downlink_queued event)
  kDropped,   // the terminal's queue is full (downlink_dropped event)
  kRejected,  // bad request: see SendResult::reason; no event
};
struct SendResult {
  SendStatus status = SendStatus::kRejected;
  CommandResult reason = CommandResult::kOk;  // kRejected: kEmpty, kTooLarge, kBadId or
                                // kUnknownId; kDropped: kQueueFull
  std::uint64_t handle = 0;     // names the message in later downlink_* events; 0 if rejected
};

// What became of one downlink, by the handle send() gave it.  Kept while it
// is under way and for the last few thousand that ended.
struct DownlinkInfo {
  std::uint64_t request = 0;
  std::string id;
  DownlinkState state = DownlinkState::kQueued;  // never kRejected
  std::string reason;           // why it ended, for unconfirmed / expired / dropped
  std::size_t length = 0;
  unsigned sends = 0;           // times written to the socket
  std::int64_t created_ms = 0, updated_ms = 0;  // system clock, ms since 1970 UTC
};

// The end of a parameter read or write: ok with values (read) or an error
// (kTimeout, kOffline, kStopped, kSendFailed, kBadValue, kBadId, kQueueFull,
// kMoved).
struct ParamResult {
  std::uint64_t request = 0;
  std::string id;
  bool ok = false;
  CommandResult error = CommandResult::kOk;  // kOk when ok
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
  // on the loop thread, once the operation that reported it is over (a sink
  // that calls back in sees the table settled).  Sinks must return quickly.
  void subscribe(std::function<void(const Event &)> sink);

  // Opens the journal of Config::state_dir and reads back what it holds
  // (start() does it first when it has not been done); true at once
  // without a state directory.  False with the reason in *error and the
  // program's exit code in *exit_code: 3, the directory cannot be created
  // or written or another centre holds it; 4, the file is damaged.
  bool open_journal(std::string *error, int *exit_code = nullptr);
  // The journal, for front ends that read it; nullptr when memory only.
  Journal *journal();

  // Opens the library's server on the calling thread (the future loop
  // thread): start event with the banner, then what the journal held is
  // put back (the fleet off line, downlinks queued again with what they had
  // left to live, requests ended with a timeout, handles going on).  False
  // with the library's or the system's text in *error (nothing started).
  bool start(std::string *error);
  // Runs the loop on the calling thread until stop(); calls start() first if
  // it has not been.  On the way out: queued downlinks dropped
  // ("centre-stopped"; with a journal they stay in it for the next start
  // instead, without an event), pending requests ended ("stopped"), the
  // library stopped, stop event.  Returns 0, or 1 when the start failed.
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
  // Every terminal in no particular order, without copying (a reader that
  // wants a few fields of many terminals).
  void for_each_terminal(const std::function<void(const Terminal &)> &fn) const;
  const Counters &counters() const;
  // Rows of the library's table: the most terminals on line at once.
  int capacity() const;
  // Whether a command may name this ID: the fleet state holds it, the
  // registry has it, or the allow-list names that exact ID (a prefix is
  // not enough).  Every other ID
  // is refused "unknown-id" by send() and the command layer.
  bool addressable(std::string_view id) const;
  // For tests: moves the core's clock on by `ms` and runs the once-a-second
  // work now (idle terminals, late requests and confirmations, expired
  // downlinks, silent terminals forgotten), so timeouts pass without waiting.
  void advance_clock(unsigned ms);

  // User data (1..1024 bytes) to a terminal: sent now when it is on line
  // (and, with confirmation on, nothing else of it awaits its DataReply),
  // otherwise queued for `expiry_s` seconds (0: Config::downlink_expiry) and
  // sent when it is next heard.  An ID the fleet state does not hold is
  // refused ("unknown-id", nothing kept) unless the allow-list names that
  // exact ID: a mistyped ID does not start a queue.
  SendResult send(std::string_view id, const void *data, std::size_t length,
                  unsigned expiry_s = 0);
  // The state of a downlink by its handle; nothing for one never made or
  // long ended.
  std::optional<DownlinkInfo> downlink(std::uint64_t request) const;

  // Takes a terminal off line (tell: send it a LogoutCmd first): closed
  // event.  False when it is not on line.
  bool close(std::string_view id, bool tell);
  // Every on-line terminal; the number closed.
  int close_all(bool tell);

  // Parameter read / write: the handle, and later either a param_read /
  // param_set event or a timeout event, and the callback (may be empty).  One
  // read and one write per terminal are on the wire at a time; later ones
  // wait in order.  A terminal off line ends the request at once (the
  // callback runs before the call returns, error "offline"; called from a
  // sink, once that sink has returned).  A write's
  // values are checked first ("bad-value", nothing sent).
  std::uint64_t read_params(std::string_view id, ParamCallback done = {});
  std::uint64_t write_params(std::string_view id, std::vector<ParamValue> values,
                             ParamCallback done = {});
  // At most Config::param_queue reads (and as many writes) wait per
  // terminal, the one on the wire included; one more ends at once with error
  // "queue-full".

  // The caller of a read or write has gone: a request still waiting its turn
  // ends (error event "cancelled", its callback not called); the one on the
  // wire runs on to its answer or timeout without calling its callback.
  // False for a handle that is not pending.
  bool cancel(std::uint64_t request);

  // The centre's health rows (health.h).  set_health() stores a part's row
  // and, when its state or reason changed, emits a health event.
  void set_health(HealthRow row);
  const Health &health() const;

  // Closes and reopens the capture file (after logrotate moved it: SIGHUP).
  void reopen();

  // ---- the registry (loop thread only) ----
  // What the operator registered for this ID; nullptr when not registered.
  const TerminalMeta *meta(std::string_view id) const;
  const Registry &registry() const;
  // Registers the ID or replaces its entry (kept in the journal when there
  // is one).  False, nothing changed, with the bad field ("id", "name", ...)
  // in *field and a one-line reason in *error.
  bool set_meta(std::string_view id, TerminalMeta m, std::string *field, std::string *error);
  // Unregisters the ID; false when it was not registered.
  bool erase_meta(std::string_view id);
  // IDs refused at logon for not being registered (admit_registered_only),
  // with when each was last refused (ms since 1970 UTC); the most recent
  // kUnregisteredKept.
  static constexpr std::size_t kUnregisteredKept = 1024;
  const std::map<std::string, std::int64_t> &unregistered_seen() const;
  // The IDs a selector names, among the fleet and the registry, sorted.
  std::vector<std::string> select(const Selector &selector) const;

  // The allow-list, read again from its file; false (the old list kept) with
  // a reason when it cannot be read.
  bool reload_allow_list(std::string *error);

  // ---- for front ends that acknowledge user data themselves (ack = false) ----
  // Sends the DataAck for user data of `id` received from `peer` (a data
  // event's id and peer).  False for a malformed ID or a failed send.
  bool ack_data(std::string_view id, const Endpoint &peer);

  // A queued downlink given back by hand_over(): its handle, its bytes and
  // the seconds it had left to live (at least 1).
  struct HandedDownlink {
    std::uint64_t handle = 0;
    std::vector<std::uint8_t> bytes;
    unsigned expiry_s = 0;
  };
  // The terminal is held by another centre now: taken off line here without
  // being told (closed event, reason "moved") when it is on line, its
  // parameter requests ended (error "moved"), and its queued downlinks taken
  // out (no downlink events) and returned oldest first, for the caller to
  // pass on.
  std::vector<HandedDownlink> hand_over(std::string_view id);

  struct Impl;

 private:
  Config config_;
  std::unique_ptr<Impl> impl_;
};


}  // namespace dtu::svc
