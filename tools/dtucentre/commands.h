// The console centre's commands on standard input, and how it describes each
// record that do_read_proc returns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output.h"
#include "dtucentre.h"

namespace console {

using Bytes = std::vector<std::uint8_t>;

// "41 42 0a" or "41420A" to bytes; false for anything else.
bool parse_hex(const std::string &text, Bytes *out);
// "tag=value" to a tag and its value in wire form (numbers big-endian, tag
// 18 as its text); false with a reason for an unknown tag or a bad value.
bool parse_param(const std::string &item, int *tag, Bytes *value, std::string *why);

class Console {
 public:
  explicit Console(Log &log) : log_(log) {}
  // Runs one command line; false when it asks to quit.
  bool execute(const std::string &line);
  // One log line for a record returned by do_read_proc.
  void describe(const DataRecord &record);

 private:
  void error(const std::string &text) { log_.line("error", "error: " + text); }
  void info(const std::string &text) { log_.line("info", text); }
  bool online_user(const std::string &id, UserInfo *out);
  void list();
  void send(const std::string &id, const Bytes &payload);
  void close(const std::vector<std::string> &args, bool all);
  void read(const std::string &id);
  void set(const std::vector<std::string> &args);
  void help();

  Log &log_;
};

}  // namespace console
