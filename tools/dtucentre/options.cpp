#include "dtucentre/options.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include <toml++/toml.h>

#include "common/args.h"

#ifndef DTUCENTRE_VERSION
#define DTUCENTRE_VERSION "unknown"
#endif

namespace centre {
namespace {

// One setting, named as in the file (snake_case); the flag is the same name
// with '-'.  apply() reads a text value (from a flag, or a file's scalar as
// text) into the options.
enum class Kind { kText, kUInt, kReal, kBool, kList };
struct Setting {
  const char *key;
  Kind kind;
  long long max;  // kUInt
};

const Setting kSettings[] = {
    {"port", Kind::kUInt, 65535},
    {"bind", Kind::kText, 0},
    {"filter", Kind::kList, 0},
    {"ack", Kind::kBool, 0},
    {"idle_timeout", Kind::kUInt, 100000000},
    {"request_timeout", Kind::kUInt, 100000000},
    {"downlink_queue", Kind::kUInt, 100000},
    {"downlink_expiry", Kind::kUInt, 100000000},
    {"address_policy", Kind::kText, 0},
    {"allow_list", Kind::kText, 0},
    {"pcap", Kind::kText, 0},
    {"pcap_rotate_mb", Kind::kUInt, 1000000},
    {"pcap_keep", Kind::kUInt, 1000},
    {"trace", Kind::kBool, 0},
    {"recent_frames", Kind::kUInt, 1000},
    {"log_format", Kind::kText, 0},
    {"log_file", Kind::kText, 0},
    {"quiet", Kind::kBool, 0},
    {"summary_interval", Kind::kUInt, 100000000},
    {"simulate", Kind::kUInt, 500},
    {"duration", Kind::kReal, 0},
    // The MQTT gateway (the values are checked by dtu::mqtt::set_option).
    {"mqtt", Kind::kText, 0},           {"mqtt_prefix", Kind::kText, 0},
    {"mqtt_centre", Kind::kText, 0},    {"mqtt_client_id", Kind::kText, 0},
    {"mqtt_keepalive", Kind::kUInt, 65535}, {"mqtt_username", Kind::kText, 0},
    {"mqtt_password", Kind::kText, 0},  {"mqtt_tls_ca", Kind::kText, 0},
    {"mqtt_tls_cert", Kind::kText, 0},  {"mqtt_tls_key", Kind::kText, 0},
    {"mqtt_ack", Kind::kText, 0},       {"mqtt_buffer", Kind::kUInt, 10000000},
    {"mqtt_stats_interval", Kind::kUInt, 86400}, {"mqtt_claim_unknown", Kind::kBool, 0},
    {"http", Kind::kText, 0},
    {"http_token", Kind::kText, 0},
    {"http_root", Kind::kText, 0},
    {"http_priority", Kind::kText, 0},
};

const Setting *find_setting(const std::string &key) {
  for (const Setting &s : kSettings)
    if (key == s.key) return &s;
  return nullptr;
}

// `name` is how the user wrote it (--idle-timeout, or FILE: idle_timeout).
bool apply(const Setting &s, const std::string &name, const std::string &value, bool flag_bool, Options *o,
           std::string *why) {
  const std::string key = s.key;
  dtu::svc::Config &c = o->service;
  if (key.rfind("mqtt", 0) == 0) {
    o->mqtt_on = o->mqtt_on || key == "mqtt";
    const std::string v = s.kind == Kind::kBool && value.empty() ? (flag_bool ? "true" : "false") : value;
    return dtu::mqtt::set_option(&o->mqtt, key, v, name, why);
  }
  if (s.kind == Kind::kBool) {
    bool b = flag_bool;
    if (!value.empty()) {
      if (value == "true") b = true;
      else if (value == "false") b = false;
      else return *why = name + ": expected true or false, got \"" + value + "\"", false;
    }
    if (key == "ack") c.ack = b;
    else if (key == "trace") c.trace = b;
    else if (key == "quiet") o->quiet = b;
    return true;
  }
  if (s.kind == Kind::kUInt) {
    long long v = 0;
    if (!args::integer(name, value, 0, s.max, &v, why)) return false;
    if (key == "port") c.port = static_cast<std::uint16_t>(v);
    else if (key == "idle_timeout") c.idle_timeout = static_cast<unsigned>(v);
    else if (key == "request_timeout") {
      if (v == 0) return *why = name + ": must be at least 1 second", false;
      c.request_timeout = static_cast<unsigned>(v);
    } else if (key == "downlink_queue") c.downlink_queue = static_cast<std::size_t>(v);
    else if (key == "downlink_expiry") c.downlink_expiry = static_cast<unsigned>(v);
    else if (key == "pcap_rotate_mb") c.pcap_rotate_mb = static_cast<unsigned>(v);
    else if (key == "pcap_keep") c.pcap_keep = static_cast<unsigned>(v);
    else if (key == "recent_frames") c.recent_frames = static_cast<std::size_t>(v);
    else if (key == "summary_interval") o->summary_interval = static_cast<unsigned>(v);
    else if (key == "simulate") o->simulate = static_cast<int>(v);
    return true;
  }
  if (s.kind == Kind::kReal) return args::real(name, value, 0, 1e9, &o->duration, why);
  if (s.kind == Kind::kList) {
    c.filters.push_back(value);
    return true;
  }
  if (key == "bind") c.bind = value;
  else if (key == "address_policy") {
    if (value != "follow" && value != "logon-only")
      return *why = name + ": expected follow or logon-only, got \"" + value + "\"", false;
    c.address_policy = value;
  } else if (key == "allow_list") c.allow_list = value;
  else if (key == "pcap") c.pcap = value;
  else if (key == "log_format") {
    if (value != "text" && value != "json") return *why = name + ": expected text or json, got \"" + value + "\"", false;
    o->log_format = value;
  } else if (key == "log_file") o->log_file = value;
  else if (key == "http") o->http.listen = value;
  else if (key == "http_token") o->http.token = value;
  else if (key == "http_root") o->http.root = value;
  else if (key == "http_priority") o->http.priority = value;
  return true;
}

// A TOML scalar as the text a flag would carry; false for a wrong type.
bool scalar_text(const toml::node &n, Kind kind, std::string *out) {
  if (kind == Kind::kBool) {
    if (!n.is_boolean()) return false;
    *out = n.as_boolean()->get() ? "true" : "false";
    return true;
  }
  if (kind == Kind::kUInt) {
    if (!n.is_integer()) return false;
    *out = std::to_string(n.as_integer()->get());
    return true;
  }
  if (kind == Kind::kReal) {
    if (n.is_integer()) *out = std::to_string(n.as_integer()->get());
    else if (n.is_floating_point()) {
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
    case Kind::kUInt: return "a whole number";
    case Kind::kReal: return "a number";
    case Kind::kList: return "a list of texts";
    default: return "a text in quotes";
  }
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
    const Setting *s = find_setting(key);
    const std::string name = source + ": " + key;
    if (s == nullptr) {
      *why = source + ": unknown key \"" + key + "\"";
      return false;
    }
    if (s->kind == Kind::kList) {
      const toml::array *a = node.as_array();
      if (a == nullptr) return *why = name + ": expected a list of texts, e.g. [\"10.0.0.1\"]", false;
      for (const toml::node &item : *a) {
        std::string v;
        if (!scalar_text(item, Kind::kText, &v)) return *why = name + ": expected a list of texts", false;
        if (!apply(*s, name, v, true, o, why)) return false;
      }
      continue;
    }
    std::string v;
    if (!scalar_text(node, s->kind, &v)) return *why = name + ": expected " + kind_name(s->kind), false;
    if (!apply(*s, name, v, true, o, why)) return false;
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
  std::fclose(f);
  return load_config_text(text, path, o, why);
}

void usage(std::FILE *out) {
  std::fprintf(out,
               "usage: dtucentre [options]\n"
               "A data service centre for GPRS data terminals over UDP. Every option can also be\n"
               "set in the configuration file (the key is the option's name with '_' for '-');\n"
               "an option given here wins over the file.\n"
               "  -c, --config FILE          TOML configuration file\n"
               "  -p, --port PORT            UDP port, 0 for a free one (default 5002)\n"
               "      --bind ADDR            IPv4 address to bind (default 127.0.0.1; 0.0.0.0 for all)\n"
               "      --filter ADDR          leave a local address out of the banner (repeatable)\n"
               "      --ack, --no-ack        acknowledge user data at once (default on)\n"
               "      --idle-timeout S       take a terminal not heard for S seconds off line (300; 0 off)\n"
               "      --request-timeout S    end a parameter read or write not answered (30)\n"
               "      --downlink-queue N     messages kept per terminal off line (10)\n"
               "      --downlink-expiry S    life of a queued message (3600)\n"
               "      --address-policy P     follow (default) or logon-only\n"
               "      --allow-list FILE      IDs and prefixes (ABC*) allowed to log on\n"
               "      --pcap FILE            capture every datagram in and out\n"
               "      --pcap-rotate-mb M     rotate the capture file at M megabytes (0 never)\n"
               "      --pcap-keep N          rotated capture files kept (5)\n"
               "      --trace                log every datagram with its bytes\n"
               "      --log-format F         text (default) or json: one JSON object per line\n"
               "      --json                 same as --log-format json\n"
               "      --log-file FILE        log to FILE, not standard output (reopened on SIGHUP)\n"
               "      --quiet                no per-terminal lines; a summary every interval\n"
               "      --summary-interval S   seconds between summary lines (60 with --quiet)\n"
               "      --console              take commands on standard input even when it is\n"
               "                             not a terminal (end of input then stops the centre)\n"
               "      --simulate N           run N simulated terminals in this process (1-500)\n"
               "      --duration S           stop after S seconds\n"
               "      --mqtt HOST:PORT       publish to an MQTT broker and take commands from it;\n"
               "                             the mqtt_* settings (see docs/mqtt.md): --mqtt-prefix P\n"
               "                             (dtu), --mqtt-centre NAME, --mqtt-client-id ID,\n"
               "                             --mqtt-keepalive S, --mqtt-username U, --mqtt-password P,\n"
               "                             --mqtt-tls-ca/-cert/-key FILE, --mqtt-ack broker|immediate,\n"
               "                             --mqtt-buffer N, --mqtt-stats-interval S (10),\n"
               "                             --mqtt-claim-unknown\n"
               "      --http ADDR:PORT       serve the API, metrics and web console (127.0.0.1 unless\n"
               "                             a token is set); --http-token T, --http-root DIR,\n"
               "                             --http-priority nice|idle|normal (default nice)\n"
               "      --version, --help\n"
               "Numbers are decimal. Exit codes: 0 stopped, 1 could not start, 2 bad arguments.\n"
               "Signals: SIGTERM and SIGINT stop; SIGHUP reopens the log and capture files.\n");
}

ParseResult parse_options(int argc, char **argv, Options *o, std::string *why) {
  enum {
    kFirst = 256, kNoAck, kJson, kConsole, kVersion,
  };
  // Long options of the settings table get codes 1000 + index.
  std::vector<std::string> names;
  std::vector<option> longs;
  for (const Setting &s : kSettings) {
    std::string n = s.key;
    for (char &ch : n)
      if (ch == '_') ch = '-';
    names.push_back(n);
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    longs.push_back({names[i].c_str(), kSettings[i].kind == Kind::kBool ? no_argument : required_argument, nullptr,
                     1000 + static_cast<int>(i)});
  longs.push_back({"config", required_argument, nullptr, 'c'});
  longs.push_back({"no-ack", no_argument, nullptr, kNoAck});
  longs.push_back({"json", no_argument, nullptr, kJson});
  longs.push_back({"console", no_argument, nullptr, kConsole});
  longs.push_back({"version", no_argument, nullptr, kVersion});
  longs.push_back({"help", no_argument, nullptr, 'h'});
  longs.push_back({nullptr, 0, nullptr, 0});

  // First the flags are collected, then the file is read, then the flags
  // applied over it.
  std::vector<std::pair<int, std::string>> given;
  opterr = 0;
  optind = 1;
  for (int c; (c = getopt_long(argc, argv, ":c:p:h", longs.data(), nullptr)) != -1;) {
    if (c == '?') {
      *why = std::string("unknown option \"") + argv[optind - 1] + "\"";
      return ParseResult::kBad;
    }
    if (c == ':') {
      *why = std::string("option \"") + argv[optind - 1] + "\" needs a value";
      return ParseResult::kBad;
    }
    if (c == 'h') {
      usage(stdout);
      return ParseResult::kExit0;
    }
    if (c == kVersion) {
      std::printf("dtucentre %s\n", DTUCENTRE_VERSION);
      return ParseResult::kExit0;
    }
    if (c == 'c') o->config_file = optarg;
    else given.emplace_back(c, optarg ? optarg : "");
  }
  if (optind < argc) {
    *why = std::string("unexpected argument \"") + argv[optind] + "\"";
    return ParseResult::kBad;
  }
  if (!o->config_file.empty() && !load_config(o->config_file, o, why)) return ParseResult::kBad;
  bool filters_from_flags = false;
  for (const auto &[c, value] : given) {
    if (c == 'p') {
      if (!apply(kSettings[0], "--port", value, true, o, why)) return ParseResult::kBad;
    } else if (c == kNoAck) {
      o->service.ack = false;
    } else if (c == kJson) {
      o->log_format = "json";
    } else if (c == kConsole) {
      o->console = true;
    } else if (c >= 1000) {
      const std::size_t i = static_cast<std::size_t>(c - 1000);
      if (kSettings[i].kind == Kind::kList && !filters_from_flags) {
        o->service.filters.clear();  // the flags' list replaces the file's
        filters_from_flags = true;
      }
      if (!apply(kSettings[i], "--" + names[i], value, true, o, why)) return ParseResult::kBad;
    }
  }
  if (o->simulate > 0 && o->service.port == 0) {
    // the fleet reads the port back after the start
  }
  if (o->quiet && o->summary_interval == 0) o->summary_interval = 60;
  if (o->mqtt_on) dtu::mqtt::adjust(&o->service, o->mqtt);
  if (!dtu::svc::validate(o->service, why)) return ParseResult::kBad;
  if (!o->http.listen.empty() && !dtu::http::validate(o->http, why)) return ParseResult::kBad;
  return ParseResult::kRun;
}

}  // namespace centre
