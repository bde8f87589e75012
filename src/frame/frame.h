// Wire frames shared by both directions: layout, codes, head check and
// builders.  A pure codec: nothing here touches a socket.
//
// Frame:   7B | code | len(be16) | id[11] | body... | 7B   [payload]
// Command: 7B | code | 00 10     | id[11] | 7B                  (16 bytes)
// The length field counts from the start mark through the end mark; user-data
// frames keep it at 16 and carry their payload behind the end mark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dtucentre.h"
#include "frame/coding.h"

namespace dtu {

constexpr std::uint8_t kFrameMark = 0x7B;
constexpr std::size_t kHeadSize = 16;         // head-only frame
constexpr std::size_t kIdOffset = 4;
constexpr std::size_t kIdSize = 11;
constexpr std::size_t kBodyOffset = 15;
constexpr std::size_t kMaxDatagram = 1040;    // largest frame received or sent
constexpr std::size_t kMaxUserData = 1024;
constexpr char kNoTerminalId[] = "00000000000";

// FrameHeader: the fixed head of every frame, as offsets into the bytes.
struct FrameHeader {
  static constexpr std::size_t kStart = 0;
  static constexpr std::size_t kCode = 1;
  static constexpr std::size_t kLength = 2;
  static constexpr std::size_t kId = kIdOffset;
  static constexpr std::size_t kEnd = 15;
};

// The codes and command kinds are the public header's; these names serve
// the library's own code.
enum PacketCode : std::uint8_t {
  // terminal to centre
  kLogon = DTU_CODE_LOGON,
  kLogout = DTU_CODE_LOGOUT,
  kInvalidCmd = DTU_CODE_INVALID_CMD,
  kDataReply = DTU_CODE_DATA_REPLY,
  kUserData = DTU_CODE_USER_DATA,
  kParamReadReply = DTU_CODE_PARAM_READ_REPLY,
  kParamSetReply = DTU_CODE_PARAM_SET_REPLY,
  kIdReport = DTU_CODE_ID_REPORT,
  // centre to terminal
  kLogonAck = DTU_CODE_LOGON_ACK,
  kLogoutCmd = DTU_CODE_LOGOUT_CMD,
  kNotLoggedOn = DTU_CODE_NOT_LOGGED_ON,
  kInvalidCmdReply = DTU_CODE_INVALID_CMD_REPLY,
  kDataAck = DTU_CODE_DATA_ACK,
  kUserDataDown = DTU_CODE_USER_DATA_DOWN,
  kParamRead = DTU_CODE_PARAM_READ,
  kParamSet = DTU_CODE_PARAM_SET,
};

// Command kinds of send_cmd.
enum CommandKind : int {
  kCmdLogonAck = DTU_CMD_LOGON_ACK,
  kCmdLogout = DTU_CMD_LOGOUT,
  kCmdInvalid = DTU_CMD_INVALID_REPLY,
  kCmdDataAck = DTU_CMD_DATA_ACK,
  kCmdNotLoggedOn = DTU_CMD_NOT_LOGGED_ON,
};

// Logon body: reported address at 15..18, port at 19..20.
constexpr std::size_t kLogonAddrOffset = 15;
constexpr std::size_t kLogonPortOffset = 19;
constexpr std::uint16_t kLogonShort = 22;
constexpr std::uint16_t kLogonLong = 33;

// Terminal IDs compare over at most 11 characters, as C strings.
bool id_equal(const char *a, const char *b);
// Writes an ID text into an 11-byte frame field: up to 11 characters, NUL
// bytes behind a shorter one.
void put_id_field(std::uint8_t *field, const char *id);

// Reads an 11-byte ID field as text: its characters up to the first NUL,
// NUL bytes behind them (12 bytes in all).
void get_id_field(const std::uint8_t *field, char id[12]);

// The code (0-255) of an acceptable frame, -1 otherwise.  `id` receives the
// NUL-padded terminal ID (12 bytes); `length` the length field.
int check_frame(const std::uint8_t *datagram, std::size_t size, char id[12],
                std::uint16_t *length);

// The code byte of a command kind; any kind not listed (low 8 bits) is an
// InvalidCmdReply.  Inline: every acknowledgement goes through here.
inline std::uint8_t command_code(int kind) {
  switch (kind & 0xFF) {
    case kCmdLogonAck: return kLogonAck;
    case kCmdLogout: return kLogoutCmd;
    case kCmdDataAck: return kDataAck;
    case kCmdNotLoggedOn: return kNotLoggedOn;
    default: return kInvalidCmdReply;
  }
}

inline std::size_t build_cmd_frame(std::uint8_t out[kHeadSize], const UserInfo &user, int kind) {
  out[0] = kFrameMark;
  out[1] = command_code(kind);
  put_be16(out + 2, kHeadSize);
  std::memcpy(out + kIdOffset, user.userId, kIdSize);  // the record's 11 bytes as they stand
  out[FrameHeader::kEnd] = kFrameMark;
  return kHeadSize;
}

// `out` holds at least 16 + length bytes; length is at most 1024.
std::size_t build_data_frame(std::uint8_t *out, const char *terminal_id, const void *payload,
                             std::size_t length);

}  // namespace dtu
