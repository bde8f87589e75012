#include "names.h"

namespace dtu::svc {

const char *result_name(CommandResult r) {
  switch (r) {
#define DTU_NAME_CASE(name, text) \
  case CommandResult::name: return text;
    DTU_COMMAND_RESULTS(DTU_NAME_CASE)
#undef DTU_NAME_CASE
  }
  return "error";
}

CommandResult result_from_name(std::string_view text) {
#define DTU_NAME_MATCH(name, word) \
  if (text == word) return CommandResult::name;
  DTU_COMMAND_RESULTS(DTU_NAME_MATCH)
#undef DTU_NAME_MATCH
  return CommandResult::kOther;
}

const char *downlink_state_name(DownlinkState s) {
  switch (s) {
#define DTU_NAME_CASE(name, text) \
  case DownlinkState::name: return text;
    DTU_DOWNLINK_STATES(DTU_NAME_CASE)
#undef DTU_NAME_CASE
  }
  return "unknown";
}

const char *policy_name(AddressPolicy p) {
  switch (p) {
#define DTU_NAME_CASE(name, text) \
  case AddressPolicy::name: return text;
    DTU_ADDRESS_POLICIES(DTU_NAME_CASE)
#undef DTU_NAME_CASE
  }
  return "unknown";
}

bool policy_from_name(std::string_view text, AddressPolicy *out) {
#define DTU_NAME_MATCH(name, word)  \
  if (text == word) {               \
    *out = AddressPolicy::name;     \
    return true;                    \
  }
  DTU_ADDRESS_POLICIES(DTU_NAME_MATCH)
#undef DTU_NAME_MATCH
  return false;
}

}  // namespace dtu::svc
