// The receive path: one datagram per call, head check, a per-datagram
// UserInfo, and dispatch by packet code to the callback slots or the
// parameter decoder.  Nothing here allocates.
#include <cstdio>
#include <cstring>

#include "core/link.h"
#include "core/state.h"
#include "core/texts.h"
#include "frame/frame.h"
#include "params/store.h"
#include "server/server.h"
#include "users/handlers.h"

namespace dtu {
namespace {

// The longest text written here: the read error with an 11-character number.
static_assert(sizeof text::kReadError - 2 + 11 <= DTU_MAX_RECEIVE_TEXT_BYTES, "read error text bound");
static_assert(sizeof text::kErrorPacket <= DTU_MAX_RECEIVE_TEXT_BYTES, "error packet text bound");

// The fields of a DataRecord end at byte 1058; byte 1059 may not exist.
constexpr std::size_t kRecordBytes = offsetof(DataRecord, dataType) + 1;

// Calls a slot unless the host stored NULL in it.
template <typename Callback, typename... Args>
void call_slot(Callback cb, Args... args) {
  if (cb != nullptr) cb(args...);
}

}  // namespace

void reset_data_record(DataRecord *record) {
  std::memset(record, 0, kRecordBytes);
}

bool dispatch_datagram(const std::uint8_t *datagram, int size, std::uint32_t addr,
                      std::uint16_t port, DataRecord *record, char *message, int ack_flag) {
  if (size < static_cast<int>(kHeadSize)) return true;  // dropped without a word
  platform::LockGuard lock(g_centre.lock);

  char id[12];
  std::uint16_t length = 0;
  const int code = check_frame(datagram, static_cast<std::size_t>(size), id, &length);
  if (code < 0) {
    if (message != nullptr) std::strcpy(message, text::kErrorPacket);
    return false;
  }

  UserInfo user{};
  std::memcpy(user.userId, id, sizeof user.userId);
  user.peerAddr = addr;
  user.peerPort = port;
  // One reading of the clock serves the record's text and the user's stamp.
  const std::uint32_t now = platform::now_seconds();
  std::memcpy(user.updateTime, &now, sizeof now);
  std::memcpy(record->userId, id, sizeof record->userId);
  platform::local_time_text(now, record->recvTime);

  switch (code) {
    case kLogon:
      if (length != kLogonShort && length != kLogonLong) return false;
      user.reportedAddr = get_be32(datagram + kLogonAddrOffset);
      user.reportedPort = get_be16(datagram + kLogonPortOffset);
      user.status = 1;
      call_slot(logon_slot(), &user);
      record->dataType = DTU_DATA_LOGON;
      break;
    case kLogout:
      call_slot(logout_slot(), &user);
      record->dataType = DTU_DATA_LOGOUT;
      break;
    case kInvalidCmd:
      record->dataType = DTU_DATA_INVALID;
      break;
    case kDataReply:
      call_slot(recvdata_reply_slot(), &user);
      record->dataType = DTU_DATA_REPLY;
      break;
    case kUserData: {
      // The payload runs from behind the head to the end of the datagram,
      // whatever the length field says; at most 1024 bytes.
      const auto n = static_cast<std::size_t>(size) - kHeadSize;
      std::memcpy(record->data, datagram + kHeadSize, n);
      record->dataLength = static_cast<std::uint16_t>(n);
      record->dataType = DTU_DATA_USER;
      // The record is complete before the callback; what it leaves stands.
      call_slot(recvdata_slot(), &user, record, ack_flag);
      break;
    }
    case kParamReadReply:
      decode_param_reply(datagram, length);
      record->dataType = DTU_DATA_PARAM_READ;
      break;
    case kParamSetReply:
      record->dataType = DTU_DATA_PARAM_SET;
      break;
    case kIdReport:
      if (datagram[kBodyOffset] != kFrameMark) return false;
      std::memset(record->recvTime, 0, sizeof record->recvTime);
      record->dataLength = 0;
      record->dataType = DTU_DATA_ID_REPORT;
      break;
    default:
      call_slot(invalidcmd_slot(), &user);
      record->dataType = DTU_DATA_INVALID;
      break;
  }
  return true;
}

bool read_datagram(DataRecord *record, char *message, int ack_flag) {
  reset_data_record(record);
  std::uint8_t datagram[kMaxDatagram];
  std::uint32_t addr = 0;
  std::uint16_t port = 0;
  std::size_t wire_size = 0;
  const int size =
      platform::recv_from(server_socket(), datagram, sizeof datagram, &addr, &port, &wire_size);
  if (size >= 0 || wire_size > sizeof datagram) {
    const std::size_t kept = size >= 0 ? static_cast<std::size_t>(size) : sizeof datagram;
    tap_datagram(DTU_WIRE_IN, addr, port, datagram, kept, size >= 0 ? kept : wire_size);
  }
  if (size < 0) {
    const int error = platform::last_error();
    note_socket_error(error);
    if (message != nullptr) std::sprintf(message, text::kReadError, error);
    return false;
  }
  return dispatch_datagram(datagram, size, addr, port, record, message, ack_flag);
}

}  // namespace dtu
