// The console centre's log: one line per event, as text or as JSON.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "dtucentre.h"

namespace console {

// GBK (the library's message texts) to UTF-8 for the terminal.
std::string gbk_to_utf8(const std::string &gbk);
std::string dotted(std::uint32_t addr_host);
std::string hex_bytes(const std::uint8_t *p, std::size_t n);
std::string printable(const std::uint8_t *p, std::size_t n);
std::string json_escape(const std::string &s);

struct Field {
  std::string key;
  std::string value;
  bool number = false;  // written without quotes in JSON
  bool quoted = false;  // a text shown in quotes in the plain log
};

class Log {
 public:
  Log(std::FILE *out, bool json) : out_(out), json_(json) {}
  // time kind id address:port, then key=value pairs.
  void event(const std::string &kind, const std::string &id, const std::string &addr,
             const std::vector<Field> &fields);
  // A plain line (messages, command answers); JSON wraps it as "info".
  void line(const std::string &kind, const std::string &text);
  bool json() const { return json_; }

 private:
  std::mutex m_;
  std::FILE *out_;
  bool json_;
};

std::string now_text();

}  // namespace console
