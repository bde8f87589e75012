// The centre's options: a TOML configuration file (--config) and command-line
// flags for the same settings; a flag wins over the file.
#pragma once

#include <string>
#include <vector>

#include "gateway.h"
#include "http.h"
#include "service.h"

namespace centre {

struct Options {
  dtu::svc::Config service;      // what the service core takes
  std::string config_file;
  std::string log_format = "text";  // "text" | "json"
  std::string log_file;             // empty: standard output
  bool console = false;             // read commands from standard input even when it is no terminal
  bool quiet = false;               // no per-terminal event lines; a summary line instead
  unsigned summary_interval = 0;    // s; 0: 60 with --quiet, otherwise none
  int simulate = 0;                 // simulated terminals in this process
  double duration = 0;              // s; 0: until stopped
  bool mqtt_on = false;             // --mqtt given: the MQTT gateway runs
  dtu::mqtt::Options mqtt;
  dtu::http::Options http;          // the HTTP side (--http ADDR:PORT); listen empty: off
};

enum class ParseResult { kRun, kExit0, kBad };

// Reads the flags and the file they name.  kBad: one line naming the bad
// argument or key is in *error (exit code 2); kExit0: --help or --version
// was printed.
ParseResult parse_options(int argc, char **argv, Options *out, std::string *error);
// The file alone (used by parse_options, and by tests).
bool load_config(const std::string &path, Options *out, std::string *error);
bool load_config_text(const std::string &text, const std::string &source, Options *out, std::string *error);

void usage(std::FILE *out);

}  // namespace centre
