// The centre's options: a TOML configuration file (--config) and command-line
// flags for the same settings; a flag wins over the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gateway.h"
#include "http.h"
#include "param_names.h"
#include "service.h"

namespace centre {

// How the terminals' user data is acknowledged (`ack`): what each promises
// is in docs/centre.md.
enum class AckMode : std::uint8_t {
  kSetup,      // true, or not given: "journal" with a state directory, else mqtt_ack's choice with
               // the gateway ("broker" unless told "immediate"), else "immediate"
  kJournal,    // once the frame's record is on disk
  kBroker,     // once the MQTT broker has it
  kImmediate,  // at once
  kOff,        // never
};
const char *ack_mode_name(AckMode mode);

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
  // As asked; parse_options settles kSetup into the mode for the setup and
  // sets the service's and the gateway's fields from it.
  AckMode ack = AckMode::kSetup;
  bool mqtt_ack_given = false;      // mqtt_ack named: it decides when `ack` does not
  bool state_dir_given = false;     // state_dir named (even ""): STATE_DIRECTORY is not consulted
  bool journal_check = false;       // --journal-check: report the journal's integrity and exit
  std::string param_names;          // the deployment's parameter file; empty: by number only
  std::shared_ptr<const dtu::svc::ParamNames> names;  // what parse_options read from it
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
