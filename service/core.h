// Inside the service core: its state, one struct shared by the files that
// each do one of its jobs (loop.cpp: delivery, the tick, posted work;
// wire.cpp: the datagram tap, capture, trace and reading; fleet.cpp: the
// terminals' state and one handler per frame kind; downlinks.cpp;
// requests.cpp: parameter reads and writes; journaling.cpp: what the
// journal keeps and gives back; service.cpp: the public calls).
// For the service's own files only.
#pragma once

#include <sys/time.h>
#include <uv.h>

#include <array>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dtucentre.h"
#include "journal.h"
#include "pcap_writer.h"
#include "service.h"

namespace dtu::svc {

constexpr int kReadsPerWakeup = 256;    // datagrams per loop turn before others get a go
constexpr std::size_t kRejectedBytes = 32;
constexpr std::size_t kEndedDownlinksKept = 4096;  // ended downlinks still answered by Service::downlink
constexpr std::uint64_t kHoldBackMs = 60000;  // the longest a terminal's frames wait behind a refused one

// The library's frame codes and send_cmd kinds, under this file's names.
enum Code : int {
  kLogon = DTU_CODE_LOGON, kLogout = DTU_CODE_LOGOUT, kInvalidCmd = DTU_CODE_INVALID_CMD,
  kDataReply = DTU_CODE_DATA_REPLY, kUserData = DTU_CODE_USER_DATA, kParamReadReply = DTU_CODE_PARAM_READ_REPLY,
  kParamSetReply = DTU_CODE_PARAM_SET_REPLY, kIdReport = DTU_CODE_ID_REPORT, kLogonAck = DTU_CODE_LOGON_ACK,
  kLogoutCmd = DTU_CODE_LOGOUT_CMD, kNotLoggedOnCmd = DTU_CODE_NOT_LOGGED_ON,
  kInvalidCmdReply = DTU_CODE_INVALID_CMD_REPLY, kDataAck = DTU_CODE_DATA_ACK,
  kUserDataDown = DTU_CODE_USER_DATA_DOWN, kParamRead = DTU_CODE_PARAM_READ, kParamSet = DTU_CODE_PARAM_SET,
};
constexpr int kSendDataAck = DTU_CMD_DATA_ACK, kSendNotLoggedOn = DTU_CMD_NOT_LOGGED_ON;

// The library's GBK texts as UTF-8, line ends trimmed; bytes that do not
// convert shown as \xNN.
std::string library_text(const char *gbk);

// `code` as the datagram tap gave it (DTU_WIRE_NO_CODE: no valid head).
const char *kind_name(int code);

inline std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline bool same_id(const char *a, std::string_view b) {
  return std::strlen(a) == b.size() && std::memcmp(a, b.data(), b.size()) == 0;
}

// A time from gettimeofday in ms since 1970 UTC.
inline std::int64_t ms_of(const timeval &t) { return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_usec / 1000; }

// One datagram as the tap reported it.
struct TapRecord {
  bool inbound = false;
  Endpoint far;
  std::size_t length = 0;       // bytes kept
  std::size_t wire_length = 0;  // real size
  int code = DTU_WIRE_NO_CODE;  // frame code, as the library found the head
  char id[DTU_ID_LENGTH + 1] = {};  // terminal ID; "" without a valid head
  timeval when{};
  std::array<std::uint8_t, DTU_MAX_DATAGRAM> bytes{};
};
struct Downlink {
  std::uint64_t handle = 0;
  std::vector<std::uint8_t> bytes;
  std::uint64_t expires = 0;  // loop time, ms
};
struct Request {
  std::uint64_t handle = 0;
  std::vector<ParamValue> values;  // write
  ParamCallback done;
  std::uint64_t deadline = 0;      // loop time, ms; 0 = not sent yet
};
struct TermState {
  Terminal pub;
  std::uint64_t heard = 0;  // loop time of the last accepted frame
  std::deque<Downlink> downlinks;
  std::deque<Request> reads, writes;
  // The downlink written and waiting for the terminal's DataReply
  // (confirmation on): one at a time, so that a DataReply names it.
  std::optional<Downlink> awaiting;
  std::uint64_t confirm_deadline = 0;  // loop time, ms
  unsigned sends = 0;                  // writes of `awaiting` so far
  // Which index holds it: `active` (on line or something under way) or
  // `resting` (keyed by rest_key, the `heard` it had when it came to rest).
  bool in_active = false, in_resting = false;
  std::uint64_t rest_key = 0;
};
struct EveryTimer {
  uv_timer_t timer{};
  Service::Impl *impl = nullptr;
  std::function<void(Service &)> fn;
};

struct Service::Impl {
  Service *self;
  const Config &config;

  uv_loop_t loop{};
  uv_async_t async{};
  uv_poll_t poll{};
  uv_timer_t tick{};
  uv_check_t check{};  // after each turn's callbacks: the capture is flushed
  std::vector<EveryTimer *> timers;
  bool poll_open = false, tick_open = false;

  std::mutex post_mutex;
  std::vector<std::function<void(Service &)>> posted;  // guarded by post_mutex
  bool accepting = true;                               // guarded by post_mutex
  std::atomic<bool> stop_requested{false};

  DtuNotifier *notifier = nullptr;
  bool started = false, finished = false;
  std::thread::id loop_thread;
  std::uint16_t port = 0;
  std::uint32_t bound = 0;        // host order
  std::uint32_t pcap_local = 0;   // centre address in captures when bound to every address
  bool ack = true;
  AllowList allow;
  Registry registry;
  std::map<std::string, std::int64_t> unregistered_seen;  // see Service::unregistered_seen
  PolicyState policy;  // what the centre's frame handlers apply

  std::vector<std::function<void(const Event &)>> sinks;
  std::unordered_map<std::string, TermState> terms;
  // The tick walks `active` only: terminals on line or with downlinks or
  // requests under way.  The rest wait in `resting`, longest silent first,
  // to be forgotten after fleet_forget or when the fleet passes fleet_max.
  // State changes name their terminal in `touched`; settle() moves it to
  // its index at the end of the loop callback, where no caller holds an
  // entry.
  std::unordered_set<std::string> active;
  std::set<std::pair<std::uint64_t, std::string>> resting;
  std::vector<std::string> touched;
  Counters counters;
  std::uint64_t next_handle = 1;

  // Downlinks under way and the last kEndedDownlinksKept that ended.
  std::unordered_map<std::uint64_t, DownlinkInfo> downlink_log;
  std::deque<std::uint64_t> ended_downlinks;  // oldest first

  // What the tap reported during the current library call.
  TapRecord in;
  bool in_valid = false;
  std::vector<TapRecord> outs = std::vector<TapRecord>(8);
  std::size_t outs_used = 0;

  // Events and request results of the operation under way, handed to the
  // sinks and callbacks once it is over: no sink runs in the middle of an
  // operation, so a sink that calls back in sees a settled table, and what
  // its calls report is queued behind the rest.
  struct Pending {
    Event event;
    ParamCallback done;  // set: a request's result rather than an event
    ParamResult result;
  };
  std::deque<Pending> pending;
  int depth = 0;            // operations under way (a public call inside a posted function, ...)
  bool delivering = false;  // the sinks are being called


  // The core's clock in ms: the loop's time, plus what tests moved it on.
  std::uint64_t clock_offset = 0;
  std::uint64_t clock() { return uv_now(&loop) + clock_offset; }

  PcapWriter pcap;
  Health health;
  CoreHealth core_health;
  DataRecord record{};
  char message[256] = {};

  // ---- the journal (journaling.cpp) ----
  std::unique_ptr<Journal> journal;  // nullptr: memory only
  bool journal_tried = false;        // open_journal() ran
  std::string journal_error;         // why it failed, and the exit code
  int journal_code = 0;
  JournalState restored;             // what it held, put back by start()
  bool ack_on_commit = false;        // DataAcks wait for their frame's commit
  struct CommitAck {
    std::string id;
    Endpoint peer;
    std::uint64_t seq;
  };
  std::deque<CommitAck> commit_acks;  // in seq order: the order the frames came
  // A terminal whose frame the journal refused: its later frames are
  // refused too (no record, no DataAck) until that frame comes again or
  // kHoldBackMs pass, because a terminal takes a DataAck for its oldest
  // frame waiting.  The refused frame's bytes, and when.
  struct Refused {
    std::vector<std::uint8_t> data;
    std::uint64_t since = 0;  // loop time
  };
  std::unordered_map<std::string, Refused> refused;
  std::uint64_t held_back = 0;        // frames refused that way
  std::unordered_set<std::string> fleet_changed;  // fleet rows written at the next tick

  Impl(Service *s, const Config &c) : self(s), config(c) {}

  void assert_loop_thread() const {
    assert(!started || std::this_thread::get_id() == loop_thread);
  }

  // ---- events ----
  void emit(Event &e);
  void defer(ParamCallback done, ParamResult r);
  // Hands what the finished operation reported to the sinks, in order,
  // with whatever they report in turn.
  void deliver();
  // One operation: what it reports is delivered when the outermost ends.
  struct Batch {
    Impl &m;
    explicit Batch(Impl &impl) : m(impl) { ++m.depth; }
    ~Batch() {
      if (--m.depth == 0) m.deliver();
    }
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
  };
  Event make(EventType t, std::string_view id = {}) {
    Event e;
    e.type = t;
    e.id.assign(id.data(), id.size());
    return e;
  }

  void set_health(HealthRow row);

  // ---- wire tap ----
  static void DTU_CALL tap(void *context, const DtuDatagram *d);

  // Capture and trace of one datagram, and the global byte counts.
  void wire(const TapRecord &r);

  void recent(Terminal &t, const TapRecord &r);

  // The datagrams the library sent during the last calls.
  void flush_outs();

  void error_event(const std::string &text, std::string_view id = {}, std::uint64_t request = 0,
                   const char *reason = "");

  // ---- the table ----
  // The slot of the on-line record holding `id`, trying `hint` first; the
  // record into *out.  -1 when it is not on line.
  static int find_slot(std::string_view id, int hint, UserInfo *out);

  void set_online(Terminal &t, bool online);

  // ---- the fleet's bounds ----
  static bool under_way(const TermState &s) {
    return s.pub.online || !s.downlinks.empty() || s.awaiting || !s.reads.empty() || !s.writes.empty();
  }

  void settle(const std::string &id);

  // Settles what changed, then forgets resting terminals silent for
  // fleet_forget and, past fleet_max entries, the longest silent.  Only at
  // the end of a loop callback: it erases entries.
  void trim();

  // ---- the downlink log ----
  void log_downlink(const Downlink &d, const std::string &id, DownlinkState state, const std::string &reason = {},
                    bool ended = false);

  // ---- receiving ----
  // The notifier's descriptor is readable while a datagram waits (it is
  // level-triggered on the server socket, which it set non-blocking): read
  // until the socket is empty, a bounded number per turn of the loop.
  void on_readable();

  // One do_read_proc; false when no datagram was there.
  bool read_one();

  // Reads and dispatches one datagram; false when none was there.
  bool read_dispatch();

  void reject(const char *reason, const Endpoint &src);
  // A logon refused for an ID not registered: counted, and listed.
  void unregistered(const std::string &id);

  // Counts and state for an accepted frame of a known terminal.
  void heard(TermState &s, std::uint64_t KindCounts::*kind);

  // A non-logon frame moved the terminal (follow policy).
  void follow(TermState &s, const Endpoint &src);

  // The library took user data from a terminal the service had as off
  // line (it cannot happen while the service makes every call, but the
  // table is the truth): follow the table.
  TermState *adopt(const std::string &id);

  void dispatch(int rc);

  void on_logon(const std::string &id, TermState *s, const Endpoint &src);
  // One handler per frame kind; `s` is the terminal's entry, nullptr for
  // an ID never seen.
  void on_logout(const std::string &id, TermState *s);
  void on_user_data(const std::string &id, TermState *s, const Endpoint &src);
  void on_not_online(const std::string &id, TermState *s, const Endpoint &src);
  void on_data_reply(const std::string &id, TermState *s, const Endpoint &src);
  void on_invalid(const std::string &id, TermState *s, const Endpoint &src);
  void on_param_reply(const std::string &id, TermState *s, const Endpoint &src, bool read);
  void on_id_report(const std::string &id, TermState *s, const Endpoint &src);

  std::uint32_t get_be32(std::size_t at) const {
    if (at + 4 > in.length) return 0;
    const std::uint8_t *p = in.bytes.data() + at;
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
  }

  void not_logged_on(const std::string &id, const Endpoint &to);

  // The tags a ParamReadReply carried, walked as the library decodes them,
  // with their values as the library hands them back.
  std::vector<ParamValue> reply_values();

  // ---- downlinks ----
  bool write_downlink(const std::string &id, const Downlink &d);

  // A downlink just written for the first time: sent, and with
  // confirmation on it waits for the terminal's DataReply.
  void downlink_written(const std::string &id, Downlink d);

  static bool may_write(const TermState &s) { return s.pub.online && !s.awaiting; }

  void send_queued(const std::string &id);

  // The terminal's DataReply: the downlink awaiting it was delivered.
  void delivered(const std::string &id);

  // The downlink awaiting a DataReply will not get one: its tries are
  // spent ("no-reply") or its terminal left ("offline", "moved",
  // "centre-stopped").  It may have arrived; the centre cannot tell.
  void end_awaiting(const std::string &id, const char *reason);

  // Past its confirm deadline: written again while tries are left, else
  // unconfirmed and the next in the queue goes.
  void confirm_late(const std::string &id, std::uint64_t now);

  void downlink_gone(EventType type, const std::string &id, const Downlink &d, const char *reason);

  // ---- requests ----
  void finish(const std::string &id, Request &req, bool read, CommandResult error);

  // Puts the head request of a queue on the wire, ending the ones that
  // cannot go.
  void start_next(const std::string &id, bool read);

  std::uint64_t request(std::string_view id_view, bool read, std::vector<ParamValue> values,
                        ParamCallback done);

  // A request whose caller has gone.  One still waiting leaves its queue
  // (error "cancelled"); the one on the wire keeps its place until its
  // answer or its timeout, so that a late answer is not taken for the next
  // request, but its callback is dropped.
  bool cancel(std::uint64_t handle);

  void end_all_at_stop();

  // ---- the tick ----
  void on_tick();

  void tick_work();

  // ---- posted work ----
  void run_posted();

  // ---- the journal ----
  bool open_journal(std::string *error, int *exit_code);
  // At start: the fleet, the downlinks and the requests the journal held.
  void restore();
  void restore_fleet(std::vector<Terminal> &terminals);
  void restore_downlinks(std::vector<JournalDownlink> &downlinks);
  // In deliver(), before the sinks: the event's record (e.seq), and for
  // user data the DataAck that waits for its commit.
  void journal_event(Event &e);
  bool hold_back(const Event &e);
  void send_committed_acks(std::uint64_t committed);
  // A downlink's state as log_downlink records it; a request put or ended.
  void journal_downlink(const Downlink &d, const std::string &id, DownlinkState state, bool ended);
  void journal_request(const std::string &id, const Request &r, bool read);
  void journal_request_ended(std::uint64_t handle) {
    if (journal) journal->end_request(handle);
  }
  void fleet_row_changed(const std::string &id) {
    if (journal) fleet_changed.insert(id);
  }
  // Once a second: the fleet rows that changed, the next handle, the
  // health row.
  void journal_tick();
  HealthRow journal_row() const;
  // At the stop: what is waiting committed and its DataAcks sent.
  void journal_stop();
};

}  // namespace dtu::svc
