// Writes the seed corpora of the fuzz targets into the folder given
// (fuzz/corpus): valid frames of every kind for the receive path, built by
// the terminal side's codec (tools/sim/wire), and short operation sequences
// for the parameters.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "sim/wire.h"

namespace {

using sim::Bytes;

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes el(int tag, const Bytes &value) { return sim::encode_elements({{tag, value}}); }

bool write(const std::string &path, const Bytes &data) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
    return 2;
  }
  const std::string id = "12345678901";
  const std::vector<std::pair<std::string, Bytes>> receive = {
      {"logon22", sim::logon(id, 0xC0A80102, 8080, false)},
      {"logon33", sim::logon(id, 0xC0A80102, 8080, true)},
      {"logout", sim::head(sim::kLogout, id)},
      {"invalid", sim::head(sim::kInvalidCmd, id)},
      {"reply", sim::head(sim::kDataReply, id)},
      {"data", sim::user_data(id, text("ABC"))},
      {"data_long_len", cat({sim::head(sim::kUserData, id, 20), {0x55}})},
      {"paramset_reply", sim::head(sim::kParamSetReply, id)},
      {"idreport", sim::head(sim::kIdReport, id, 17)},
      {"unknown", sim::head(0x77, id)},
      {"param_reply",
       sim::param_frame(sim::kParamReadReply, id,
                        {{1, text("abc")}, {2, text("hello")}, {6, text("13912345678")}, {7, {0x01, 0x02}},
                         {11, {0x05}}, {13, {0x00, 0x00, 0x12, 0x34}}, {14, text("1234567")}, {15, {0xAB, 0xCD}},
                         {18, {0x00, 0x04, 0xD2, 0x00, 0x40, 0x18, 0x05}}, {23, text("x")},
                         {32, {0x01, 0x02, 0x03, 0x04}}, {50, text("z")}})},
      // An element whose length runs past the frame.
      {"param_reply_lying", sim::frame_with_body(sim::kParamReadReply, id, cat({el(7, {0x00, 0x05}), {2, 0x40, 0x61}}))},
  };
  // op, tag, length, value bytes...
  Bytes fill = {0, 0, 0};
  for (int i = 0; i < 8; ++i) fill = cat({fill, {1, 14, 128}, Bytes(128, 'q')});
  const std::vector<std::pair<std::string, Bytes>> params = {
      {"clear_set_get", cat({{0, 0, 0, 1, 2, 3}, text("abc"), {2, 2, 31}})},
      {"tag18", cat({{0, 0, 0, 1, 18, 12}, text("1234-5-2-2-5"), {2, 18, 21}})},
      {"fill", fill},
      {"decode", cat({{3, 0, 12}, el(7, {0x00, 0x05}), el(2, text("abcdef")), {2, 7, 2, 2, 2, 40}})},
  };
  const std::string root = argv[1];
  for (const auto &[name, data] : receive)
    if (!write(root + "/receive/" + name, data)) return 1;
  for (const auto &[name, data] : params)
    if (!write(root + "/params/" + name, data)) return 1;
  return 0;
}
