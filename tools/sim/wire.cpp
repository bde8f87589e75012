#include "sim/wire.h"

namespace sim {

const char *code_name(std::uint8_t code) {
  switch (code) {
    case kLogon: return "Logon";
    case kLogout: return "Logout";
    case kInvalidCmd: return "InvalidCmd";
    case kDataReply: return "DataReply";
    case kUserData: return "UserData";
    case kParamReadReply: return "ParamReadReply";
    case kParamSetReply: return "ParamSetReply";
    case kIdReport: return "IdReport";
    case kLogonAck: return "LogonAck";
    case kLogoutCmd: return "LogoutCmd";
    case kNotLoggedOn: return "NotLoggedOn";
    case kInvalidCmdReply: return "InvalidCmdReply";
    case kDataAck: return "DataAck";
    case kUserDataDown: return "UserDataDown";
    case kParamRead: return "ParamRead";
    case kParamSet: return "ParamSet";
    default: return "Unknown";
  }
}

Bytes head(std::uint8_t code, const std::string &id, std::uint16_t length) {
  Bytes f(length < 16 ? 16 : length, 0);
  f[0] = 0x7B;
  f[1] = code;
  f[2] = static_cast<std::uint8_t>(length >> 8);
  f[3] = static_cast<std::uint8_t>(length);
  for (std::size_t i = 0; i < 11 && i < id.size(); ++i) f[4 + i] = static_cast<std::uint8_t>(id[i]);
  f[15] = 0x7B;
  f.back() = 0x7B;
  return f;
}

Bytes logon(const std::string &id, std::uint32_t addr, std::uint16_t port, bool long_form) {
  Bytes f = head(kLogon, id, long_form ? 33 : 22);
  for (int i = 0; i < 4; ++i) f[15 + i] = static_cast<std::uint8_t>(addr >> (24 - 8 * i));
  f[19] = static_cast<std::uint8_t>(port >> 8);
  f[20] = static_cast<std::uint8_t>(port);
  if (long_form)
    for (std::size_t i = 0; i < 11; ++i) f[21 + i] = i < id.size() ? static_cast<std::uint8_t>(id[i]) : 0;
  return f;
}

Bytes user_data(const std::string &id, const Bytes &payload) {
  Bytes f = head(kUserData, id);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

bool parse(const std::uint8_t *data, std::size_t size, Frame *out) {
  if (size < 16 || data[0] != 0x7B) return false;
  const std::size_t len = static_cast<std::size_t>(data[2]) << 8 | data[3];
  if (len < 16 || len > size || data[len - 1] != 0x7B) return false;
  out->code = data[1];
  out->length = static_cast<std::uint16_t>(len);
  out->id.clear();
  for (std::size_t i = 0; i < 11 && data[4 + i] != 0; ++i) out->id.push_back(static_cast<char>(data[4 + i]));
  out->body = data + 15;
  out->body_size = len - 16;
  out->payload = data + len;
  out->payload_size = size - len;
  return true;
}

const std::vector<Tag> &tags() {
  static const std::vector<Tag> kTags = {
      {1, Form::kText, 8},     {2, Form::kText, 30},    {3, Form::kText, 20},   {4, Form::kText, 24},
      {5, Form::kText, 8},     {6, Form::kText, 11},    {7, Form::kNumber, 2},  {8, Form::kNumber, 2},
      {9, Form::kNumber, 2},   {10, Form::kNumber, 2},  {11, Form::kNumber, 1}, {12, Form::kNumber, 2},
      {13, Form::kNumber, 4},  {14, Form::kText, 125},  {15, Form::kNumber, 2}, {16, Form::kNumber, 2},
      {17, Form::kNumber, 4},  {18, Form::kComposite, 7}, {19, Form::kNumber, 1}, {20, Form::kNumber, 1},
      {21, Form::kNumber, 2},  {22, Form::kNumber, 2},  {23, Form::kText, 11},  {24, Form::kNumber, 1},
      {25, Form::kNumber, 1},  {26, Form::kWriteOnly, 1}, {32, Form::kNumber, 4}, {33, Form::kNumber, 2},
      {48, Form::kText, 24},   {49, Form::kText, 24},   {50, Form::kText, 13},
  };
  return kTags;
}

const Tag *find_tag(int tag) {
  for (const Tag &t : tags())
    if (t.tag == tag) return &t;
  return nullptr;
}

Bytes encode_elements(const std::vector<Element> &elements) {
  Bytes out;
  for (const Element &e : elements) {
    out.push_back(static_cast<std::uint8_t>(e.tag));
    out.push_back(static_cast<std::uint8_t>(e.value.size() + 2));
    out.insert(out.end(), e.value.begin(), e.value.end());
  }
  return out;
}

std::vector<Element> decode_elements(const std::uint8_t *body, std::size_t size) {
  std::vector<Element> out;
  std::size_t pos = 0;
  while (pos + 2 <= size) {
    const std::size_t elen = body[pos + 1];
    if (elen < 2 || pos + elen > size) break;
    out.push_back({body[pos], Bytes(body + pos + 2, body + pos + elen)});
    pos += elen;
  }
  return out;
}

Bytes param_frame(std::uint8_t code, const std::string &id, const std::vector<Element> &elements) {
  Bytes body = encode_elements(elements);
  Bytes f = head(code, id, static_cast<std::uint16_t>(16 + body.size()));
  std::copy(body.begin(), body.end(), f.begin() + 15);
  f.back() = 0x7B;
  return f;
}

Bytes frame_with_body(std::uint8_t code, const std::string &id, const Bytes &body) {
  Bytes f = head(code, id, static_cast<std::uint16_t>(16 + body.size()));
  std::copy(body.begin(), body.end(), f.begin() + 15);
  f.back() = 0x7B;
  return f;
}

}  // namespace sim
