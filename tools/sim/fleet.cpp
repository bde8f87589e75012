#include "sim/fleet.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

#include "sim/wire.h"

namespace sim {
namespace {

double now_s() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

constexpr double kLogonRetry = 1.0;

// A parameter set with a plausible value for every readable tag.
std::map<int, Bytes> initial_parameters(const std::string &id) {
  std::map<int, Bytes> p;
  for (const Tag &t : tags()) {
    if (t.form == Form::kWriteOnly) continue;
    Bytes v;
    if (t.form == Form::kComposite) {
      v = {0x00, 0x04, 0xD2, 0x00, 0x40, 0x18, 0x05};  // 1234-5-2-2-5
    } else if (t.form == Form::kNumber) {
      for (int i = 0; i < t.width; ++i) v.push_back(static_cast<std::uint8_t>(i == t.width - 1 ? t.tag : 0));
      if (t.tag == 11) v = {1};
    } else if (t.tag == 6) {
      v.assign(id.begin(), id.end());
      v.resize(11, '0');
    } else {
      std::string s = "P" + std::to_string(t.tag) + "-" + id;
      s.resize(std::min<std::size_t>(s.size(), static_cast<std::size_t>(std::min(t.width, 20))));
      v.assign(s.begin(), s.end());
    }
    p[t.tag] = v;
  }
  return p;
}

}  // namespace

// User data sent and not yet acknowledged.
struct Pending {
  double first_sent;
  double last_sent;
  int resends;
  Bytes frame;
};

struct Fleet::Terminal {
  std::string id;
  int fd = -1;
  bool online = false;
  bool ever_online = false;
  double next_logon = 0;
  double logon_sent = 0;
  double next_data = 0;
  double next_rebind = 0;
  std::deque<Pending> pending;  // user data awaiting an answer, oldest first
  std::deque<Pending> held;     // answered NotLoggedOn: resent after the next logon (--retry)
  std::map<int, Bytes> params;
};

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t k = static_cast<std::size_t>(p / 100.0 * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(k, samples.size() - 1)];
}

Fleet::Fleet(const FleetOptions &options) : opt_(options) {
  for (int i = 0; i < opt_.terminals; ++i) {
    auto t = std::make_unique<Terminal>();
    t->id = id_of(i);
    t->params = initial_parameters(t->id);
    terminals_.push_back(std::move(t));
  }
}

Fleet::~Fleet() {
  for (auto &t : terminals_)
    if (t->fd >= 0) ::close(t->fd);
}

std::string Fleet::id_of(int index) const {
  std::string number = std::to_string(opt_.first + index);
  std::string id = opt_.prefix;
  if (id.size() + number.size() < 11) id.append(11 - id.size() - number.size(), '0');
  id += number;
  return id.substr(0, 11);
}

void Fleet::show_downlink(const Terminal &t, const Frame &f) {
  // The user data lies behind the 16-byte head.
  const std::uint8_t *p = f.payload;
  const std::size_t n = f.payload_size;
  std::string hex, text;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
    hex += b;
    text += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '.';
  }
  std::fprintf(opt_.show_downlink, "downlink %s %zu bytes: %s  \"%s\"\n", t.id.c_str(), n, hex.c_str(), text.c_str());
  std::fflush(opt_.show_downlink);
}

// One line per acknowledged frame, so that a test can match what the
// terminals were told is safe against what reached the other side.
void Fleet::write_acked(const Terminal &t, const Pending &p) {
  std::string line = t.id + " ";
  char b[3];
  for (std::size_t i = 16; i < p.frame.size(); ++i) {
    std::snprintf(b, sizeof b, "%02x", p.frame[i]);
    line += b;
  }
  line += "\n";
  std::fputs(line.c_str(), opt_.acked);
}

bool Fleet::open_socket(Terminal &t) {
  if (t.fd >= 0) ::close(t.fd);
  t.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (t.fd < 0) {
    const int e = errno;
    error_ = "cannot open a socket for terminal " + t.id + ": " + std::strerror(e);
    if (e == EMFILE || e == ENFILE)
      error_ += " (each terminal needs a descriptor; raise the limit with ulimit -n or run fewer terminals)";
    return false;
  }
  int size = 1 << 18;
  ::setsockopt(t.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return true;
}

void Fleet::send(Terminal &t, const Bytes &frame) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(opt_.port);
  sa.sin_addr.s_addr = centre_addr_;
  if (::sendto(t.fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa) >= 0)
    ++counters_.sent[frame[1]];
}

void Fleet::handle(Terminal &t, const std::uint8_t *data, std::size_t size, double now) {
  Frame f;
  if (!parse(data, size, &f)) {
    ++counters_.bad_frames;
    return;
  }
  ++counters_.received[f.code];
  switch (f.code) {
    case kLogonAck:
      if (!t.online) {
        t.online = true;
        t.ever_online = true;
        t.next_data = now;
        resend_held(t, now);
      }
      break;
    case kDataAck:
      if (!t.pending.empty()) {
        const Pending &p = t.pending.front();
        if (p.resends == 0) counters_.rtt_ms.push_back((now - p.first_sent) * 1000.0);
        else ++counters_.data_acked_after_retry;
        if (opt_.acked) write_acked(t, p);
        t.pending.pop_front();
        ++counters_.data_acked;
      }
      break;
    case kNotLoggedOn:
      // The answer to the oldest frame in flight (the centre answers in
      // order): that frame is refused, not acknowledged, and the next
      // DataAck belongs to the frame after it.  A terminal that resends
      // keeps it for after the next logon; one that does not forgets it.
      if (!t.pending.empty()) {
        ++counters_.data_refused;
        if (opt_.retry > 0) t.held.push_back(std::move(t.pending.front()));
        t.pending.pop_front();
      }
      t.online = false;
      t.next_logon = now;
      break;
    case kLogoutCmd:
      // Frames still in flight get their NotLoggedOn answers.
      t.online = false;
      t.next_logon = now;
      break;
    case kUserDataDown:
      if (opt_.show_downlink) show_downlink(t, f);
      if (opt_.data_reply) send(t, head(kDataReply, t.id));
      break;
    case kParamRead: {
      std::vector<Element> elements;
      for (const auto &[tag, value] : t.params) elements.push_back({tag, value});
      send(t, param_frame(kParamReadReply, t.id, elements));
      break;
    }
    case kParamSet:
      for (const Element &e : decode_elements(f.body, f.body_size)) {
        const Tag *tag = find_tag(e.tag);
        if (tag == nullptr || tag->form == Form::kWriteOnly) continue;
        t.params[e.tag] = e.value;
        ++counters_.params_applied;
      }
      send(t, head(kParamSetReply, t.id));
      break;
    default:
      break;
  }
}

bool Fleet::run(const std::atomic<bool> &stop) {
  addrinfo hints{}, *res = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  if (const int rc = ::getaddrinfo(opt_.host.c_str(), nullptr, &hints, &res); rc != 0 || res == nullptr) {
    error_ = "cannot resolve " + opt_.host + ": " + (rc != 0 ? gai_strerror(rc) : "no address");
    return false;
  }
  centre_addr_ = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(res);
  for (auto &t : terminals_)
    if (!open_socket(*t)) return false;

  const double start = now_s();
  const double interval = opt_.rate > 0 ? 1.0 / opt_.rate : 0;
  // Spread the fleet's first frames over the first interval.
  for (std::size_t i = 0; i < terminals_.size(); ++i) {
    Terminal &t = *terminals_[i];
    t.next_logon = start + 0.001 * static_cast<double>(i % 100);
    t.next_rebind = opt_.rebind > 0 ? start + opt_.rebind : 0;
  }
  std::vector<pollfd> fds(terminals_.size());
  std::vector<std::uint8_t> buf(2048);
  long data_sent = 0;
  double next_progress = start + 1.0;
  double drain_until = 0;  // after the last frame, wait for answers
  for (;;) {
    const double now = now_s();
    const bool time_up = opt_.duration > 0 && now - start >= opt_.duration;
    const bool count_met = opt_.count > 0 && data_sent >= opt_.count;
    if (stop.load() || ((time_up || count_met) && drain_until == 0)) drain_until = now + 0.5;
    if (drain_until != 0 && (now >= drain_until || stop.load())) break;

    if (drain_until == 0) {
      for (auto &tp : terminals_) {
        Terminal &t = *tp;
        if (opt_.rebind > 0 && now >= t.next_rebind) {
          open_socket(t);
          t.next_rebind = now + opt_.rebind;
        }
        if (!t.online) {
          if (now >= t.next_logon) {
            send(t, logon(t.id, 0x7F000001, 0, opt_.long_logon));
            t.logon_sent = now;
            t.next_logon = now + kLogonRetry;
          }
        } else if (interval > 0 && now >= t.next_data && (opt_.count == 0 || data_sent < opt_.count) &&
                   (opt_.window == 0 || t.pending.size() + t.held.size() < static_cast<std::size_t>(opt_.window))) {
          Bytes payload(static_cast<std::size_t>(opt_.payload));
          std::snprintf(reinterpret_cast<char *>(payload.data()), payload.size(), "%s#%ld", t.id.c_str(), data_sent);
          Bytes frame = user_data(t.id, payload);
          send(t, frame);
          ++data_sent;
          const bool keep = opt_.retry > 0 || opt_.acked != nullptr;
          if (opt_.expect_ack) t.pending.push_back({now, now, 0, keep ? std::move(frame) : Bytes{}});
          t.next_data = std::max(t.next_data + interval, now - interval);
        }
        if (opt_.retry > 0 && t.online) resend_due(t, now);
      }
    }

    for (std::size_t i = 0; i < terminals_.size(); ++i) fds[i] = {terminals_[i]->fd, POLLIN, 0};
    if (::poll(fds.data(), fds.size(), 2) > 0) {
      const double at = now_s();
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        for (;;) {
          ssize_t n = ::recv(fds[i].fd, buf.data(), buf.size(), 0);
          if (n < 0) break;
          handle(*terminals_[i], buf.data(), static_cast<std::size_t>(n), at);
        }
      }
    }
    if (opt_.progress && now >= next_progress) {
      next_progress += 1.0;
      long on = 0;
      for (auto &t : terminals_) on += t->online;
      std::fprintf(stderr, "[%4.0fs] on line %ld/%zu, data sent %ld, acked %ld\n", now - start, on,
                   terminals_.size(), counters_.sent[kUserData], counters_.data_acked);
    }
  }
  const double end = now_s();
  for (auto &t : terminals_) {
    counters_.terminals_on_line += t->online;
    counters_.terminals_ever_on_line += t->ever_online;
    for (const Pending &p : t->pending)
      if (end - p.first_sent > 0) ++counters_.data_unanswered;
    counters_.data_held_at_end += static_cast<long>(t->held.size());
    if (!t->ever_online) ++counters_.logons_unanswered;
  }
  return true;
}

// After a logon: the frames refused while the terminal was off line go out
// again (each a resend; one resent N times already is given up).
void Fleet::resend_held(Terminal &t, double now) {
  while (!t.held.empty()) {
    Pending p = std::move(t.held.front());
    t.held.pop_front();
    if (p.resends >= opt_.retry) {
      ++counters_.data_given_up;
      continue;
    }
    send(t, p.frame);
    ++p.resends;
    ++counters_.data_resent;
    p.last_sent = now;
    t.pending.push_back(std::move(p));
  }
}

// Resends what waited longer than the acknowledgement timeout; a frame that
// has been resent N times and is still unanswered is given up.
void Fleet::resend_due(Terminal &t, double now) {
  for (auto it = t.pending.begin(); it != t.pending.end();) {
    if (now - it->last_sent < opt_.ack_timeout) {
      ++it;
      continue;
    }
    if (it->resends >= opt_.retry) {
      ++counters_.data_given_up;
      it = t.pending.erase(it);
      continue;
    }
    send(t, it->frame);
    ++it->resends;
    ++counters_.data_resent;
    it->last_sent = now;
    ++it;
  }
}

std::string kinds_text(const long (&counts)[256]) {
  std::string s;
  long unknown = 0;
  std::vector<std::pair<long, int>> codes;  // unknown codes: count, code
  for (int code = 0; code < 256; ++code) {
    if (counts[code] == 0) continue;
    const char *name = code_name(static_cast<std::uint8_t>(code));
    if (std::strcmp(name, "Unknown") != 0) {
      s += " " + std::string(name) + " " + std::to_string(counts[code]);
      continue;
    }
    unknown += counts[code];
    codes.emplace_back(counts[code], code);
  }
  if (codes.empty()) return s;
  // Codes no terminal knows, grouped: their total and the most frequent few.
  std::stable_sort(codes.begin(), codes.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
  s += " Unknown " + std::to_string(unknown) + " (" + std::to_string(codes.size()) +
       (codes.size() == 1 ? " code:" : " codes:");
  const std::size_t shown = std::min<std::size_t>(codes.size(), 5);
  for (std::size_t i = 0; i < shown; ++i) {
    char b[32];
    std::snprintf(b, sizeof b, "%s 0x%02X %ld", i ? "," : "", codes[i].second, codes[i].first);
    s += b;
  }
  if (codes.size() > shown) s += ", ...";
  return s + ")";
}

void Fleet::report(std::FILE *out) const {
  const Counters &c = counters_;
  std::fprintf(out, "terminals: %zu, on line at the end: %ld, ever on line: %ld\n", terminals_.size(),
               c.terminals_on_line, c.terminals_ever_on_line);
  std::fprintf(out, "sent:%s\n", kinds_text(c.sent).c_str());
  std::fprintf(out, "received:%s\n", kinds_text(c.received).c_str());
  std::fprintf(out, "user data acknowledged: %ld, unanswered: %ld; logons unanswered: %ld; parameters applied: %ld; bad frames: %ld\n",
               c.data_acked, c.data_unanswered, c.logons_unanswered, c.params_applied, c.bad_frames);
  if (c.data_refused > 0) std::fprintf(out, "user data answered NotLoggedOn: %ld\n", c.data_refused);
  if (opt_.retry > 0)
    std::fprintf(out, "resends: %ld; acknowledged after a resend: %ld; given up after %d resends: %ld; "
                 "waiting for a logon to be resent at the end: %ld\n",
                 c.data_resent, c.data_acked_after_retry, opt_.retry, c.data_given_up, c.data_held_at_end);
  if (!c.rtt_ms.empty())
    std::fprintf(out, "round trip (user data to DataAck): p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                 percentile(c.rtt_ms, 50), percentile(c.rtt_ms, 99), percentile(c.rtt_ms, 100));
}

}  // namespace sim
