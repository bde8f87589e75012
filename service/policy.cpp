// The centre's own frame handlers for logon-only and the allow-list, and the
// allow-list file.
#include "policy.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "dtucentre.h"

namespace dtu::svc {

bool AllowList::parse(std::string_view text, std::string *error) {
  std::vector<std::string> exact, prefixes;
  std::size_t line_no = 0, pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    const std::size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) line.remove_prefix(1);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.remove_suffix(1);
    if (line.empty()) continue;
    const bool prefix = line.back() == '*';
    if (prefix) line.remove_suffix(1);
    if (line.size() > DTU_ID_LENGTH || line.find('*') != std::string_view::npos) {
      if (error)
        *error = "line " + std::to_string(line_no) +
                 ": an entry is an ID of at most 11 characters, or such a prefix followed by *";
      return false;
    }
    (prefix ? prefixes : exact).emplace_back(line);
  }
  std::sort(exact.begin(), exact.end());
  exact_ = std::move(exact);
  prefixes_ = std::move(prefixes);
  return true;
}

bool AllowList::load(const std::string &path, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read allow-list " + path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string why;
  if (!parse(ss.str(), &why)) {
    if (error) *error = path + ": " + why;
    return false;
  }
  return true;
}

bool AllowList::names_exactly(std::string_view id) const {
  return std::binary_search(exact_.begin(), exact_.end(), id);
}

bool AllowList::allows(std::string_view id) const {
  if (std::binary_search(exact_.begin(), exact_.end(), id)) return true;
  for (const std::string &p : prefixes_)
    if (id.substr(0, p.size()) == p) return true;
  return false;
}



// ---- the handlers ------------------------------------------------------
namespace {

constexpr int kSendLogonAck = DTU_CMD_LOGON_ACK, kSendDataAck = DTU_CMD_DATA_ACK,
              kSendNotLoggedOn = DTU_CMD_NOT_LOGGED_ON, kSendInvalidReply = DTU_CMD_INVALID_REPLY;

// "YYYY-mm-dd HH:MM:SS" in local time, as the library writes logon times.
void local_time_text(char out[20]) {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::strftime(out, 20, "%Y-%m-%d %H:%M:%S", &tm);
}


std::atomic<PolicyState *> g_state{nullptr};

bool same_peer(const UserInfo &a, const UserInfo &b) {
  return a.peerAddr == b.peerAddr && a.peerPort == b.peerPort;
}

bool online_record(const char *id, UserInfo *out) {
  return get_user_info(id, out) == 0 && out->status == 1;
}

// Moves an on-line record to the sender's address: the public calls have no
// update, so the record is closed and stored again (logon time and stated
// address kept; it may land in a lower free slot).
void move_record(const UserInfo &current, const UserInfo &from) {
  UserInfo moved = current;
  moved.peerAddr = from.peerAddr;
  moved.peerPort = from.peerPort;
  std::memcpy(moved.updateTime, from.updateTime, sizeof moved.updateTime);
  do_close_one_user(current.userId, nullptr);
  AddOneUser(&moved);
}

// Non-logon frames: false when the frame is refused (logon-only, another
// address): the sender is told NotLoggedOn, and the service reports it.
bool accept_frame(UserInfo *user, UserInfo *current) {
  PolicyState *s = g_state.load();
  if (s != nullptr && s->logon_only) {
    if (!same_peer(*current, *user)) {
      s->verdict = "address";
      send_cmd(user->peerAddr, user->peerPort, user, kSendNotLoggedOn);
      return false;
    }
    return true;
  }
  if (!same_peer(*current, *user)) {
    move_record(*current, *user);
    *current = UserInfo{};
    online_record(user->userId, current);
  }
  return true;
}

int DTU_CALL policy_logon(UserInfo *user) {
  PolicyState *s = g_state.load();
  if (s != nullptr && s->allow != nullptr && !s->allow->allows(user->userId)) {
    s->verdict = "not-allowed";  // no record, no answer
    return 0;
  }
  if (s != nullptr && s->registry != nullptr && s->registry->find(user->userId) == nullptr) {
    s->verdict = "unregistered";  // the same: no record, no answer
    return 0;
  }
  UserInfo current{};
  UserInfo stored = *user;
  stored.status = 1;
  if (online_record(user->userId, &current)) {
    std::memcpy(stored.logonTime, current.logonTime, sizeof stored.logonTime);  // the first logon's time
    do_close_one_user(user->userId, nullptr);
  } else {
    std::memset(stored.logonTime, 0, sizeof stored.logonTime);
    local_time_text(stored.logonTime);
  }
  if (AddOneUser(&stored) != 0) return 0;  // table full: no answer
  send_cmd(user->peerAddr, user->peerPort, user, kSendLogonAck);
  return 0;
}

int DTU_CALL policy_logout(UserInfo *user) {
  UserInfo current{};
  if (!online_record(user->userId, &current)) return 0;
  PolicyState *s = g_state.load();
  if (s != nullptr && s->logon_only && !same_peer(current, *user)) {
    s->verdict = "address";
    send_cmd(user->peerAddr, user->peerPort, user, kSendNotLoggedOn);
    return 0;
  }
  do_close_one_user2(user->userId, nullptr);  // LogoutCmd to its address, then off line
  return 0;
}

int DTU_CALL policy_recvdata(UserInfo *user, DataRecord *record, int ack_flag) {
  UserInfo current{};
  if (!online_record(user->userId, &current)) {
    send_cmd(user->peerAddr, user->peerPort, user, kSendNotLoggedOn);
    record->dataType = DTU_DATA_NOT_ONLINE;
    record->dataLength = 0;
    return 0;
  }
  if (!accept_frame(user, &current)) {
    record->dataType = DTU_DATA_NOT_ONLINE;
    record->dataLength = 0;
    return 0;
  }
  if (ack_flag != 0) send_cmd(current.peerAddr, current.peerPort, &current, kSendDataAck);
  return 0;
}

int DTU_CALL policy_reply(UserInfo *user) {
  UserInfo current{};
  if (online_record(user->userId, &current)) accept_frame(user, &current);
  return 0;
}

int DTU_CALL policy_invalid(UserInfo *user) {
  UserInfo current{};
  if (!online_record(user->userId, &current)) return 0;
  if (accept_frame(user, &current)) send_cmd(current.peerAddr, current.peerPort, &current, kSendInvalidReply);
  return 0;
}

bool g_logon_installed = false, g_all_installed = false;

}  // namespace

bool policy_attach(PolicyState *state) {
  PolicyState *expected = nullptr;
  return g_state.compare_exchange_strong(expected, state);
}

void policy_detach() { g_state.store(nullptr); }

void policy_install(const PolicyState &state) {
  if (state.logon_only && !g_all_installed) {
    SetEvtCALLBACK(policy_logon, policy_logout, policy_recvdata, policy_reply, policy_invalid);
    g_all_installed = g_logon_installed = true;
  } else if ((state.allow != nullptr || state.registry != nullptr) && !g_logon_installed) {
    SetLogonCALLBACK(policy_logon);
    g_logon_installed = true;
  }
}

}  // namespace dtu::svc
