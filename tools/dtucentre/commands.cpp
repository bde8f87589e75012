#include "commands.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

#include "sim/wire.h"

namespace console {
namespace {

std::vector<std::string> split(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// What follows the first `n` words of a line, as typed.
std::string rest_after(const std::string &line, int n) {
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    pos = line.find_first_not_of(" \t", pos);
    pos = line.find_first_of(" \t", pos);
    if (pos == std::string::npos) return "";
  }
  return line.substr(pos + 1);
}

std::string time_of(const std::uint8_t stamp[4]) {
  std::uint32_t s;
  std::memcpy(&s, stamp, 4);
  if (s == 0) return "-";
  std::time_t t = s;
  std::tm tm{};
  localtime_r(&t, &tm);
  char b[20];
  std::strftime(b, sizeof b, "%H:%M:%S", &tm);
  return b;
}

// One parameter of the last reply in host form; false when GetParam refuses.
bool param_field(const sim::Tag &t, Field *out) {
  char buf[200] = {};
  int len = sizeof buf;
  if (GetParam(t.tag, buf, &len) != 1) return false;
  const auto *b = reinterpret_cast<const std::uint8_t *>(buf);
  out->key = std::to_string(t.tag);
  switch (t.form) {
    case sim::Form::kText:
      out->value = printable(b, static_cast<std::size_t>(len));
      out->quoted = true;
      return true;
    case sim::Form::kComposite:
      out->value = buf;
      return true;
    default: {
      unsigned long v = 0;
      for (int i = 0; i < len; ++i) v = v << 8 | b[i];
      out->value = std::to_string(v);
      out->number = true;
      return true;
    }
  }
}

}  // namespace

bool parse_hex(const std::string &text, Bytes *out) {
  out->clear();
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ',' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.empty() || digits.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    out->push_back(static_cast<std::uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  return true;
}

bool parse_param(const std::string &item, int *tag, Bytes *value, std::string *why) {
  const auto eq = item.find('=');
  const std::string number = item.substr(0, eq == std::string::npos ? 0 : eq);
  char *end = nullptr;
  const long n = std::strtol(number.c_str(), &end, 10);
  if (eq == std::string::npos || number.empty() || *end != '\0') {
    *why = "expected tag=value, got \"" + item + "\"";
    return false;
  }
  const sim::Tag *t = sim::find_tag(static_cast<int>(n));
  if (t == nullptr) {
    *why = "unknown parameter tag " + item.substr(0, eq);
    return false;
  }
  *tag = t->tag;
  const std::string v = item.substr(eq + 1);
  value->clear();
  switch (t->form) {
    case sim::Form::kText:
      if (v.size() > static_cast<std::size_t>(t->tag == 14 ? 128 : t->width)) {
        *why = "tag " + std::to_string(t->tag) + " takes at most " + std::to_string(t->tag == 14 ? 128 : t->width) +
               " characters";
        return false;
      }
      if (t->tag == 6 && v.size() != 11) {
        *why = "tag 6 takes exactly 11 characters";
        return false;
      }
      value->assign(v.begin(), v.end());
      return true;
    case sim::Form::kComposite:
      value->assign(v.begin(), v.end());  // the library checks and codes it
      return true;
    default: {
      char *e = nullptr;
      errno = 0;
      const unsigned long x = v.empty() ? 0 : std::strtoul(v.c_str(), &e, 0);
      const unsigned long max = t->width >= 4 ? 0xFFFFFFFFul : (1ul << (8 * t->width)) - 1;
      if (v.empty() || *e != '\0' || errno != 0 || x > max || v[0] == '-') {
        *why = "tag " + std::to_string(t->tag) + " takes a number from 0 to " + std::to_string(max);
        return false;
      }
      for (int i = t->width - 1; i >= 0; --i) value->push_back(static_cast<std::uint8_t>(x >> (8 * i)));
      return true;
    }
  }
}

bool Console::online_user(const std::string &id, UserInfo *out) {
  if (id.empty() || id.size() > 11) {
    error("a terminal ID has 1 to 11 characters");
    return false;
  }
  if (get_user_info(id.c_str(), out) != 0 || out->status != 1) {
    error(id + " is not on line");
    return false;
  }
  return true;
}

void Console::list() {
  int n = 0;
  std::ostringstream s;
  s << "slot  terminal ID  address                logon time           last seen  reported";
  for (unsigned i = 0; i < static_cast<unsigned>(get_max_user_amount()); ++i) {
    UserInfo u;
    if (get_user_at(i, &u) != 0 || u.status != 1) continue;
    char row[200];
    const std::string id(u.userId, strnlen(u.userId, 11));
    const std::string addr = dotted(u.peerAddr) + ":" + std::to_string(u.peerPort);
    std::snprintf(row, sizeof row, "\n%4u  %-11s  %-21s  %-19.19s  %-9s  %s:%u", i, id.c_str(), addr.c_str(),
                  u.logonTime, time_of(u.updateTime).c_str(), dotted(u.reportedAddr).c_str(), u.reportedPort);
    s << row;
    ++n;
  }
  info(s.str() + "\n" + std::to_string(n) + " of " + std::to_string(get_max_user_amount()) + " on line");
}

void Console::send(const std::string &id, const Bytes &payload) {
  UserInfo u;
  if (!online_user(id, &u)) return;
  if (payload.empty() || payload.size() > 1024) return error("user data takes 1 to 1024 bytes");
  if (do_send_user_data(id.c_str(), reinterpret_cast<const char *>(payload.data()),
                        static_cast<unsigned>(payload.size()), 0) != 0)
    return error("sending to " + id + " failed");
  info("sent " + std::to_string(payload.size()) + " bytes to " + id);
}

void Console::close(const std::vector<std::string> &args, bool all) {
  bool tell = false;
  std::string id;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--tell") tell = true;
    else if (id.empty() && !all) id = args[i];
    else return error("usage: " + std::string(all ? "closeall [--tell]" : "close ID [--tell]"));
  }
  char msg[256] = {};
  if (all) {
    const int before = get_online_user_amount();
    (tell ? do_close_all_user2 : do_close_all_user)(msg);
    info("closed " + std::to_string(before - get_online_user_amount()) + " terminals" +
         (msg[0] ? "; last: " + gbk_to_utf8(msg).substr(0, std::strlen(msg) - 2) : ""));
    return;
  }
  if (id.empty()) return error("usage: close ID [--tell]");
  if (id.size() > 200) return error("a terminal ID has 1 to 11 characters");
  if ((tell ? do_close_one_user2 : do_close_one_user)(id.c_str(), msg) != 0) return error(id + " is not on line");
  std::string line = gbk_to_utf8(msg);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  info(line);
}

void Console::read(const std::string &id) {
  UserInfo u;
  if (!online_user(id, &u)) return;
  if (DoReadParam(u.peerAddr, u.peerPort, id.c_str()) != 1) return error("parameter read to " + id + " failed");
  info("parameter read sent to " + id + "; the values follow when it answers");
}

void Console::set(const std::vector<std::string> &args) {
  if (args.size() < 3) return error("usage: set ID tag=value [tag=value ...]");
  std::vector<std::pair<int, Bytes>> items;
  for (std::size_t i = 2; i < args.size(); ++i) {
    int tag = 0;
    Bytes value;
    std::string why;
    if (!parse_param(args[i], &tag, &value, &why)) return error(why);
    items.emplace_back(tag, value);
  }
  UserInfo u;
  if (!online_user(args[1], &u)) return;
  ClearParam();
  for (auto &[tag, value] : items) {
    if (tag == 18) value.push_back(0);  // SetParam reads tag 18 as a C string
    int err = 0;
    const int len = static_cast<int>(tag == 18 ? value.size() - 1 : value.size());
    if (SetParam(tag, value.data(), len, &err) != 1)
      return error("tag " + std::to_string(tag) +
                   (err == -1      ? ": value length refused"
                    : tag == 18    ? ": value refused (N1-N2-N3-N4-N5 with N2 5-8, N3 1-2, N4 0-2, N5 1-5)"
                                   : ": value refused"));
  }
  if (DoUpdateParam(u.peerAddr, u.peerPort, args[1].c_str()) != 1) return error("parameter set to " + args[1] + " failed");
  info("parameter set of " + std::to_string(items.size()) + " values sent to " + args[1]);
}

void Console::help() {
  info("commands:\n"
       "  list                        terminals on line\n"
       "  send ID TEXT                send text to a terminal\n"
       "  sendhex ID HEX              send bytes, e.g. sendhex 13900000001 41 42 0D 0A\n"
       "  close ID [--tell]           take a terminal off line (--tell: send it LogoutCmd)\n"
       "  closeall [--tell]           take every terminal off line\n"
       "  read ID                     read a terminal's parameters\n"
       "  set ID tag=value ...        write parameters (tag 18 as N1-N2-N3-N4-N5)\n"
       "  help, quit");
}

bool Console::execute(const std::string &line) {
  const std::vector<std::string> w = split(line);
  if (w.empty()) return true;
  const std::string &cmd = w[0];
  if (cmd == "quit" || cmd == "exit") return false;
  if (cmd == "help" || cmd == "?") {
    help();
  } else if (cmd == "list" || cmd == "users") {
    list();
  } else if (cmd == "send") {
    if (w.size() < 3) return error("usage: send ID TEXT"), true;
    const std::string text = rest_after(line, 2);
    send(w[1], Bytes(text.begin(), text.end()));
  } else if (cmd == "sendhex") {
    Bytes payload;
    if (w.size() < 3) return error("usage: sendhex ID HEX"), true;
    if (!parse_hex(rest_after(line, 2), &payload)) return error("bad hex: " + rest_after(line, 2)), true;
    send(w[1], payload);
  } else if (cmd == "close" || cmd == "closeall") {
    close(w, cmd == "closeall");
  } else if (cmd == "read") {
    if (w.size() != 2) return error("usage: read ID"), true;
    read(w[1]);
  } else if (cmd == "set") {
    set(w);
  } else {
    error("unknown command \"" + cmd + "\"; try help");
  }
  return true;
}

void Console::describe(const DataRecord &r) {
  const std::string id(r.userId, strnlen(r.userId, 11));
  UserInfo u{};
  std::string from = "-";
  if (!id.empty() && get_user_info(id.c_str(), &u) == 0 && u.peerAddr != 0)
    from = dotted(u.peerAddr) + ":" + std::to_string(u.peerPort);
  std::vector<Field> f;
  switch (r.dataType) {
    case 1:
      f.push_back({"reported", dotted(u.reportedAddr) + ":" + std::to_string(u.reportedPort)});
      if (u.status == 1) f.push_back({"logon", std::string(u.logonTime, strnlen(u.logonTime, 19))});
      else f.push_back({"stored", "no (table full)"});
      return log_.event("logon", id, from, f);
    case 2: return log_.event("logout", id, from, f);
    case 4: return log_.event("invalid", id, from, f);
    case 5: return log_.event("data-reply", id, from, f);
    case 6: return log_.event("data-not-on-line", id, "-", {{"answer", "NotLoggedOn"}});
    case 9:
      f.push_back({"bytes", std::to_string(r.dataLength), true});
      f.push_back({"hex", hex_bytes(r.data, r.dataLength)});
      f.push_back({"text", printable(r.data, r.dataLength)});
      return log_.event("data", id, from, f);
    case 11:
      for (const sim::Tag &t : sim::tags()) {
        Field field;
        if (param_field(t, &field)) f.push_back(field);
      }
      return log_.event("parameters", id, from, f);
    case 13: return log_.event("parameters-set", id, from, f);
    case 19: return log_.event("id-report", id, from, f);
    default: return;
  }
}

}  // namespace console
