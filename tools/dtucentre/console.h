// The centre's commands (typed at the interactive console, or read from
// standard input with --console) and the filter that decides which events
// reach the log.  Runs on the service's loop thread.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dtucentre/format.h"
#include "dtucentre/output.h"
#include "dtucentre/words.h"
#include "service.h"

namespace centre {

// Which events the log shows.
class EventFilter {
 public:
  EventFilter();
  bool shows(const dtu::svc::Event &e) const;
  // "quiet": only start, stop and error (and what the operator turns on).
  void quiet();
  void reset();
  bool set_type(const std::string &name, bool on);  // false: no such type
  void set_id_prefix(std::string prefix) { prefix_ = std::move(prefix); }
  const std::string &id_prefix() const { return prefix_; }
  std::vector<std::string> shown() const;
  std::vector<std::string> hidden() const;

 private:
  std::bitset<dtu::svc::kEventTypeCount> on_;
  std::string prefix_;
};

class Console {
 public:
  Console(dtu::svc::Service &service, Output &out, EventFilter &filter, bool json)
      : svc_(service), out_(out), filter_(filter), json_(json) {}

  // Runs one command line and writes its reply (one JSON object per command
  // in JSON mode).  False when the line asks to quit.
  bool execute(std::string_view line);
  // A line that could not be taken (too long): its error reply.
  void execute_error(const std::string &why) { fail("", why); }

  // The summary line for --quiet.
  std::string summary();

 private:
  void ok(const std::string &command, Json fields, const std::string &text);
  void fail(const std::string &command, const std::string &why);
  // False (and the command's error reply) when `id` cannot be a terminal's.
  bool valid_id(const char *command, const std::string &id);
  void help();
  void list(const std::vector<std::string> &w);
  void send(const std::vector<std::string> &w, std::string_view line, bool hex);
  void close(const std::vector<std::string> &w, bool all);
  void read(const std::vector<std::string> &w);
  void params(const std::vector<std::string> &w);
  void set(const std::vector<std::string> &w);
  void filter(const std::vector<std::string> &w);
  void stats();
  void history(const std::vector<std::string> &w);
  void meta(const std::vector<std::string> &w);
  void unmeta(const std::vector<std::string> &w);
  void registry(const std::vector<std::string> &w);

  dtu::svc::Service &svc_;
  Output &out_;
  EventFilter &filter_;
  bool json_;
  std::uint64_t last_in_ = 0;
  std::int64_t last_summary_ms_ = 0;
};

}  // namespace centre
