// The terminal's side of the wire protocol, written apart from the library
// so that a fault on one side is not mirrored by the other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

enum Code : std::uint8_t {
  kLogon = 0x01, kLogout = 0x02, kInvalidCmd = 0x04, kDataReply = 0x05, kUserData = 0x09,
  kParamReadReply = 0x0B, kParamSetReply = 0x0D, kIdReport = 0x13,
  kLogonAck = 0x81, kLogoutCmd = 0x82, kNotLoggedOn = 0x83, kInvalidCmdReply = 0x84,
  kDataAck = 0x85, kUserDataDown = 0x89, kParamRead = 0x8B, kParamSet = 0x8D,
};

const char *code_name(std::uint8_t code);

// 16-byte head-only frame (or longer, with the length field given).
Bytes head(std::uint8_t code, const std::string &id, std::uint16_t length = 16);
Bytes logon(const std::string &id, std::uint32_t addr, std::uint16_t port, bool long_form);
Bytes user_data(const std::string &id, const Bytes &payload);

struct Frame {
  std::uint8_t code = 0;
  std::uint16_t length = 0;
  std::string id;
  const std::uint8_t *body = nullptr;  // from offset 15
  std::size_t body_size = 0;           // up to the end mark
  const std::uint8_t *payload = nullptr;  // behind the end mark (UserDataDown)
  std::size_t payload_size = 0;
};
// False for anything that is not a well-formed frame.
bool parse(const std::uint8_t *data, std::size_t size, Frame *out);

// Terminal parameters, by tag: how a value is shown and written.
enum class Form { kText, kNumber, kComposite, kWriteOnly };
struct Tag {
  int tag;
  Form form;
  int width;  // bytes of a number; longest text
};
const std::vector<Tag> &tags();
const Tag *find_tag(int tag);

// tag | elen | value elements
struct Element {
  int tag;
  Bytes value;
};
Bytes encode_elements(const std::vector<Element> &elements);
// Elements of a body; stops at the first that does not fit.
std::vector<Element> decode_elements(const std::uint8_t *body, std::size_t size);
Bytes param_frame(std::uint8_t code, const std::string &id, const std::vector<Element> &elements);
// A frame whose body (from offset 15 to the end mark) is `body` as it
// stands: elements that lie about their length included.
Bytes frame_with_body(std::uint8_t code, const std::string &id, const Bytes &body);

}  // namespace sim
