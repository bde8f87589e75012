#include "dtucentre/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <utility>

#include <toml++/toml.h>

#include "common/args.h"
#include "dtucentre/param_file.h"

#ifndef DTUCENTRE_VERSION
#define DTUCENTRE_VERSION "unknown"
#endif

namespace centre {
namespace {

// What a setting's value is written as: it decides the flag's argument, the
// TOML type a file must use, and how the text is read.
// kMode: a switch that may also name a mode (--ack, --ack=journal; in the
// file true, false or a text).
enum class Kind { kText, kUInt, kReal, kBool, kList, kMode };

// One value on its way in: `name` is how the user wrote the setting
// (--idle-timeout, or FILE: idle_timeout), `text` the value as a flag would
// carry it ("" for a flag without a value).
struct Value {
  const std::string &key;
  const std::string &name;
  const std::string &text;
  std::string *why;
};
using Setter = std::function<bool(Options &, const Value &)>;

// One option: the file key (and, with '-' for '_', the flag), how its value
// is read and where it goes, and its line of --help.
struct Row {
  const char *key;
  Kind kind;
  Setter set;
  const char *arg;      // the value's name in --help ("S", "FILE"); nullptr for a switch
  const char *def;      // the default as --help shows it
  const char *help;
  bool file = true;     // false: a flag only, not a key of the file
  char short_flag = 0;  // e.g. 'p' for -p
  const char *negative = nullptr;  // a second flag that turns a switch off
};

// ---- the value readers the rows use ----

// A whole number up to `max`; with `least` (e.g. "1 second") 0 is refused.
template <class Get>
Setter whole(Get get, long long max, const char *least = nullptr) {
  return [get, max, least](Options &o, const Value &v) {
    long long n = 0;
    if (!args::integer(v.name, v.text, 0, max, &n, v.why)) return false;
    if (least != nullptr && n == 0) return *v.why = v.name + ": must be at least " + least, false;
    auto &field = get(o);
    field = static_cast<std::remove_reference_t<decltype(field)>>(n);
    return true;
  };
}

template <class Get>
Setter real(Get get, double max) {
  return [get, max](Options &o, const Value &v) { return args::real(v.name, v.text, 0, max, &get(o), v.why); };
}

// A switch: a flag alone turns it on; a value must be true or false.
template <class Get>
Setter on_off(Get get) {
  return [get](Options &o, const Value &v) {
    if (v.text.empty() || v.text == "true") get(o) = true;
    else if (v.text == "false") get(o) = false;
    else return *v.why = v.name + ": expected true or false, got \"" + v.text + "\"", false;
    return true;
  };
}

template <class Get>
Setter text(Get get) {
  return [get](Options &o, const Value &v) { return get(o) = v.text, true; };
}

// A text that must be one of two words.
template <class Get>
Setter either(Get get, const char *a, const char *b) {
  return [get, a, b](Options &o, const Value &v) {
    if (v.text != a && v.text != b)
      return *v.why = v.name + ": expected " + a + " or " + b + ", got \"" + v.text + "\"", false;
    return get(o) = v.text, true;
  };
}

// An address policy by its name (the core's list of them).
template <class Get>
Setter policy(Get get) {
  return [get](Options &o, const Value &v) {
    using dtu::svc::AddressPolicy;
    if (dtu::svc::policy_from_name(v.text, &get(o))) return true;
    return *v.why = v.name + ": expected " + dtu::svc::policy_name(AddressPolicy::kFollow) + " or " +
                    dtu::svc::policy_name(AddressPolicy::kLogonOnly) + ", got \"" + v.text + "\"",
           false;
  };
}

// "all" (every ID the allow-list lets in) or "registry" (registered IDs only).
Setter admit() {
  return [](Options &o, const Value &v) {
    if (v.text != "all" && v.text != "registry")
      return *v.why = v.name + ": expected all or registry, got \"" + v.text + "\"", false;
    o.service.admit_registered_only = v.text == "registry";
    return true;
  };
}

template <class Get>
Setter append(Get get) {
  return [get](Options &o, const Value &v) { return get(o).push_back(v.text), true; };
}

// The gateway's settings: the gateway reads them itself.  Topic texts it
// would refuse at its start are bad values here already.
Setter mqtt(bool is_switch = false) {
  return [is_switch](Options &o, const Value &v) {
    o.mqtt_on = o.mqtt_on || v.key == "mqtt";
    const std::string &t = v.text;
    if (v.key == "mqtt_prefix" && (t.empty() || t.find_first_of("+#") != std::string::npos))
      return *v.why = v.name + ": the topic prefix must be non-empty, without + or #, got \"" + t + "\"", false;
    if (v.key == "mqtt_centre" && t.find_first_of("/+#") != std::string::npos)
      return *v.why = v.name + ": the centre name must not hold / + or #, got \"" + t + "\"", false;
    return dtu::mqtt::set_option(&o.mqtt, v.key, is_switch && t.empty() ? "true" : t, v.name, v.why);
  };
}

// The acknowledgement mode, as a switch or by name.  The service's `ack`
// follows at once (for a file read alone); parse_options settles the rest.
Setter ack_mode() {
  return [](Options &o, const Value &v) {
    static const std::pair<const char *, AckMode> kWords[] = {
        {"", AckMode::kSetup},          {"true", AckMode::kSetup},      {"false", AckMode::kOff},
        {"journal", AckMode::kJournal}, {"broker", AckMode::kBroker},   {"immediate", AckMode::kImmediate},
        {"off", AckMode::kOff}};
    for (const auto &[word, mode] : kWords) {
      if (v.text != word) continue;
      o.ack = mode;
      o.service.ack = mode != AckMode::kOff && mode != AckMode::kBroker;
      return true;
    }
    return *v.why = v.name + ": expected journal, broker, immediate, off, true or false, got \"" + v.text + "\"",
           false;
  };
}

// The state directory; named at all (even ""), it overrides STATE_DIRECTORY.
Setter state_dir(bool none = false) {
  return [none](Options &o, const Value &v) {
    o.service.state_dir = none ? std::string() : v.text;
    return o.state_dir_given = true;
  };
}

Setter journal_full() {
  return [](Options &o, const Value &v) {
    if (v.text == "stop") o.service.journal_full = dtu::svc::JournalFull::kStop;
    else if (v.text == "drop-oldest") o.service.journal_full = dtu::svc::JournalFull::kDropOldest;
    else return *v.why = v.name + ": expected stop or drop-oldest, got \"" + v.text + "\"", false;
    return true;
  };
}

// Where a row's value goes.
#define FIELD(f) [](Options &o) -> auto & { return o.f; }

// The options, in the order --help lists them.
const Row kRows[] = {
    {"port", Kind::kUInt, whole(FIELD(service.port), 65535), "PORT", "5002", "UDP port, 0 for a free one", true, 'p'},
    {"bind", Kind::kText, text(FIELD(service.bind)), "ADDR", "127.0.0.1",
     "IPv4 address to bind; 0.0.0.0 for every address"},
    {"filter", Kind::kList, append(FIELD(service.filters)), "ADDR", "none",
     "leave a local address out of the banner (repeatable; in the file a list)"},
    {"ack", Kind::kMode, ack_mode(), "MODE", "true",
     "when a terminal's user data is acknowledged: journal (once on disk), broker (once the MQTT broker has it), "
     "immediate, or off; true: journal with a state directory, else as mqtt_ack with MQTT, else immediate",
     true, 0, "no-ack"},
    {"idle_timeout", Kind::kUInt, whole(FIELD(service.idle_timeout), 100000000), "S", "300",
     "take a terminal not heard for S seconds off line; 0 off"},
    {"request_timeout", Kind::kUInt, whole(FIELD(service.request_timeout), 100000000, "1 second"), "S", "30",
     "end a parameter read or write not answered in S seconds"},
    {"param_queue", Kind::kUInt, whole(FIELD(service.param_queue), 10000, "1"), "N", "8",
     "parameter reads (and as many writes) waiting per terminal"},
    {"downlink_queue", Kind::kUInt, whole(FIELD(service.downlink_queue), 100000), "N", "10",
     "messages kept per terminal off line"},
    {"downlink_expiry", Kind::kUInt, whole(FIELD(service.downlink_expiry), 100000000), "S", "3600",
     "life of a queued message"},
    {"downlink_confirm", Kind::kBool, on_off(FIELD(service.downlink_confirm)), nullptr, "on",
     "a downlink is done when the terminal's DataReply comes, not once written", true, 0, "no-downlink-confirm"},
    {"downlink_confirm_timeout", Kind::kUInt, whole(FIELD(service.downlink_confirm_timeout), 86400, "1 second"), "S",
     "10", "wait this long for the DataReply before a resend"},
    {"downlink_retries", Kind::kUInt, whole(FIELD(service.downlink_retries), 100), "N", "2",
     "resends before a downlink is unconfirmed"},
    {"fleet_max", Kind::kUInt, whole(FIELD(service.fleet_max), 100000000), "N", "10000",
     "terminals kept in the fleet state"},
    {"fleet_forget", Kind::kUInt, whole(FIELD(service.fleet_forget), 100000000), "S", "86400",
     "forget an off-line terminal silent this long; 0 never"},
    {"address_policy", Kind::kText, policy(FIELD(service.address_policy)), "P", "follow",
     "follow or logon-only"},
    {"allow_list", Kind::kText, text(FIELD(service.allow_list)), "FILE", "everyone",
     "IDs and prefixes (ABC*) allowed to log on"},
    {"admit", Kind::kText, admit(), "WHO", "all", "all, or registry: only IDs in the registry log on"},
    {"pcap", Kind::kText, text(FIELD(service.pcap)), "FILE", "none", "capture every datagram in and out"},
    {"pcap_rotate_mb", Kind::kUInt, whole(FIELD(service.pcap_rotate_mb), 1000000), "M", "0",
     "rotate the capture file at M megabytes; 0 never"},
    {"pcap_keep", Kind::kUInt, whole(FIELD(service.pcap_keep), 1000), "N", "5", "rotated capture files kept"},
    {"trace", Kind::kBool, on_off(FIELD(service.trace)), nullptr, "off", "log every datagram with its bytes"},
    {"recent_frames", Kind::kUInt, whole(FIELD(service.recent_frames), 1000), "N", "8",
     "frames kept per terminal for debugging"},
    {"param_names", Kind::kText, text(FIELD(param_names)), "FILE", "none",
     "the deployment's names, units, ranges and choices of the terminal parameters (a TOML file)"},
    {"receive_buffer", Kind::kUInt, whole(FIELD(service.receive_buffer), 1 << 30), "BYTES", "4194304",
     "the UDP socket's receive buffer; 0: the library's 65535"},
    // The journal (docs/centre.md, "The journal").
    {"state_dir", Kind::kText, state_dir(), "DIR", "$STATE_DIRECTORY, else none",
     "keep the journal in DIR/journal.db and restore from it at start; \"\" memory only"},
    {"no_state_dir", Kind::kBool, state_dir(true), nullptr, nullptr, "memory only, whatever the file or the environment say",
     false},
    {"journal_max_mb", Kind::kUInt, whole(FIELD(service.journal_max_mb), 16777216, "1"), "M", "1024",
     "the journal's size past which its oldest records go"},
    {"journal_retention", Kind::kUInt, whole(FIELD(service.journal_retention), 100000000), "S", "604800",
     "records older than S seconds go; 0 no age limit"},
    {"journal_full", Kind::kText, journal_full(), "stop|drop-oldest", "stop",
     "when full and a sink still needs the oldest: stop acknowledging, or delete them anyway"},
    {"journal_group_ms", Kind::kUInt, whole(FIELD(service.journal_group_ms), 10000), "MS", "5",
     "commit a group of records (one disk flush) after MS milliseconds"},
    {"journal_group_records", Kind::kUInt, whole(FIELD(service.journal_group_records), 1000000, "1"), "N", "256",
     "or once it holds N records"},
    {"journal_check", Kind::kBool, [](Options &o, const Value &) { return o.journal_check = true; }, nullptr, nullptr,
     "check the journal's integrity, say the verdict and exit (0 sound, 4 damaged)", false},
    {"log_format", Kind::kText, either(FIELD(log_format), "text", "json"), "F", "text",
     "text or json: one JSON object per line"},
    {"json", Kind::kBool, [](Options &o, const Value &) { return o.log_format = "json", true; }, nullptr, "off",
     "same as --log-format json", false},
    {"log_file", Kind::kText, text(FIELD(log_file)), "FILE", "standard output",
     "log to FILE (reopened on SIGHUP)"},
    {"quiet", Kind::kBool, on_off(FIELD(quiet)), nullptr, "off", "no per-terminal lines; a summary every interval"},
    // The summary timer counts milliseconds in 32 bits.
    {"summary_interval", Kind::kUInt, whole(FIELD(summary_interval), 4294967), "S", "60 with --quiet, else none",
     "seconds between summary lines"},
    {"console", Kind::kBool, on_off(FIELD(console)), nullptr, "off",
     "take commands on standard input even when it is not a terminal (end of input then stops the centre)",
     false},
    {"simulate", Kind::kUInt, whole(FIELD(simulate), 500), "N", "0", "run N simulated terminals in this process"},
    {"duration", Kind::kReal, real(FIELD(duration), 1e9), "S", "until stopped", "stop after S seconds"},
    // The MQTT gateway (docs/mqtt.md).
    {"mqtt", Kind::kText, mqtt(), "HOST:PORT", "off", "publish to an MQTT broker and take commands from it"},
    {"mqtt_prefix", Kind::kText, mqtt(), "P", "dtu", "the topic prefix"},
    {"mqtt_centre", Kind::kText, mqtt(), "NAME", "HOSTNAME:UDPPORT", "this centre's name in the topics"},
    {"mqtt_client_id", Kind::kText, mqtt(), "ID", "dtucentre- and the centre's name", "the MQTT client ID"},
    {"mqtt_keepalive", Kind::kUInt, mqtt(), "S", "30", "the broker link's keep-alive"},
    {"mqtt_username", Kind::kText, mqtt(), "U", "none", "the broker's user name"},
    {"mqtt_password", Kind::kText, mqtt(), "P", "none", "the broker's password"},
    {"mqtt_tls_ca", Kind::kText, mqtt(), "FILE", "no TLS", "the CA certificates that check the broker"},
    {"mqtt_tls_cert", Kind::kText, mqtt(), "FILE", "none", "this centre's certificate"},
    {"mqtt_tls_key", Kind::kText, mqtt(), "FILE", "none", "this centre's private key"},
    {"mqtt_ack", Kind::kText,
     [](Options &o, const Value &v) { return o.mqtt_ack_given = true, mqtt()(o, v); }, "broker|immediate",
     "broker", "acknowledge user data once the broker has it, or at once (when ack is not given)"},
    {"mqtt_buffer", Kind::kUInt, mqtt(), "N", "10000", "uplinks kept in order while the broker is away"},
    {"mqtt_stats_interval", Kind::kUInt, mqtt(), "S", "10", "seconds between stats messages; 0 none"},
    {"mqtt_claim_unknown", Kind::kBool, mqtt(true), nullptr, "on", "take commands for IDs no centre has reported"},
    {"mqtt_handover_timeout", Kind::kUInt, mqtt(), "S", "10",
     "a downlink handed to another centre and not taken comes back after S seconds"},
    // The HTTP side (docs/http.md).
    {"http", Kind::kText, text(FIELD(http.listen)), "ADDR:PORT", "off",
     "serve the API, metrics and web console (127.0.0.1 unless a token is set)"},
    {"http_token", Kind::kText, text(FIELD(http.token)), "T", "none", "the token the API asks for"},
    {"http_root", Kind::kText, text(FIELD(http.root)), "DIR", "beside the program", "the web console's files"},
    {"http_priority", Kind::kText, text(FIELD(http.priority)), "nice|idle|normal", "nice",
     "the server threads' CPU priority against the terminals' loop"},
    {"http_max_per_client", Kind::kUInt, whole(FIELD(http.max_per_client), 100000), "N", "16",
     "connections at once from one address; 0 no cap"},
};

#undef FIELD

const Row *find_row(const std::string &key) {
  for (const Row &r : kRows)
    if (r.file && key == r.key) return &r;
  return nullptr;
}

std::string flag_of(const Row &r) {
  std::string n = r.key;
  for (char &ch : n)
    if (ch == '_') ch = '-';
  return n;
}

bool apply(const Row &r, const std::string &name, const std::string &text, Options *o, std::string *why) {
  const std::string key = r.key;
  return r.set(*o, Value{key, name, text, why});
}

// A TOML scalar as the text a flag would carry; false for a wrong type.
bool scalar_text(const toml::node &n, Kind kind, std::string *out) {
  if (kind == Kind::kMode && n.is_boolean()) return scalar_text(n, Kind::kBool, out);
  if (kind == Kind::kBool) {
    if (!n.is_boolean()) return false;
    *out = n.as_boolean()->get() ? "true" : "false";
    return true;
  }
  // TOML also writes integers in hex, octal and binary (0x10, 0o20, 0b1);
  // the centre's numbers are decimal, as on the command line.
  const auto decimal = [](const toml::node &i) { return i.as_integer()->flags() == toml::value_flags::none; };
  if (kind == Kind::kUInt) {
    if (!n.is_integer() || !decimal(n)) return false;
    *out = std::to_string(n.as_integer()->get());
    return true;
  }
  if (kind == Kind::kReal) {
    if (n.is_integer()) {
      if (!decimal(n)) return false;
      *out = std::to_string(n.as_integer()->get());
    } else if (n.is_floating_point()) {
      char b[64];
      std::snprintf(b, sizeof b, "%.17g", n.as_floating_point()->get());
      *out = b;
    } else return false;
    return true;
  }
  if (!n.is_string()) return false;
  *out = n.as_string()->get();
  return true;
}

const char *kind_name(Kind k) {
  switch (k) {
    case Kind::kBool: return "true or false";
    case Kind::kUInt: return "a whole decimal number";
    case Kind::kReal: return "a decimal number";
    case Kind::kList: return "a list of texts";
    case Kind::kMode: return "true, false or a text in quotes";
    default: return "a text in quotes";
  }
}

// One key of the file.
bool load_key(const Row &r, const toml::node &node, const std::string &name, Options *o, std::string *why) {
  std::string v;
  if (r.kind != Kind::kList) {
    if (!scalar_text(node, r.kind, &v)) return *why = name + ": expected " + kind_name(r.kind), false;
    return apply(r, name, v, o, why);
  }
  const toml::array *a = node.as_array();
  if (a == nullptr) return *why = name + ": expected a list of texts, e.g. [\"10.0.0.1\"]", false;
  for (const toml::node &item : *a) {
    if (!scalar_text(item, Kind::kText, &v)) return *why = name + ": expected a list of texts", false;
    if (!apply(r, name, v, o, why)) return false;
  }
  return true;
}

// Appends the words to `out`, wrapped at 79 columns, lines after the first
// indented to `indent`.  A word may hold spaces: it is never broken.
void wrap(const std::vector<std::string> &words, std::size_t indent, std::string *out) {
  const std::size_t nl = out->rfind('\n');
  std::size_t col = out->size() - (nl == std::string::npos ? 0 : nl + 1);
  for (const std::string &word : words) {
    if (col > indent && col + 1 + word.size() > 79) {
      *out += "\n" + std::string(indent, ' ');
      col = indent;
    } else if (col > indent) {
      *out += ' ';
      ++col;
    }
    *out += word;
    col += word.size();
  }
}

// The --help text of one option: its flags, then its help and its default.
std::string help_line(const Row &r) {
  std::string s = r.short_flag ? std::string("  -") + r.short_flag + ", " : std::string(6, ' ');
  s += "--" + flag_of(r);
  if (r.arg && r.kind == Kind::kMode) s += ", --" + flag_of(r) + "=" + r.arg;
  if (r.negative) s += ", --" + std::string(r.negative);
  if (r.arg && r.kind != Kind::kMode) s += std::string(" ") + r.arg;
  constexpr std::size_t kColumn = 31;
  s += s.size() < kColumn ? std::string(kColumn - s.size(), ' ') : "\n" + std::string(kColumn, ' ');
  std::vector<std::string> words;
  for (std::size_t p = 0, end; p <= std::strlen(r.help); p = end + 1) {
    end = std::string(r.help).find(' ', p);
    if (end == std::string::npos) end = std::strlen(r.help);
    words.emplace_back(r.help + p, end - p);
  }
  if (r.def) words.push_back(std::string("(default ") + r.def + ")");
  wrap(words, kColumn, &s);
  return s + "\n";
}

}  // namespace

bool load_config_text(const std::string &text, const std::string &source, Options *o, std::string *why) {
  toml::table t;
  try {
    t = toml::parse(text, source);
  } catch (const toml::parse_error &e) {
    const auto &b = e.source().begin;
    *why = source + ":" + std::to_string(b.line) + ":" + std::to_string(b.column) + ": " +
           std::string(e.description());
    return false;
  }
  for (const auto &[k, node] : t) {
    const std::string key(k.str());
    const Row *r = find_row(key);
    if (r == nullptr) return *why = source + ": unknown key \"" + key + "\"", false;
    if (!load_key(*r, node, source + ": " + key, o, why)) return false;
  }
  return true;
}

bool load_config(const std::string &path, Options *o, std::string *why) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *why = "--config: cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  // A folder opens but does not read (EISDIR); nor does a file on a failing
  // disk.  Either is an error, not an empty configuration.
  const int read_error = std::ferror(f) ? errno : 0;
  std::fclose(f);
  if (read_error != 0) {
    *why = "--config: cannot read " + path + ": " + std::strerror(read_error);
    return false;
  }
  return load_config_text(text, path, o, why);
}

void usage(std::FILE *out) {
  std::string s =
      "usage: dtucentre [options]\n"
      "A data service centre for GPRS data terminals over UDP. Every option can also be\n"
      "set in the configuration file (the key is the option's name with '_' for '-');\n"
      "an option given here wins over the file.\n"
      "  -c, --config FILE            TOML configuration file\n";
  for (const Row &r : kRows) s += help_line(r);
  s += "      --version, --help\n"
       "Numbers are decimal. Exit codes: 0 stopped, 1 could not start, 2 bad arguments,\n"
       "3 the state directory cannot be written or another centre holds it, 4 the\n"
       "journal is damaged (--journal-check says how).\n"
       "Signals: SIGTERM and SIGINT stop; SIGHUP reopens the log and capture files and\n"
       "reads the allow-list again.\n"
       "Reference (installed in share/doc/dtucentre): docs/centre.md (options, events,\n"
       "console, exit codes), docs/events.md (the event and terminal fields), docs/mqtt.md\n"
       "(the MQTT gateway), docs/http.md (the HTTP API and web console).\n";
  std::fputs(s.c_str(), out);
}

namespace {

// getopt's codes: a row's flag is kRowCode + its index, its negative flag
// kNegativeCode + the index.
enum { kRowCode = 1000, kNegativeCode = 2000, kVersion = 256, kListKeys };
constexpr std::size_t kRowCount = sizeof kRows / sizeof kRows[0];

std::vector<option> long_options(std::vector<std::string> *names) {
  names->clear();
  for (const Row &r : kRows) names->push_back(flag_of(r));
  std::vector<option> longs;
  for (std::size_t i = 0; i < kRowCount; ++i) {
    const int code = static_cast<int>(i);
    const Kind k = kRows[i].kind;
    longs.push_back({(*names)[i].c_str(),
                     k == Kind::kBool ? no_argument : k == Kind::kMode ? optional_argument : required_argument,
                     nullptr, kRowCode + code});
    if (kRows[i].negative) longs.push_back({kRows[i].negative, no_argument, nullptr, kNegativeCode + code});
  }
  longs.push_back({"config", required_argument, nullptr, 'c'});
  longs.push_back({"version", no_argument, nullptr, kVersion});
  // Not in --help: for the packaging tests, which check that the sample
  // configuration and the reference name every key the program takes.
  longs.push_back({"list-keys", no_argument, nullptr, kListKeys});
  longs.push_back({"help", no_argument, nullptr, 'h'});
  longs.push_back({nullptr, 0, nullptr, 0});
  return longs;
}

std::string short_options() {
  std::string s = ":c:h";
  for (const Row &r : kRows)
    if (r.short_flag) s += std::string(1, r.short_flag) + (r.kind == Kind::kBool ? "" : ":");
  return s;
}

// The row of a short flag's code, or of a long flag's.
const Row *row_of(int code, bool *negative) {
  *negative = code >= kNegativeCode && code < kNegativeCode + static_cast<int>(kRowCount);
  if (*negative) return &kRows[code - kNegativeCode];
  if (code >= kRowCode && code < kRowCode + static_cast<int>(kRowCount)) return &kRows[code - kRowCode];
  for (const Row &r : kRows)
    if (r.short_flag && r.short_flag == code) return &r;
  return nullptr;
}

// The flags given, in order, read once the file is in; the flags' list (of
// --filter) replaces the file's.
bool apply_flags(const std::vector<std::pair<int, std::string>> &given, Options *o, std::string *why) {
  bool lists_cleared = false;
  for (const auto &[code, value] : given) {
    bool negative = false;
    const Row *r = row_of(code, &negative);
    if (r == nullptr) continue;
    if (r->kind == Kind::kList && !lists_cleared) {
      o->service.filters.clear();
      lists_cleared = true;
    }
    const std::string name = negative ? std::string("--") + r->negative : "--" + flag_of(*r);
    if (!apply(*r, name, negative ? "false" : value, o, why)) return false;
  }
  return true;
}

// systemd's StateDirectory= gives STATE_DIRECTORY (several folders are
// separated by ':'; the first is the centre's).
std::string state_directory_of_environment() {
  const char *env = std::getenv("STATE_DIRECTORY");
  if (env == nullptr) return "";
  const std::string all(env);
  return all.substr(0, all.find(':'));
}

// The acknowledgement mode for the setup, and the fields that carry it: the
// service acknowledges itself ("journal": after the commit; "immediate": at
// once), the gateway after the broker, or nobody.
bool settle_ack(Options *o, std::string *why) {
  AckMode mode = o->ack;
  const bool journal = !o->service.state_dir.empty();
  if (mode == AckMode::kSetup) {
    if (o->mqtt_on && (o->mqtt_ack_given || !journal))
      mode = o->mqtt.ack_after_broker ? AckMode::kBroker : AckMode::kImmediate;
    else mode = journal ? AckMode::kJournal : AckMode::kImmediate;
  }
  if (mode == AckMode::kJournal && !journal)
    return *why = "ack: journal needs a state directory (state_dir)", false;
  if (mode == AckMode::kBroker && !o->mqtt_on) return *why = "ack: broker needs the MQTT gateway (mqtt)", false;
  o->ack = mode;
  o->service.ack = mode == AckMode::kJournal || mode == AckMode::kImmediate;
  o->service.ack_on_commit = mode == AckMode::kJournal;
  if (o->mqtt_on) o->mqtt.ack_after_broker = mode == AckMode::kBroker;
  return true;
}

}  // namespace

const char *ack_mode_name(AckMode mode) {
  switch (mode) {
    case AckMode::kJournal: return "journal";
    case AckMode::kBroker: return "broker";
    case AckMode::kImmediate: return "immediate";
    case AckMode::kOff: return "off";
    default: return "setup";
  }
}

ParseResult parse_options(int argc, char **argv, Options *o, std::string *why) {
  std::vector<std::string> names;
  const std::vector<option> longs = long_options(&names);
  const std::string shorts = short_options();
  // First the flags are collected, then the file is read, then the flags
  // applied over it.
  std::vector<std::pair<int, std::string>> given;
  opterr = 0;
  optind = 1;
  for (int c; (c = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr)) != -1;) {
    if (c == '?') return *why = std::string("unknown option \"") + argv[optind - 1] + "\"", ParseResult::kBad;
    if (c == ':') return *why = std::string("option \"") + argv[optind - 1] + "\" needs a value", ParseResult::kBad;
    if (c == 'h') {
      usage(stdout);
      return ParseResult::kExit0;
    }
    if (c == kVersion) {
      std::printf("dtucentre %s\n", DTUCENTRE_VERSION);
      return ParseResult::kExit0;
    }
    if (c == kListKeys) {
      for (const Row &r : kRows)
        if (r.file) std::printf("%s\n", r.key);
      return ParseResult::kExit0;
    }
    if (c == 'c') o->config_file = optarg;
    else given.emplace_back(c, optarg ? optarg : "");
  }
  if (optind < argc) return *why = std::string("unexpected argument \"") + argv[optind] + "\"", ParseResult::kBad;
  if (!o->config_file.empty() && !load_config(o->config_file, o, why)) return ParseResult::kBad;
  if (!apply_flags(given, o, why)) return ParseResult::kBad;
  if (o->quiet && o->summary_interval == 0) o->summary_interval = 60;
  if (!o->state_dir_given) o->service.state_dir = state_directory_of_environment();
  if (o->journal_check && o->service.state_dir.empty())
    return *why = "--journal-check: no state directory (state_dir, or STATE_DIRECTORY)", ParseResult::kBad;
  if (!settle_ack(o, why)) return ParseResult::kBad;
  if (!o->param_names.empty() && !load_param_names(o->param_names, &o->names, why)) return ParseResult::kBad;
  if (o->mqtt_on) dtu::mqtt::adjust(&o->service, o->mqtt);
  if (!dtu::svc::validate(o->service, why)) return ParseResult::kBad;
  if (!o->http.listen.empty() && !dtu::http::validate(o->http, why)) return ParseResult::kBad;
  return ParseResult::kRun;
}

}  // namespace centre
