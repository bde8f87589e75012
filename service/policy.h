// The address policy and the allow-list.  The library's own frame handlers
// follow a terminal to whatever address it last wrote from and let every ID
// log on; with logon-only or an allow-list the centre installs its own
// handlers instead.  The library's callbacks take no context, so what they
// apply is one narrow state, attached while a service runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "registry.h"

namespace dtu::svc {

// The allow-list file: one entry per line, '#' starts a comment, blank lines
// ignored; an entry ending in '*' is a prefix, any other an exact ID.
class AllowList {
 public:
  // False with "FILE:LINE: reason" for an entry longer than 11 bytes.
  bool load(const std::string &path, std::string *error);
  bool parse(std::string_view text, std::string *error);
  bool allows(std::string_view id) const;
  bool names_exactly(std::string_view id) const;  // an entry that is this whole ID
  bool empty() const { return exact_.empty() && prefixes_.empty(); }

 private:
  std::vector<std::string> exact_;
  std::vector<std::string> prefixes_;
};

// What the installed handlers read, and the one thing they tell back.
struct PolicyState {
  bool logon_only = false;           // only a logon speaks for a terminal from a new address
  const AllowList *allow = nullptr;  // nullptr: every ID may log on
  const Registry *registry = nullptr;  // set: only registered IDs may log on ("unregistered")
  // Set by a handler that refused the datagram being read ("address",
  // "not-allowed"); the reader clears it before each read.
  const char *verdict = nullptr;
};

// Makes `state` the one the handlers apply; false when another is attached
// (one running service per process).
bool policy_attach(PolicyState *state);
void policy_detach();
// Installs the handlers the state needs, once per process: the library
// cannot take its own back, so with nothing attached they follow the latest
// address as the built-in ones do.
void policy_install(const PolicyState &state);

}  // namespace dtu::svc
