// The service core.  One libuv loop owns the library: it watches the
// notifier's descriptor, receives and dispatches every datagram, makes every
// send and close, and runs the once-a-second tick that ends idle terminals,
// late requests, stale and unanswered downlinks, and forgets silent ones.  The library's datagram tap tells it about
// every datagram in and out, with its frame code and terminal ID; what the tap reports during a library call is
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
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "dtucentre.h"
#include "core.h"
#include "text.h"
#include "pcap_writer.h"

namespace dtu::svc {
namespace {

constexpr unsigned kMessage = 0x0401;   // the message number given at start (the notifier's descriptor is all we watch)




bool parse_ipv4(const std::string &text, std::uint32_t *host_order) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *host_order = ntohl(a.s_addr);
  return true;
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







}  // namespace

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

bool validate(const Config &c, std::string *error) {
  std::uint32_t a = 0;
  if (!parse_ipv4(c.bind, &a)) {
    *error = "bind: not an IPv4 address: \"" + c.bind + "\"";
    return false;
  }
  // The banner's filter list has four slots, one per first two octets, and
  // no room for 0.0.0.0: what the library would refuse at the start is a
  // bad value here.
  if (c.filters.size() > 4) {
    *error = "filters: " + std::to_string(c.filters.size()) + " addresses; four at most";
    return false;
  }
  std::vector<std::uint32_t> heads;
  for (const std::string &f : c.filters) {
    if (!parse_ipv4(f, &a)) {
      *error = "filters: not an IPv4 address: \"" + f + "\"";
      return false;
    }
    if (a == 0) {
      *error = "filters: 0.0.0.0 cannot be filtered";
      return false;
    }
    if ((a >> 16) != 0 && std::find(heads.begin(), heads.end(), a >> 16) != heads.end()) {
      *error = "filters: \"" + f + "\" shares its first two octets with another entry (one per first two octets)";
      return false;
    }
    heads.push_back(a >> 16);
  }
  if (c.request_timeout == 0) {
    *error = "request_timeout: must be at least 1 s";
    return false;
  }
  if (c.downlink_confirm_timeout == 0) {
    *error = "downlink_confirm_timeout: must be at least 1 s";
    return false;
  }
  if (c.receive_buffer > static_cast<std::size_t>(DTU_MAX_RECEIVE_BUFFER)) {
    *error = "receive_buffer: at most " + std::to_string(DTU_MAX_RECEIVE_BUFFER) + " bytes";
    return false;
  }
  if (c.param_queue == 0) {
    *error = "param_queue: must be at least 1";
    return false;
  }
  if (c.journal_max_mb == 0 || c.journal_group_records == 0) {
    *error = c.journal_max_mb == 0 ? "journal_max_mb: must be at least 1" : "journal_group_records: must be at least 1";
    return false;
  }
  if (c.pcap_rotate_mb > 1024 * 1024) {
    *error = "pcap_rotate_mb: too large";
    return false;
  }
  return true;
}



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
    dtu_set_datagram_tap(nullptr, nullptr);
    policy_detach();
    if (m.notifier) dtu_notifier_destroy(m.notifier);
  }
  {
    std::lock_guard<std::mutex> g(m.post_mutex);
    m.accepting = false;
  }
  m.journal.reset();  // commits what waits; its last reports are dropped with the posts
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

namespace {

// The allow-list and the capture file, as the configuration names them.
// False with the reason when one cannot be opened.
bool open_policy_files(Service::Impl &m, const Config &config, std::string *why) {
  m.policy.logon_only = config.address_policy == AddressPolicy::kLogonOnly;
  m.policy.allow = config.allow_list.empty() ? nullptr : &m.allow;
  if (m.policy.allow && !m.allow.load(config.allow_list, why)) return false;
  m.policy.registry = config.admit_registered_only ? &m.registry : nullptr;
  if (!config.pcap.empty()) {
    if (!m.pcap.open(config.pcap, std::uint64_t{config.pcap_rotate_mb} << 20, config.pcap_keep, why)) return false;
    if (m.bound == 0) m.pcap_local = first_local_address();
  }
  return true;
}

// The library's filter list: what an earlier run in this process left goes,
// the configured addresses come in.  False with the reason when one is refused.
bool install_filters(const Config &config, std::string *why) {
  for (int pass = 0; pass < 4 && GetFilterIPCount() > 0; ++pass) {
    for (int i = 0; i < 4; ++i)
      if (GetIP(i) != 0) DelFilterIP(GetIP(i));
  }
  for (const std::string &f : config.filters) {
    std::uint32_t a = 0;
    parse_ipv4(f, &a);
    if (AddFilterIP(htonl(a)) != 0) {
      *why = "filters: cannot add " + f + " (four at most, one per first two octets)";
      return false;
    }
  }
  return true;
}

// The line for a failed bind.  The library's text gives only the system's
// error number; the line names the address and port that could not be
// bound (the address as the library holds it, which is what it tried).
std::string bind_failure(const Config &config, std::uint16_t port, const char *banner) {
  std::string text = library_text(banner);
  std::string where = config.bind;
  const int code = dtu_last_error();
  if (code > 0) {
    text += " (" + std::string(std::strerror(code)) + ")";
    in_addr tried{};
    tried.s_addr = GetCurrentIP();
    char dotted[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &tried, dotted, sizeof dotted) != nullptr) where = dotted;
  }
  where += port != 0 ? ":" + std::to_string(port) : " (no free port found there)";
  return "cannot bind UDP " + where + ": " + text;
}

// Starts the library's server; the banner in `banner`.  Port 0: a free port
// is found first (the library has no call that tells the port it bound);
// another program may take it meanwhile, so that is tried a few times.
bool open_server(Service::Impl &m, const Config &config, char *banner, std::string *why) {
  int rc = -1;
  for (int attempt = 0; attempt < 5 && rc != 0; ++attempt) {
    m.port = config.port != 0 ? config.port : pick_free_port(m.bound);
    rc = start_gprs_server(m.notifier, kMessage, m.port, banner);
    if (rc != 0) stop_gprs_server(nullptr);
    if (config.port != 0) break;
  }
  if (rc == 0) return true;
  *why = bind_failure(config, m.port, banner);
  return false;
}

// The start event with the banner, and the core's first health rows with
// the receive buffer the system granted (Linux caps it at
// net.core.rmem_max for a process that may not pass that limit).
void announce_start(Service::Impl &m, const char *banner, int asked) {
  Event e = m.make(EventType::kStart);
  e.text = library_text(banner);
  e.peer = {m.bound, m.port};
  m.emit(e);
  const int granted = asked > 0 ? dtu_set_receive_buffer(asked) : 0;
  m.core_health.set_receive_buffer(asked, granted);
  for (HealthRow &r : m.core_health.rows(now_ms(), false, 0, get_max_user_amount(), m.counters))
    m.set_health(std::move(r));
}

}  // namespace

bool Service::start(std::string *error) {
  Impl &m = *impl_;
  std::string why;
  auto fail = [&](std::string text) {
    if (error) *error = std::move(text);
    return false;
  };
  if (m.started) return fail("the service has already been started");
  Impl::Batch batch(m);
  if (!validate(config_, &why)) return fail(why);
  if (!m.open_journal(&why, nullptr)) return fail(why);
  if (!policy_attach(&m.policy)) return fail("another service is running in this process");

  m.loop_thread = std::this_thread::get_id();
  parse_ipv4(config_.bind, &m.bound);
  // With a journal the core sends each DataAck itself once the frame's
  // record is committed; the library's own, at once, only without.
  m.ack_on_commit = m.journal && config_.ack && config_.ack_on_commit;
  m.ack = config_.ack && !m.ack_on_commit;
  auto undo = [&](std::string text) {
    policy_detach();
    return fail(std::move(text));
  };
  if (!open_policy_files(m, config_, &why) || !install_filters(config_, &why)) return undo(why);
  SetCustomIP(htonl(m.bound));
  SetWorkMode(2);
  m.notifier = dtu_notifier_create();
  if (m.notifier == nullptr) return undo(std::string("cannot create a notifier: ") + std::strerror(errno));

  // The installed handlers stay for the life of the process.
  policy_install(m.policy);
  dtu_set_datagram_tap(&Impl::tap, &m);

  const int asked = static_cast<int>(config_.receive_buffer);
  if (asked > 0) dtu_set_receive_buffer(asked);  // for the start below

  char banner[DTU_MAX_BANNER_BYTES + 64] = {};
  if (!open_server(m, config_, banner, &why)) {
    dtu_set_datagram_tap(nullptr, nullptr);
    dtu_notifier_destroy(m.notifier);
    m.notifier = nullptr;
    m.pcap.close();
    return undo(why);
  }
  m.started = true;
  announce_start(m, banner, asked);
  if (m.journal) {
    m.restore();
    m.set_health(m.journal_row());
  }
  return true;
}

void Service::set_health(HealthRow row) {
  Impl::Batch batch(*impl_);
  impl_->set_health(std::move(row));
}
const Health &Service::health() const { return impl_->health; }

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

int Service::capacity() const { return get_max_user_amount(); }

void Service::advance_clock(unsigned ms) {
  impl_->assert_loop_thread();
  impl_->clock_offset += ms;
  impl_->on_tick();
}

bool Service::close(std::string_view id_view, bool tell) {
  Impl &m = *impl_;
  m.assert_loop_thread();
  Impl::Batch batch(m);
  const std::string id(id_view);
  auto it = m.terms.find(id);
  if (it == m.terms.end() || !it->second.pub.online) return false;
  Event e = m.make(EventType::kClosed, id);
  e.peer = it->second.pub.peer;
  e.slot = it->second.pub.slot;
  e.reason = "operator";
  const int rc = tell ? do_close_one_user2(id.c_str(), nullptr) : do_close_one_user(id.c_str(), nullptr);
  m.flush_outs();
  m.set_online(it->second.pub, false);
  if (rc != 0) {
    m.end_awaiting(id, "offline");
    return false;
  }
  m.emit(e);
  m.end_awaiting(id, "offline");
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

void Service::reopen() {
  impl_->assert_loop_thread();
  Impl::Batch batch(*impl_);
  std::string why;
  if (!impl_->pcap.reopen(&why)) impl_->error_event(why);
}

const TerminalMeta *Service::meta(std::string_view id) const {
  impl_->assert_loop_thread();
  return impl_->registry.find(id);
}

const Registry &Service::registry() const { return impl_->registry; }

bool Service::set_meta(std::string_view id_view, TerminalMeta m, std::string *field, std::string *error) {
  impl_->assert_loop_thread();
  if (!text::valid_id(id_view)) {
    *field = "id";
    *error = "id: not a terminal ID (1 to 11 bytes, no NUL)";
    return false;
  }
  if (!check_meta(m, field, error)) return false;
  const std::string id(id_view);
  if (impl_->journal) impl_->journal->put_meta(id, m);
  impl_->registry.put(id, std::move(m));
  impl_->unregistered_seen.erase(id);
  return true;
}

bool Service::erase_meta(std::string_view id_view) {
  impl_->assert_loop_thread();
  const std::string id(id_view);
  if (!impl_->registry.erase(id)) return false;
  if (impl_->journal) impl_->journal->forget_meta(id);
  return true;
}

const std::map<std::string, std::int64_t> &Service::unregistered_seen() const { return impl_->unregistered_seen; }

std::vector<std::string> Service::select(const Selector &selector) const {
  impl_->assert_loop_thread();
  std::vector<std::string> out;
  for (const auto &kv : impl_->terms)
    if (selector.matches(text::id_text(kv.first), impl_->registry.find(kv.first))) out.push_back(kv.first);
  for (const auto &[id, m] : impl_->registry.all())
    if (impl_->terms.count(id) == 0 && selector.matches(text::id_text(id), &m)) out.push_back(id);
  std::sort(out.begin(), out.end());
  return out;
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
  Impl::Batch batch(m);
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
    m.set_online(it->second.pub, false);
    m.emit(e);
  }
  m.end_awaiting(id, "moved");
  for (int read = 1; read >= 0; --read) {
    auto &q = read ? it->second.reads : it->second.writes;
    while (!q.empty()) {
      Request req = std::move(q.front());
      q.pop_front();
      m.finish(id, req, read != 0, CommandResult::kMoved);
    }
  }
  const std::uint64_t now = m.clock();
  for (Downlink &d : it->second.downlinks) {
    m.log_downlink(d, id, DownlinkState::kDropped, "moved", true);
    HandedDownlink h;
    h.handle = d.handle;
    h.bytes = std::move(d.bytes);
    h.expiry_s = d.expires > now ? static_cast<unsigned>((d.expires - now + 999) / 1000) : 1;
    out.push_back(std::move(h));
  }
  it->second.downlinks.clear();
  it->second.pub.queued_downlinks = 0;
  m.touched.push_back(id);
  return out;
}

}  // namespace dtu::svc
