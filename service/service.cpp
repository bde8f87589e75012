// The service core.  One libuv loop owns the library: it watches the
// notifier's descriptor, receives and dispatches every datagram, makes every
// send and close, and runs the once-a-second tick that ends idle terminals,
// late requests and stale downlinks.  The library's wire tap tells it about
// every datagram in and out; what the tap reports during a library call is
// kept and handled after the call returns, so no sink ever runs inside the
// library.
#include "service.h"

#include <arpa/inet.h>
#include <iconv.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <uv.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "dtucentre.h"
#include "pcap_writer.h"

namespace dtu::svc {
namespace {

constexpr unsigned kMessage = 0x0401;   // the message number given at start (the notifier's descriptor is all we watch)
constexpr int kReadsPerWakeup = 256;    // datagrams per loop turn before others get a go
constexpr std::size_t kRejectedBytes = 32;
const std::string kNoTerminalsId = "00000000000";

enum Code : std::uint8_t {
  kLogon = 0x01, kLogout = 0x02, kInvalidCmd = 0x04, kDataReply = 0x05, kUserData = 0x09,
  kParamReadReply = 0x0B, kParamSetReply = 0x0D, kIdReport = 0x13,
  kLogonAck = 0x81, kLogoutCmd = 0x82, kNotLoggedOnCmd = 0x83, kInvalidCmdReply = 0x84,
  kDataAck = 0x85, kUserDataDown = 0x89, kParamRead = 0x8B, kParamSet = 0x8D,
};
// send_cmd kinds
constexpr int kSendLogonAck = 1, kSendDataAck = 5, kSendNotLoggedOn = 6, kSendInvalidReply = 4;

const char *kind_name(const std::uint8_t *bytes, std::size_t length) {
  if (length < 2 || bytes[0] != 0x7B) return "unknown";
  switch (bytes[1]) {
    case kLogon: return "logon";
    case kLogout: return "logout";
    case kInvalidCmd: return "invalid_cmd";
    case kDataReply: return "data_reply";
    case kUserData: return "user_data";
    case kParamReadReply: return "param_read_reply";
    case kParamSetReply: return "param_set_reply";
    case kIdReport: return "id_report";
    case kLogonAck: return "logon_ack";
    case kLogoutCmd: return "logout_cmd";
    case kNotLoggedOnCmd: return "not_logged_on";
    case kInvalidCmdReply: return "invalid_cmd_reply";
    case kDataAck: return "data_ack";
    case kUserDataDown: return "user_data_down";
    case kParamRead: return "param_read";
    case kParamSet: return "param_set";
    default: return "unknown";
  }
}

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The library's GBK texts as UTF-8, line ends trimmed.  Bytes that do not
// convert are shown as \xNN.
std::string library_text(const char *gbk) {
  std::string in(gbk);
  while (!in.empty() && (in.back() == '\r' || in.back() == '\n' || in.back() == ' ')) in.pop_back();
  std::size_t lead = 0;
  while (lead < in.size() && (in[lead] == '\r' || in[lead] == '\n')) ++lead;
  in.erase(0, lead);
  std::string out;
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd != reinterpret_cast<iconv_t>(-1)) {
    out.resize(in.size() * 4 + 4);
    char *src = in.data();
    std::size_t src_left = in.size();
    char *dst = out.data();
    std::size_t dst_left = out.size();
    while (src_left > 0) {
      if (iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG || dst_left < 5) break;
      // One byte that does not convert: escape it and go on.
      const int n = std::snprintf(dst, dst_left, "\\x%02X", static_cast<unsigned char>(*src));
      dst += n;
      dst_left -= static_cast<std::size_t>(n);
      ++src;
      --src_left;
    }
    out.resize(out.size() - dst_left);
    iconv_close(cd);
    return out;
  }
  for (unsigned char c : in) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      char b[5];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    }
  }
  return out;
}

bool parse_ipv4(const std::string &text, std::uint32_t *host_order) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *host_order = ntohl(a.s_addr);
  return true;
}

// "YYYY-mm-dd HH:MM:SS" in local time, as the library writes logon times.
void local_time_text(char out[20]) {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::strftime(out, 20, "%Y-%m-%d %H:%M:%S", &tm);
}

bool same_id(const char *a, std::string_view b) {
  return std::strlen(a) == b.size() && std::memcmp(a, b.data(), b.size()) == 0;
}

// A free port on `addr` (host order), found by binding one; 0 on failure.
std::uint16_t pick_free_port(std::uint32_t addr) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  socklen_t len = sizeof sa;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
    port = ntohs(sa.sin_port);
  ::close(fd);
  return port;
}

// The first local IPv4 address that is not loopback (host order), or 0.
std::uint32_t first_local_address() {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  std::uint32_t found = 0;
  for (ifaddrs *i = list; i != nullptr && found == 0; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    const std::uint32_t a = ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
    if ((a >> 24) != 127) found = a;
  }
  freeifaddrs(list);
  return found;
}

// A time from gettimeofday in ms since 1970 UTC.
std::int64_t ms_of(const timeval &t) { return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_usec / 1000; }

// One datagram as the tap reported it.
struct TapRecord {
  bool inbound = false;
  Endpoint far;
  std::size_t length = 0;       // bytes kept
  std::size_t wire_length = 0;  // real size
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
};

struct EveryTimer {
  uv_timer_t timer{};
  Service::Impl *impl = nullptr;
  std::function<void(Service &)> fn;
};

}  // namespace

bool validate(const Config &c, std::string *error) {
  std::uint32_t a = 0;
  if (!parse_ipv4(c.bind, &a)) {
    *error = "bind: not an IPv4 address: \"" + c.bind + "\"";
    return false;
  }
  for (const std::string &f : c.filters)
    if (!parse_ipv4(f, &a)) {
      *error = "filters: not an IPv4 address: \"" + f + "\"";
      return false;
    }
  if (c.address_policy != "follow" && c.address_policy != "logon-only") {
    *error = "address_policy: \"" + c.address_policy + "\" is neither follow nor logon-only";
    return false;
  }
  if (c.request_timeout == 0) {
    *error = "request_timeout: must be at least 1 s";
    return false;
  }
  if (c.pcap_rotate_mb > 1024 * 1024) {
    *error = "pcap_rotate_mb: too large";
    return false;
  }
  return true;
}

// ---- the allow-list ---------------------------------------------------

bool AllowList::parse(std::string_view text, std::string *error) {
  std::vector<std::string> exact, prefixes;
  std::size_t line_no = 0, pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    const std::size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) line.remove_prefix(1);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.remove_suffix(1);
    if (line.empty()) continue;
    const bool prefix = line.back() == '*';
    if (prefix) line.remove_suffix(1);
    if (line.size() > DTU_ID_LENGTH || line.find('*') != std::string_view::npos) {
      if (error)
        *error = "line " + std::to_string(line_no) +
                 ": an entry is an ID of at most 11 characters, or such a prefix followed by *";
      return false;
    }
    (prefix ? prefixes : exact).emplace_back(line);
  }
  std::sort(exact.begin(), exact.end());
  exact_ = std::move(exact);
  prefixes_ = std::move(prefixes);
  return true;
}

bool AllowList::load(const std::string &path, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read allow-list " + path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string why;
  if (!parse(ss.str(), &why)) {
    if (error) *error = path + ": " + why;
    return false;
  }
  return true;
}

bool AllowList::allows(std::string_view id) const {
  if (std::binary_search(exact_.begin(), exact_.end(), id)) return true;
  for (const std::string &p : prefixes_)
    if (id.substr(0, p.size()) == p) return true;
  return false;
}

// ---- the core ---------------------------------------------------------

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
  bool ack = true, logon_only = false, allow_active = false;
  AllowList allow;

  std::vector<std::function<void(const Event &)>> sinks;
  std::unordered_map<std::string, TermState> terms;
  Counters counters;
  std::uint64_t next_handle = 1;

  // What the tap reported during the current library call.
  TapRecord in;
  bool in_valid = false;
  std::vector<TapRecord> outs = std::vector<TapRecord>(8);
  std::size_t outs_used = 0;
  bool flushing = false;

  // Set by the policy callbacks for the datagram being dispatched.
  const char *verdict = nullptr;

  PcapWriter pcap;
  DataRecord record{};
  char message[256] = {};

  Impl(Service *s, const Config &c) : self(s), config(c) {}

  void assert_loop_thread() const {
    assert(!started || std::this_thread::get_id() == loop_thread);
  }

  // ---- events ----
  void emit(Event &e) {
    if (e.time_ms == 0) e.time_ms = now_ms();
    for (auto &sink : sinks) sink(e);
  }
  Event make(EventType t, std::string_view id = {}) {
    Event e;
    e.type = t;
    e.id.assign(id.data(), id.size());
    return e;
  }

  // ---- wire tap ----
  static void DTU_CALL tap(void *context, int direction, std::uint32_t addr, int port,
                           const void *bytes, int length, int wire_length) {
    auto *self = static_cast<Impl *>(context);
    TapRecord *r;
    if (direction == DTU_WIRE_IN) {
      r = &self->in;
      self->in_valid = true;
    } else {
      if (self->outs_used == self->outs.size()) self->outs.emplace_back();
      r = &self->outs[self->outs_used++];
    }
    r->inbound = direction == DTU_WIRE_IN;
    r->far = {addr, static_cast<std::uint16_t>(port)};
    r->length = length < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), r->bytes.size());
    r->wire_length = wire_length < 0 ? r->length : static_cast<std::size_t>(wire_length);
    std::memcpy(r->bytes.data(), bytes, r->length);
    gettimeofday(&r->when, nullptr);
  }

  // Capture and trace of one datagram, and the global byte counts.
  void wire(const TapRecord &r) {
    if (r.inbound) {
      ++counters.datagrams_in;
      counters.bytes_in += r.wire_length;
    } else {
      ++counters.datagrams_out;
      counters.bytes_out += r.wire_length;
    }
    if (pcap.is_open()) {
      std::uint32_t local = bound != 0 ? bound : (r.far.addr >> 24) == 127 ? 0x7F000001 : pcap_local;
      std::string why;
      const bool ok = r.inbound ? pcap.write(r.when, r.far.addr, r.far.port, local, port, r.bytes.data(),
                                             r.length, r.wire_length, &why)
                                : pcap.write(r.when, local, port, r.far.addr, r.far.port, r.bytes.data(),
                                             r.length, r.wire_length, &why);
      if (!ok && !why.empty()) error_event(why);
    }
    if (config.trace) {
      Event e = make(EventType::kWire);
      e.time_ms = ms_of(r.when);
      e.peer = r.far;
      e.inbound = r.inbound;
      e.length = r.wire_length;
      e.data.assign(r.bytes.begin(), r.bytes.begin() + static_cast<long>(r.length));
      e.text = kind_name(r.bytes.data(), r.length);
      if (r.length >= 15) e.id = id_of_frame(r.bytes.data());
      emit(e);
    }
  }

  static std::string id_of_frame(const std::uint8_t *bytes) {
    const char *id = reinterpret_cast<const char *>(bytes + 4);
    return std::string(id, strnlen(id, DTU_ID_LENGTH));
  }

  void recent(Terminal &t, const TapRecord &r) {
    if (config.recent_frames == 0) return;
    RecentFrame f;
    if (t.recent.size() >= config.recent_frames) {
      f = std::move(t.recent.front());  // keep its buffer
      t.recent.pop_front();
    }
    f.time_ms = ms_of(r.when);
    f.inbound = r.inbound;
    f.kind = kind_name(r.bytes.data(), r.length);
    f.bytes.assign(r.bytes.begin(), r.bytes.begin() + static_cast<long>(r.length));
    t.recent.push_back(std::move(f));
  }

  // The datagrams the library sent during the last calls.
  void flush_outs() {
    if (flushing) return;  // a sink called back into the service: the outer loop goes on
    flushing = true;
    for (std::size_t i = 0; i < outs_used; ++i) {
      const TapRecord &r = outs[i];
      const std::uint8_t code = r.length >= 2 ? r.bytes[1] : 0;
      OutCounts *per = nullptr;
      if (r.length >= 15) {
        auto it = terms.find(id_of_frame(r.bytes.data()));
        if (it != terms.end()) {
          Terminal &t = it->second.pub;
          ++t.datagrams_out;
          t.bytes_out += r.wire_length;
          per = &t.out;
          recent(t, r);
        }
      }
      auto count = [&](std::uint64_t OutCounts::*field) {
        ++(counters.out.*field);
        if (per) ++(per->*field);
      };
      switch (code) {
        case kUserDataDown: count(&OutCounts::downlinks); break;
        case kLogoutCmd: count(&OutCounts::commands); break;
        case kParamRead:
        case kParamSet: count(&OutCounts::params); break;
        default: count(&OutCounts::acks); break;
      }
      wire(outs[i]);  // may add to outs: the index goes on to them
    }
    outs_used = 0;
    flushing = false;
  }

  void error_event(const std::string &text, std::string_view id = {}, std::uint64_t request = 0,
                   const char *reason = "") {
    Event e = make(EventType::kError, id);
    e.text = text;
    e.request = request;
    e.reason = reason;
    emit(e);
  }

  // ---- the table ----
  // The slot of the on-line record holding `id`, trying `hint` first; the
  // record into *out.  -1 when it is not on line.
  static int find_slot(std::string_view id, int hint, UserInfo *out) {
    UserInfo u;
    if (hint >= 0 && get_user_at(static_cast<unsigned>(hint), &u) == 0 && u.status == 1 &&
        same_id(u.userId, id)) {
      if (out) *out = u;
      return hint;
    }
    for (int i = 0; i < DTU_MAX_USERS; ++i)
      if (get_user_at(static_cast<unsigned>(i), &u) == 0 && u.status == 1 && same_id(u.userId, id)) {
        if (out) *out = u;
        return i;
      }
    return -1;
  }

  void set_online(Terminal &t, bool online) {
    if (t.online == online) return;
    t.online = online;
    counters.online += online ? 1 : -1;
    if (!online) t.slot = -1;
  }

  // ---- receiving ----
  // The notifier's descriptor is readable while a datagram waits (it is
  // level-triggered on the server socket, which it set non-blocking): read
  // until the socket is empty, a bounded number per turn of the loop.
  void on_readable() {
    for (int i = 0; i < kReadsPerWakeup && !stop_requested.load(std::memory_order_relaxed); ++i)
      if (!read_one()) break;
  }

  // One do_read_proc; false when no datagram was there.
  bool read_one() {
    in_valid = false;
    verdict = nullptr;
    message[0] = '\0';
    const int rc = do_read_proc(&record, message, ack ? 1 : 0);
    if (!in_valid) {
      // A receive error without a datagram: the socket is empty, or an
      // ICMP report of an earlier send came back (counted, and go on).
      int code = 0;
      std::sscanf(message, "Error occurred during read,errorcode:%d", &code);
      flush_outs();
      if (code == EAGAIN || code == EWOULDBLOCK) return false;
      ++counters.receive_errors;
      return code != 0;
    }
    wire(in);
    dispatch(rc);
    flush_outs();
    return true;
  }

  void reject(const char *reason, const Endpoint &src) {
    ++counters.rejected[reason];
    Event e = make(EventType::kRejected);
    e.reason = reason;
    e.peer = src;
    e.length = in.wire_length;
    e.data.assign(in.bytes.begin(), in.bytes.begin() + static_cast<long>(std::min(in.length, kRejectedBytes)));
    if (in.length >= 15 && record.userId[0] != '\0') e.id = record.userId;
    e.slot = -1;
    emit(e);
  }

  // Counts and state for an accepted frame of a known terminal.
  void heard(TermState &s, std::uint64_t KindCounts::*kind) {
    Terminal &t = s.pub;
    ++t.datagrams_in;
    t.bytes_in += in.wire_length;
    ++(t.in.*kind);
    t.last_seen_ms = ms_of(in.when);
    if (t.first_seen_ms == 0) t.first_seen_ms = t.last_seen_ms;
    s.heard = uv_now(&loop);
    recent(t, in);
  }

  // A non-logon frame moved the terminal (follow policy).
  void follow(TermState &s, const Endpoint &src) {
    Terminal &t = s.pub;
    if (t.peer == src) return;
    Event e = make(EventType::kAddrChange, t.id);
    e.old_peer = t.peer;
    e.peer = src;
    t.peer = src;
    // The service's own handlers move a record to follow it (possibly to
    // another slot); the built-in ones keep the slot.
    const int slot = find_slot(t.id, t.slot, nullptr);
    if (slot >= 0) t.slot = slot;
    e.slot = t.slot;
    ++t.addr_changes;
    ++counters.addr_changes;
    emit(e);
  }

  // The library took user data from a terminal the service had as off
  // line (it cannot happen while the service makes every call, but the
  // table is the truth): follow the table.
  TermState *adopt(const std::string &id) {
    UserInfo u{};
    const int slot = find_slot(id, -1, &u);
    if (slot < 0) return nullptr;
    TermState &s = terms[id];
    s.pub.id = id;
    set_online(s.pub, true);
    s.pub.slot = slot;
    s.pub.peer = {u.peerAddr, u.peerPort};
    return &s;
  }

  void dispatch(int rc) {
    const Endpoint src = in.far;
    const std::uint8_t code = in.length >= 2 ? in.bytes[1] : 0;
    if (in.wire_length > in.length) return reject("too-large", src);
    if (in.length < 16) return reject("short", src);
    if (rc < 0) {
      if (message[0] != '\0') return reject("bad-frame", src);
      return reject(code == kLogon ? "bad-logon" : code == kIdReport ? "bad-id-report" : "bad-frame", src);
    }
    if (verdict != nullptr) return reject(verdict, src);
    const std::string id = record.userId;
    auto it = terms.find(id);
    TermState *s = it == terms.end() ? nullptr : &it->second;
    const bool online = s != nullptr && s->pub.online;

    switch (record.dataType) {
      case DTU_DATA_LOGON: return on_logon(id, s, src);
      case DTU_DATA_LOGOUT: {
        ++counters.in.logout;
        if (!online) return;
        heard(*s, &KindCounts::logout);
        Event e = make(EventType::kLogout, id);
        e.peer = s->pub.peer;
        e.slot = s->pub.slot;
        e.reason = "logout";
        set_online(s->pub, false);
        return emit(e);
      }
      case DTU_DATA_USER: {
        ++counters.in.data;
        if (!online && (s = adopt(id)) == nullptr) break;
        heard(*s, &KindCounts::data);
        if (!logon_only) follow(*s, src);
        Event e = make(EventType::kData, id);
        e.peer = src;
        e.slot = s->pub.slot;
        e.data.assign(record.data, record.data + record.dataLength);
        e.length = record.dataLength;
        emit(e);
        return send_queued(id);
      }
      case DTU_DATA_NOT_ONLINE: {
        ++counters.in.data;
        if (s != nullptr) s->pub.last_seen_ms = ms_of(in.when);
        Event e = make(EventType::kNotLoggedOn, id);
        e.peer = src;
        return emit(e);
      }
      case DTU_DATA_REPLY: {
        ++counters.in.data_reply;
        if (online) {
          heard(*s, &KindCounts::data_reply);
          if (!logon_only) follow(*s, src);
        }
        Event e = make(EventType::kDataReply, id);
        e.peer = src;
        e.slot = online ? s->pub.slot : -1;
        emit(e);
        return online ? send_queued(id) : void();
      }
      case DTU_DATA_INVALID: {
        const bool report = code == kInvalidCmd;  // the terminal's own report; anything else is an unknown code
        ++(report ? counters.in.invalid : counters.in.other);
        if (online) {
          heard(*s, report ? &KindCounts::invalid : &KindCounts::other);
          if (!report && !logon_only) follow(*s, src);
        }
        Event e = make(EventType::kInvalidFrame, id);
        e.peer = src;
        e.slot = online ? s->pub.slot : -1;
        e.data.assign(in.bytes.begin(), in.bytes.begin() + static_cast<long>(std::min(in.length, kRejectedBytes)));
        e.length = in.wire_length;
        emit(e);
        return online ? send_queued(id) : void();
      }
      case DTU_DATA_PARAM_READ:
      case DTU_DATA_PARAM_SET: {
        const bool read = record.dataType == DTU_DATA_PARAM_READ;
        ++(read ? counters.in.param_read : counters.in.param_set);
        if (online && logon_only && s->pub.peer != src) {
          not_logged_on(id, src);
          return reject("address", src);
        }
        std::vector<ParamValue> values;
        if (read) values = reply_values();
        if (online) heard(*s, read ? &KindCounts::param_read : &KindCounts::param_set);
        Request req;
        bool matched = false;
        if (s != nullptr) {
          auto &q = read ? s->reads : s->writes;
          if (!q.empty() && q.front().deadline != 0) {
            req = std::move(q.front());
            q.pop_front();
            matched = true;
          }
        }
        Event e = make(read ? EventType::kParamRead : EventType::kParamSet, id);
        e.peer = src;
        e.slot = online ? s->pub.slot : -1;
        e.request = matched ? req.handle : 0;
        e.params = values;
        emit(e);
        if (matched && req.done) {
          ParamResult r;
          r.request = req.handle;
          r.id = id;
          r.ok = true;
          r.values = std::move(values);
          req.done(r);
        }
        if (matched) start_next(id, read);
        return online ? send_queued(id) : void();
      }
      case DTU_DATA_ID_REPORT: {
        ++counters.in.id_report;
        if (online) heard(*s, &KindCounts::id_report);
        Event e = make(EventType::kIdReport, id);
        e.peer = src;
        e.slot = online ? s->pub.slot : -1;
        emit(e);
        return online ? send_queued(id) : void();
      }
      default:
        ++counters.in.other;
        return;
    }
  }

  void on_logon(const std::string &id, TermState *s, const Endpoint &src) {
    ++counters.in.logon;
    UserInfo u{};
    const int slot = find_slot(id, s ? s->pub.slot : -1, &u);
    if (slot < 0) {
      // The table is full: no record, no answer.
      Event e = make(EventType::kLogon, id);
      e.peer = src;
      e.reported = {get_be32(15), static_cast<std::uint16_t>(in.length > 20 ? in.bytes[19] << 8 | in.bytes[20] : 0)};
      e.reason = "table-full";
      return emit(e);
    }
    if (s == nullptr) {
      s = &terms[id];
      s->pub.id = id;
    }
    Terminal &t = s->pub;
    const bool was_online = t.online;
    if (was_online && t.peer != src) {
      Event d = make(EventType::kDuplicateLogon, id);
      d.old_peer = t.peer;
      d.peer = src;
      d.slot = slot;
      ++t.duplicate_logons;
      ++counters.duplicate_logons;
      emit(d);
    }
    heard(*s, &KindCounts::logon);
    set_online(t, true);
    t.slot = slot;
    t.peer = src;
    t.reported = {u.reportedAddr, u.reportedPort};
    if (!was_online) t.logon_time_ms = t.last_seen_ms;
    Event e = make(EventType::kLogon, id);
    e.peer = src;
    e.reported = t.reported;
    e.slot = slot;
    emit(e);
    send_queued(id);
  }

  std::uint32_t get_be32(std::size_t at) const {
    if (at + 4 > in.length) return 0;
    const std::uint8_t *p = in.bytes.data() + at;
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
  }

  void not_logged_on(const std::string &id, const Endpoint &to) {
    UserInfo u{};
    std::memcpy(u.userId, id.data(), std::min<std::size_t>(id.size(), DTU_ID_LENGTH));
    send_cmd(to.addr, to.port, &u, kSendNotLoggedOn);
  }

  // The tags a ParamReadReply carried, walked as the library decodes them,
  // with their values as the library hands them back.
  std::vector<ParamValue> reply_values() {
    std::vector<ParamValue> out;
    const std::size_t frame_len = std::min<std::size_t>(in.length, static_cast<std::size_t>(in.bytes[2]) << 8 | in.bytes[3]);
    if (frame_len < 16) return out;
    const std::size_t end_mark = frame_len - 1;
    std::size_t pos = 15;
    std::vector<int> tags;
    for (int n = 0; n < 35 && pos < end_mark; ++n) {
      const int tag = in.bytes[pos];
      const std::size_t elen = in.bytes[pos + 1];
      if (tag >= 128 || elen < 2 || elen >= 128 || pos + elen > end_mark) break;
      if (!reply_value_ok(tag, elen - 2)) break;
      if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(tag);
      pos += elen;
    }
    for (int tag : tags) {
      std::uint8_t buf[256];
      int len = static_cast<int>(sizeof buf);
      ParamValue v;
      if (GetParam(tag, buf, &len) == 1 && param_from_library(tag, buf, len, &v)) out.push_back(std::move(v));
    }
    return out;
  }

  // ---- downlinks ----
  void send_queued(const std::string &id) {
    auto it = terms.find(id);
    if (it == terms.end()) return;
    while (!it->second.downlinks.empty() && it->second.pub.online) {
      Downlink d = std::move(it->second.downlinks.front());
      it->second.downlinks.pop_front();
      it->second.pub.queued_downlinks = it->second.downlinks.size();
      const int rc = do_send_user_data(id.c_str(), reinterpret_cast<const char *>(d.bytes.data()),
                                       static_cast<unsigned>(d.bytes.size()), 0);
      flush_outs();
      if (rc != 0) {
        // Not sent after all (taken off line meanwhile): back to the head.
        it->second.downlinks.push_front(std::move(d));
        it->second.pub.queued_downlinks = it->second.downlinks.size();
        return;
      }
      ++counters.downlinks_sent;
      Event e = make(EventType::kDownlinkSent, id);
      e.peer = it->second.pub.peer;
      e.request = d.handle;
      e.length = d.bytes.size();
      emit(e);
      it = terms.find(id);  // a sink may have added terminals
      if (it == terms.end()) return;
    }
  }

  void downlink_gone(EventType type, const std::string &id, const Downlink &d, const char *reason) {
    Event e = make(type, id);
    e.request = d.handle;
    e.length = d.bytes.size();
    e.reason = reason;
    if (type == EventType::kDownlinkExpired) ++counters.downlinks_expired;
    else ++counters.downlinks_dropped;
    emit(e);
  }

  // ---- requests ----
  void finish(const std::string &id, Request &req, bool read, const std::string &error) {
    if (error == "timeout") {
      ++counters.param_timeouts;
      Event e = make(EventType::kTimeout, id);
      e.request = req.handle;
      e.reason = read ? "param_read" : "param_set";
      emit(e);
    } else {
      error_event(std::string(read ? "parameter read" : "parameter write") + " ended: " + error, id,
                  req.handle, error.c_str());
    }
    if (req.done) {
      ParamResult r;
      r.request = req.handle;
      r.id = id;
      r.ok = false;
      r.error = error;
      req.done(r);
    }
  }

  // Puts the head request of a queue on the wire, ending the ones that
  // cannot go.
  void start_next(const std::string &id, bool read) {
    while (true) {
      auto it = terms.find(id);
      if (it == terms.end()) return;
      auto &q = read ? it->second.reads : it->second.writes;
      if (q.empty() || q.front().deadline != 0) return;
      Terminal &t = it->second.pub;
      std::string error;
      if (!t.online) {
        error = "offline";
      } else if (read) {
        if (DoReadParam(t.peer.addr, t.peer.port, id.c_str()) != 1) error = "send-failed";
      } else {
        ClearParam();
        for (const ParamValue &v : q.front().values) {
          int length = 0, err = 0;
          const std::vector<std::uint8_t> bytes = param_bytes(v, &length);
          if (SetParam(v.tag, bytes.data(), length, &err) != 1) error = "bad-value";
        }
        if (error.empty() && DoUpdateParam(t.peer.addr, t.peer.port, id.c_str()) != 1) error = "send-failed";
      }
      flush_outs();
      it = terms.find(id);
      if (it == terms.end()) return;
      auto &q2 = read ? it->second.reads : it->second.writes;
      if (error.empty()) {
        q2.front().deadline = uv_now(&loop) + 1000ull * config.request_timeout;
        return;
      }
      Request req = std::move(q2.front());
      q2.pop_front();
      finish(id, req, read, error);
    }
  }

  std::uint64_t request(std::string_view id_view, bool read, std::vector<ParamValue> values,
                        ParamCallback done) {
    assert_loop_thread();
    const std::string id(id_view);
    const std::uint64_t handle = next_handle++;
    Request req;
    req.handle = handle;
    req.values = std::move(values);
    req.done = std::move(done);
    std::string error;
    if (id.empty() || id.size() > DTU_ID_LENGTH || id.find('\0') != std::string::npos) error = "bad-id";
    if (error.empty() && !read) {
      if (req.values.empty()) error = "bad-value";
      for (const ParamValue &v : req.values) {
        const ParamInfo *p = find_param(v.tag);
        ParamValue parsed;
        if (p == nullptr || p->form != v.form ||
            ((v.form == ParamForm::kText || v.form == ParamForm::kComposite)
                 ? !parse_param(v.tag, v.text, &parsed, nullptr)
                 : v.number > p->max_value))
          error = "bad-value";
      }
    }
    auto it = terms.find(id);
    if (error.empty() && (it == terms.end() || !it->second.pub.online)) error = "offline";
    if (!error.empty()) {
      finish(id, req, read, error);
      return handle;
    }
    auto &q = read ? it->second.reads : it->second.writes;
    q.push_back(std::move(req));
    start_next(id, read);
    return handle;
  }

  // ---- the tick ----
  void on_tick() {
    const std::uint64_t now = uv_now(&loop);
    std::vector<std::string> idle, late_reads, late_writes, expired;
    for (auto &[id, s] : terms) {
      if (config.idle_timeout > 0 && s.pub.online && now - s.heard >= 1000ull * config.idle_timeout)
        idle.push_back(id);
      if (!s.reads.empty() && s.reads.front().deadline != 0 && s.reads.front().deadline <= now)
        late_reads.push_back(id);
      if (!s.writes.empty() && s.writes.front().deadline != 0 && s.writes.front().deadline <= now)
        late_writes.push_back(id);
      if (!s.downlinks.empty()) expired.push_back(id);
    }
    for (const std::string &id : idle) {
      auto it = terms.find(id);
      if (it == terms.end() || !it->second.pub.online) continue;
      Terminal &t = it->second.pub;
      Event e = make(EventType::kIdle, id);
      e.peer = t.peer;
      e.slot = t.slot;
      e.reason = "idle";
      do_close_one_user(id.c_str(), nullptr);  // -1 when the table had already let it go
      flush_outs();
      set_online(t, false);
      ++counters.idle_expiries;
      emit(e);
    }
    for (int pass = 0; pass < 2; ++pass)
      for (const std::string &id : pass == 0 ? late_reads : late_writes) {
        auto it = terms.find(id);
        if (it == terms.end()) continue;
        auto &q = pass == 0 ? it->second.reads : it->second.writes;
        if (q.empty() || q.front().deadline == 0 || q.front().deadline > now) continue;
        Request req = std::move(q.front());
        q.pop_front();
        finish(id, req, pass == 0, "timeout");
        start_next(id, pass == 0);
      }
    for (const std::string &id : expired) {
      auto it = terms.find(id);
      if (it == terms.end()) continue;
      auto &q = it->second.downlinks;
      for (auto d = q.begin(); d != q.end();) {
        if (d->expires > now) {
          ++d;
          continue;
        }
        Downlink gone = std::move(*d);
        d = q.erase(d);
        it->second.pub.queued_downlinks = q.size();
        downlink_gone(EventType::kDownlinkExpired, id, gone, "expired");
      }
    }
  }

  // ---- posted work ----
  void run_posted() {
    std::vector<std::function<void(Service &)>> work;
    {
      std::lock_guard<std::mutex> g(post_mutex);
      work.swap(posted);
    }
    for (auto &fn : work) fn(*self);
    if (stop_requested.load()) uv_stop(&loop);
  }
};

// ---- policy callbacks --------------------------------------------------
// Installed only for logon-only or an allow-list, and then kept for the
// life of the process (the library cannot take its own handlers back).  With
// no service running, or neither policy set, they follow the latest address
// as the built-in handlers do.
namespace {

std::atomic<Service::Impl *> g_active{nullptr};

bool same_peer(const UserInfo &a, const UserInfo &b) {
  return a.peerAddr == b.peerAddr && a.peerPort == b.peerPort;
}

bool online_record(const char *id, UserInfo *out) {
  return get_user_info(id, out) == 0 && out->status == 1;
}

// Moves an on-line record to the sender's address: the public calls have no
// update, so the record is closed and stored again (logon time and stated
// address kept; it may land in a lower free slot).
void move_record(const UserInfo &current, const UserInfo &from) {
  UserInfo moved = current;
  moved.peerAddr = from.peerAddr;
  moved.peerPort = from.peerPort;
  std::memcpy(moved.updateTime, from.updateTime, sizeof moved.updateTime);
  do_close_one_user(current.userId, nullptr);
  AddOneUser(&moved);
}

// Non-logon frames: false when the frame is refused (logon-only, another
// address): the sender is told NotLoggedOn, and the service reports it.
bool accept_frame(UserInfo *user, UserInfo *current) {
  Service::Impl *s = g_active.load();
  if (s != nullptr && s->logon_only) {
    if (!same_peer(*current, *user)) {
      s->verdict = "address";
      send_cmd(user->peerAddr, user->peerPort, user, kSendNotLoggedOn);
      return false;
    }
    return true;
  }
  if (!same_peer(*current, *user)) {
    move_record(*current, *user);
    *current = UserInfo{};
    online_record(user->userId, current);
  }
  return true;
}

int DTU_CALL policy_logon(UserInfo *user) {
  Service::Impl *s = g_active.load();
  if (s != nullptr && s->allow_active && !s->allow.allows(user->userId)) {
    s->verdict = "not-allowed";  // no record, no answer
    return 0;
  }
  UserInfo current{};
  UserInfo stored = *user;
  stored.status = 1;
  if (online_record(user->userId, &current)) {
    std::memcpy(stored.logonTime, current.logonTime, sizeof stored.logonTime);  // the first logon's time
    do_close_one_user(user->userId, nullptr);
  } else {
    std::memset(stored.logonTime, 0, sizeof stored.logonTime);
    local_time_text(stored.logonTime);
  }
  if (AddOneUser(&stored) != 0) return 0;  // table full: no answer
  send_cmd(user->peerAddr, user->peerPort, user, kSendLogonAck);
  return 0;
}

int DTU_CALL policy_logout(UserInfo *user) {
  UserInfo current{};
  if (!online_record(user->userId, &current)) return 0;
  Service::Impl *s = g_active.load();
  if (s != nullptr && s->logon_only && !same_peer(current, *user)) {
    s->verdict = "address";
    send_cmd(user->peerAddr, user->peerPort, user, kSendNotLoggedOn);
    return 0;
  }
  do_close_one_user2(user->userId, nullptr);  // LogoutCmd to its address, then off line
  return 0;
}

int DTU_CALL policy_recvdata(UserInfo *user, DataRecord *record, int ack_flag) {
  UserInfo current{};
  if (!online_record(user->userId, &current)) {
    send_cmd(user->peerAddr, user->peerPort, user, kSendNotLoggedOn);
    record->dataType = DTU_DATA_NOT_ONLINE;
    record->dataLength = 0;
    return 0;
  }
  if (!accept_frame(user, &current)) {
    record->dataType = DTU_DATA_NOT_ONLINE;
    record->dataLength = 0;
    return 0;
  }
  if (ack_flag != 0) send_cmd(current.peerAddr, current.peerPort, &current, kSendDataAck);
  return 0;
}

int DTU_CALL policy_reply(UserInfo *user) {
  UserInfo current{};
  if (online_record(user->userId, &current)) accept_frame(user, &current);
  return 0;
}

int DTU_CALL policy_invalid(UserInfo *user) {
  UserInfo current{};
  if (!online_record(user->userId, &current)) return 0;
  if (accept_frame(user, &current)) send_cmd(current.peerAddr, current.peerPort, &current, kSendInvalidReply);
  return 0;
}

bool g_logon_installed = false, g_all_installed = false;

}  // namespace

// ---- Service -------------------------------------------------------------

Service::Service(Config config) : config_(std::move(config)), impl_(new Impl(this, config_)) {
  uv_loop_init(&impl_->loop);
  uv_async_init(&impl_->loop, &impl_->async, [](uv_async_t *a) { static_cast<Impl *>(a->data)->run_posted(); });
  impl_->async.data = impl_.get();
}

Service::~Service() {
  Impl &m = *impl_;
  if (m.started && !m.finished) {
    // run() never ran: the library is still open.
    stop_gprs_server(nullptr);
    dtu_set_wire_tap(nullptr, nullptr);
    g_active.store(nullptr);
    if (m.notifier) dtu_notifier_destroy(m.notifier);
  }
  {
    std::lock_guard<std::mutex> g(m.post_mutex);
    m.accepting = false;
  }
  uv_walk(
      &m.loop, [](uv_handle_t *h, void *) {
        if (!uv_is_closing(h)) uv_close(h, nullptr);
      },
      nullptr);
  uv_run(&m.loop, UV_RUN_DEFAULT);
  uv_loop_close(&m.loop);
  for (EveryTimer *t : m.timers) delete t;
}

void Service::subscribe(std::function<void(const Event &)> sink) { impl_->sinks.push_back(std::move(sink)); }

bool Service::start(std::string *error) {
  Impl &m = *impl_;
  std::string why;
  auto fail = [&](std::string text) {
    if (error) *error = std::move(text);
    return false;
  };
  if (m.started) return fail("the service has already been started");
  if (!validate(config_, &why)) return fail(why);
  Impl *expected = nullptr;
  if (!g_active.compare_exchange_strong(expected, &m)) return fail("another service is running in this process");

  m.loop_thread = std::this_thread::get_id();
  parse_ipv4(config_.bind, &m.bound);
  m.ack = config_.ack;
  m.logon_only = config_.address_policy == "logon-only";
  m.allow_active = !config_.allow_list.empty();
  auto undo = [&](std::string text) {
    g_active.store(nullptr);
    return fail(std::move(text));
  };
  if (m.allow_active && !m.allow.load(config_.allow_list, &why)) return undo(why);
  if (!config_.pcap.empty()) {
    if (!m.pcap.open(config_.pcap, std::uint64_t{config_.pcap_rotate_mb} << 20, config_.pcap_keep, &why))
      return undo(why);
    if (m.bound == 0) m.pcap_local = first_local_address();
  }

  for (int pass = 0; pass < 4 && GetFilterIPCount() > 0; ++pass) {
    // Earlier runs in this process may have left entries.
    for (int i = 0; i < 4; ++i)
      if (GetIP(i) != 0) DelFilterIP(GetIP(i));
  }
  for (const std::string &f : config_.filters) {
    std::uint32_t a = 0;
    parse_ipv4(f, &a);
    if (AddFilterIP(htonl(a)) != 0) return undo("filters: cannot add " + f + " (four at most, one per first two octets)");
  }
  SetCustomIP(htonl(m.bound));
  SetWorkMode(2);
  m.notifier = dtu_notifier_create();
  if (m.notifier == nullptr) return undo(std::string("cannot create a notifier: ") + std::strerror(errno));

  // The installed handlers stay for the life of the process.
  if (m.logon_only && !g_all_installed) {
    SetEvtCALLBACK(policy_logon, policy_logout, policy_recvdata, policy_reply, policy_invalid);
    g_all_installed = g_logon_installed = true;
  } else if (m.allow_active && !g_logon_installed) {
    SetLogonCALLBACK(policy_logon);
    g_logon_installed = true;
  }
  dtu_set_wire_tap(&Impl::tap, &m);

  char banner[DTU_MAX_BANNER_BYTES + 64] = {};
  int rc = -1;
  for (int attempt = 0; attempt < 5 && rc != 0; ++attempt) {
    // Port 0: a free port found first (the library has no call that tells
    // the port it bound); another program may take it meanwhile, so retry.
    m.port = config_.port != 0 ? config_.port : pick_free_port(m.bound);
    rc = start_gprs_server(m.notifier, kMessage, m.port, banner);
    if (rc != 0) stop_gprs_server(nullptr);
    if (config_.port != 0) break;
  }
  if (rc != 0) {
    std::string text = library_text(banner);
    int code = 0;
    if (std::sscanf(text.c_str(), "Error:Bind Server Failed: %d", &code) == 1 && code > 0)
      text += " (" + std::string(std::strerror(code)) + ")";
    dtu_set_wire_tap(nullptr, nullptr);
    dtu_notifier_destroy(m.notifier);
    m.notifier = nullptr;
    m.pcap.close();
    return undo("cannot start the centre on " + config_.bind + ":" + std::to_string(m.port) + ": " + text);
  }
  m.started = true;
  Event e = m.make(EventType::kStart);
  e.text = library_text(banner);
  e.peer = {m.bound, m.port};
  m.emit(e);
  return true;
}

int Service::run() {
  Impl &m = *impl_;
  if (!m.started) {
    std::string why;
    if (!start(&why)) {
      Event e = m.make(EventType::kError);
      e.text = why;
      e.reason = "start";
      m.emit(e);
      return 1;
    }
  }
  if (m.finished) return 0;
  m.loop_thread = std::this_thread::get_id();
  m.poll.data = &m;
  uv_poll_init(&m.loop, &m.poll, dtu_notifier_fd(m.notifier));
  m.poll_open = true;
  uv_poll_start(&m.poll, UV_READABLE, [](uv_poll_t *p, int, int) { static_cast<Impl *>(p->data)->on_readable(); });
  m.check.data = &m;
  uv_check_init(&m.loop, &m.check);
  uv_check_start(&m.check, [](uv_check_t *c) {
    auto *impl = static_cast<Impl *>(c->data);
    std::string why;
    if (!impl->pcap.flush(&why)) impl->error_event(why);
  });
  m.tick.data = &m;
  uv_timer_init(&m.loop, &m.tick);
  m.tick_open = true;
  uv_timer_start(&m.tick, [](uv_timer_t *t) { static_cast<Impl *>(t->data)->on_tick(); }, 1000, 1000);

  if (!m.stop_requested.load()) uv_run(&m.loop, UV_RUN_DEFAULT);

  // Work posted before the stop still runs; later work is dropped.
  m.run_posted();
  {
    std::lock_guard<std::mutex> g(m.post_mutex);
    m.accepting = false;
  }
  uv_poll_stop(&m.poll);
  uv_close(reinterpret_cast<uv_handle_t *>(&m.poll), nullptr);
  uv_close(reinterpret_cast<uv_handle_t *>(&m.tick), nullptr);
  uv_close(reinterpret_cast<uv_handle_t *>(&m.check), nullptr);
  for (EveryTimer *t : m.timers) uv_close(reinterpret_cast<uv_handle_t *>(&t->timer), nullptr);

  std::vector<std::string> ids;
  for (auto &kv : m.terms) ids.push_back(kv.first);
  std::sort(ids.begin(), ids.end());
  for (const std::string &id : ids) {
    auto it = m.terms.find(id);
    if (it == m.terms.end()) continue;
    while (!it->second.downlinks.empty()) {
      Downlink d = std::move(it->second.downlinks.front());
      it->second.downlinks.pop_front();
      it->second.pub.queued_downlinks = it->second.downlinks.size();
      m.downlink_gone(EventType::kDownlinkDropped, id, d, "centre-stopped");
      it = m.terms.find(id);
      if (it == m.terms.end()) break;
    }
    for (int read = 1; read >= 0 && it != m.terms.end(); --read) {
      auto &q = read ? it->second.reads : it->second.writes;
      while (!q.empty()) {
        Request req = std::move(q.front());
        q.pop_front();
        m.finish(id, req, read != 0, "stopped");
      }
    }
  }

  char text[256] = {};
  stop_gprs_server(text);
  m.flush_outs();
  dtu_set_wire_tap(nullptr, nullptr);
  g_active.store(nullptr);
  m.finished = true;
  for (auto &kv : m.terms) m.set_online(kv.second.pub, false);
  uv_run(&m.loop, UV_RUN_NOWAIT);  // the closes
  dtu_notifier_destroy(m.notifier);
  m.notifier = nullptr;
  m.pcap.close();
  Event e = m.make(EventType::kStop);
  e.text = library_text(text);
  m.emit(e);
  return 0;
}

void Service::stop() {
  impl_->stop_requested.store(true);
  uv_async_send(&impl_->async);
}

void Service::post(std::function<void(Service &)> fn) {
  {
    std::lock_guard<std::mutex> g(impl_->post_mutex);
    if (!impl_->accepting) return;
    impl_->posted.push_back(std::move(fn));
  }
  uv_async_send(&impl_->async);
}

void Service::every(unsigned ms, std::function<void(Service &)> fn) {
  auto *t = new EveryTimer;
  t->impl = impl_.get();
  t->fn = std::move(fn);
  t->timer.data = t;
  uv_timer_init(&impl_->loop, &t->timer);
  uv_timer_start(
      &t->timer, [](uv_timer_t *h) {
        auto *self = static_cast<EveryTimer *>(h->data);
        self->fn(*self->impl->self);
      },
      ms, ms);
  impl_->timers.push_back(t);
}

uv_loop_s *Service::loop() { return &impl_->loop; }
std::uint16_t Service::port() const { return impl_->port; }
std::uint32_t Service::bound_address() const { return impl_->bound; }

const Terminal *Service::find(std::string_view id) const {
  impl_->assert_loop_thread();
  auto it = impl_->terms.find(std::string(id));
  return it == impl_->terms.end() ? nullptr : &it->second.pub;
}

std::vector<Terminal> Service::terminals() const {
  impl_->assert_loop_thread();
  std::vector<Terminal> out;
  out.reserve(impl_->terms.size());
  for (auto &kv : impl_->terms) out.push_back(kv.second.pub);
  std::sort(out.begin(), out.end(), [](const Terminal &a, const Terminal &b) { return a.id < b.id; });
  return out;
}

void Service::for_each_terminal(const std::function<void(const Terminal &)> &fn) const {
  impl_->assert_loop_thread();
  for (auto &kv : impl_->terms) fn(kv.second.pub);
}

const Counters &Service::counters() const { return impl_->counters; }

SendResult Service::send(std::string_view id_view, const void *data, std::size_t length, unsigned expiry_s) {
  Impl &m = *impl_;
  m.assert_loop_thread();
  SendResult r;
  const std::string id(id_view);
  if (id.empty() || id.size() > DTU_ID_LENGTH || id.find('\0') != std::string::npos) {
    r.reason = "bad-id";
    return r;
  }
  if (length == 0 || data == nullptr) {
    r.reason = "empty";
    return r;
  }
  if (length > DTU_MAX_USER_DATA) {
    r.reason = "too-large";
    return r;
  }
  r.handle = m.next_handle++;
  TermState &s = m.terms[id];
  if (s.pub.id.empty()) s.pub.id = id;  // an ID never heard: its messages wait for it
  if (s.pub.online && s.downlinks.empty() && m.started && !m.finished) {
    const int rc = do_send_user_data(id.c_str(), static_cast<const char *>(data), static_cast<unsigned>(length), 0);
    m.flush_outs();
    if (rc == 0) {
      ++m.counters.downlinks_sent;
      r.status = SendStatus::kSent;
      Event e = m.make(EventType::kDownlinkSent, id);
      auto it = m.terms.find(id);
      e.peer = it->second.pub.peer;
      e.request = r.handle;
      e.length = length;
      m.emit(e);
      return r;
    }
  }
  auto it = m.terms.find(id);
  Downlink d;
  d.handle = r.handle;
  d.bytes.assign(static_cast<const std::uint8_t *>(data), static_cast<const std::uint8_t *>(data) + length);
  if (it->second.downlinks.size() >= config_.downlink_queue) {
    r.status = SendStatus::kDropped;
    r.reason = "queue-full";
    m.downlink_gone(EventType::kDownlinkDropped, id, d, "queue-full");
    return r;
  }
  d.expires = uv_now(&m.loop) + 1000ull * (expiry_s != 0 ? expiry_s : config_.downlink_expiry);
  it->second.downlinks.push_back(std::move(d));
  it->second.pub.queued_downlinks = it->second.downlinks.size();
  ++m.counters.downlinks_queued;
  r.status = SendStatus::kQueued;
  Event e = m.make(EventType::kDownlinkQueued, id);
  e.request = r.handle;
  e.length = length;
  m.emit(e);
  return r;
}

bool Service::close(std::string_view id_view, bool tell) {
  Impl &m = *impl_;
  m.assert_loop_thread();
  const std::string id(id_view);
  auto it = m.terms.find(id);
  if (it == m.terms.end() || !it->second.pub.online) return false;
  Event e = m.make(EventType::kClosed, id);
  e.peer = it->second.pub.peer;
  e.slot = it->second.pub.slot;
  e.reason = "operator";
  const int rc = tell ? do_close_one_user2(id.c_str(), nullptr) : do_close_one_user(id.c_str(), nullptr);
  m.flush_outs();
  it = m.terms.find(id);
  m.set_online(it->second.pub, false);
  if (rc != 0) return false;
  m.emit(e);
  return true;
}

int Service::close_all(bool tell) {
  Impl &m = *impl_;
  m.assert_loop_thread();
  std::vector<std::string> ids;
  for (auto &kv : m.terms)
    if (kv.second.pub.online) ids.push_back(kv.first);
  std::sort(ids.begin(), ids.end());
  int n = 0;
  for (const std::string &id : ids) n += close(id, tell) ? 1 : 0;
  return n;
}

std::uint64_t Service::read_params(std::string_view id, ParamCallback done) {
  return impl_->request(id, true, {}, std::move(done));
}

std::uint64_t Service::write_params(std::string_view id, std::vector<ParamValue> values, ParamCallback done) {
  return impl_->request(id, false, std::move(values), std::move(done));
}

void Service::reopen() {
  impl_->assert_loop_thread();
  std::string why;
  if (!impl_->pcap.reopen(&why)) impl_->error_event(why);
}

bool Service::reload_allow_list(std::string *error) {
  impl_->assert_loop_thread();
  if (config_.allow_list.empty()) return true;
  AllowList fresh;
  if (!fresh.load(config_.allow_list, error)) return false;
  impl_->allow = std::move(fresh);
  return true;
}

// ---- for front ends that acknowledge user data themselves ----------------

bool Service::ack_data(std::string_view id, const Endpoint &peer) {
  Impl &m = *impl_;
  m.assert_loop_thread();
  if (id.empty() || id.size() > DTU_ID_LENGTH || id.find('\0') != std::string_view::npos) return false;
  if (!m.started || m.finished) return false;
  UserInfo u{};
  std::memcpy(u.userId, id.data(), id.size());
  u.peerAddr = peer.addr;
  u.peerPort = peer.port;
  const int rc = send_cmd(peer.addr, peer.port, &u, kSendDataAck);
  m.flush_outs();
  return rc == 0;
}

std::vector<Service::HandedDownlink> Service::hand_over(std::string_view id_view) {
  Impl &m = *impl_;
  m.assert_loop_thread();
  std::vector<HandedDownlink> out;
  const std::string id(id_view);
  auto it = m.terms.find(id);
  if (it == m.terms.end()) return out;
  if (it->second.pub.online) {
    Event e = m.make(EventType::kClosed, id);
    e.peer = it->second.pub.peer;
    e.slot = it->second.pub.slot;
    e.reason = "moved";
    do_close_one_user(id.c_str(), nullptr);
    m.flush_outs();
    it = m.terms.find(id);
    m.set_online(it->second.pub, false);
    m.emit(e);
  }
  for (int read = 1; read >= 0; --read) {
    while (true) {
      it = m.terms.find(id);
      if (it == m.terms.end()) return out;
      auto &q = read ? it->second.reads : it->second.writes;
      if (q.empty()) break;
      Request req = std::move(q.front());
      q.pop_front();
      m.finish(id, req, read != 0, "moved");
    }
  }
  it = m.terms.find(id);
  if (it == m.terms.end()) return out;
  const std::uint64_t now = uv_now(&m.loop);
  for (Downlink &d : it->second.downlinks) {
    HandedDownlink h;
    h.handle = d.handle;
    h.bytes = std::move(d.bytes);
    h.expiry_s = d.expires > now ? static_cast<unsigned>((d.expires - now + 999) / 1000) : 1;
    out.push_back(std::move(h));
  }
  it->second.downlinks.clear();
  it->second.pub.queued_downlinks = 0;
  return out;
}

}  // namespace dtu::svc
