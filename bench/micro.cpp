// The receive path's work between the system calls, piece by piece.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "core/link.h"
#include "dtucentre.h"
#include "frame/frame.h"
#include "params/store.h"
#include "platform/platform.h"
#include "server/server.h"
#include "users/user_table.h"

namespace {

std::vector<std::uint8_t> head(std::uint8_t code, const char *id, std::size_t length = 16) {
  std::vector<std::uint8_t> f(length, 0);
  f[0] = 0x7B;
  f[1] = code;
  f[2] = static_cast<std::uint8_t>(length >> 8);
  f[3] = static_cast<std::uint8_t>(length);
  std::memcpy(&f[4], id, std::strlen(id));
  f[15] = 0x7B;
  f.back() = 0x7B;
  return f;
}

void fill_table() {
  DeleteAllUser();
  for (int i = 0; i < 500; ++i) {
    UserInfo u{};
    std::snprintf(u.userId, sizeof u.userId, "139%08d", i);
    AddOneUser(&u);
  }
}

void BM_CheckFrame(benchmark::State &state) {
  auto f = head(0x09, "13900000499");
  f.resize(48, 0x41);
  char id[12];
  std::uint16_t len;
  for (auto _ : state) benchmark::DoNotOptimize(dtu::check_frame(f.data(), f.size(), id, &len));
}
BENCHMARK(BM_CheckFrame);

void BM_FindOnlineUserLastSlot(benchmark::State &state) {
  fill_table();
  for (auto _ : state) benchmark::DoNotOptimize(dtu::find_online_user("13900000499"));
}
BENCHMARK(BM_FindOnlineUserLastSlot);

void BM_FindUserAbsent(benchmark::State &state) {
  fill_table();
  for (auto _ : state) benchmark::DoNotOptimize(dtu::find_user("99999999999"));
}
BENCHMARK(BM_FindUserAbsent);

void BM_FindFreeSlotFullTable(benchmark::State &state) {
  fill_table();
  for (auto _ : state) benchmark::DoNotOptimize(dtu::find_free_slot());
}
BENCHMARK(BM_FindFreeSlotFullTable);

void BM_DecodeParamReplyFull(benchmark::State &state) {
  // 35 elements: every readable tag with a value of its full width.
  std::vector<std::uint8_t> body;
  const int tags[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18,
                      19, 20, 21, 22, 23, 24, 25, 32, 33, 48, 49, 50, 7, 8, 9, 10, 12};
  const int widths[] = {8, 30, 20, 24, 8, 11, 2, 2, 2, 2, 1, 2, 4, 125, 2, 2, 4, 7,
                        1, 1, 2, 2, 11, 1, 1, 4, 2, 24, 24, 13, 2, 2, 2, 2, 2};
  for (int i = 0; i < 35; ++i) {
    body.push_back(static_cast<std::uint8_t>(tags[i]));
    body.push_back(static_cast<std::uint8_t>(widths[i] + 2));
    for (int k = 0; k < widths[i]; ++k) body.push_back(tags[i] == 18 ? 1 : 'a');
  }
  auto f = head(0x0B, "13900000001", 16 + body.size());
  std::memcpy(&f[15], body.data(), body.size());
  for (auto _ : state) dtu::decode_param_reply(f.data(), static_cast<std::uint16_t>(f.size()));
  state.counters["bytes"] = static_cast<double>(f.size());
}
BENCHMARK(BM_DecodeParamReplyFull);

void BM_LocalTimeText(benchmark::State &state) {
  char out[20];
  std::uint32_t t = 1765000000;
  for (auto _ : state) dtu::platform::format_local_time(t++, out);
}
BENCHMARK(BM_LocalTimeText);

void BM_LocalTimeTextSameSecond(benchmark::State &state) {
  char out[20];
  for (auto _ : state) dtu::platform::local_time_text(1765000000, out);
}
BENCHMARK(BM_LocalTimeTextSameSecond);

// The whole dispatch of one acknowledged user-data frame, without the
// system calls (no socket is open, so the DataAck send returns at once).
void BM_DispatchUserDataLastSlot(benchmark::State &state) {
  fill_table();
  auto f = head(0x09, "13900000499");
  f.resize(48, 0x41);
  DataRecord r;
  for (auto _ : state) {
    dtu::reset_data_record(&r);
    dtu::dispatch_datagram(f.data(), static_cast<int>(f.size()), 0x7F000001, 40000, &r, nullptr, 1);
  }
}
BENCHMARK(BM_DispatchUserDataLastSlot);

// What reporting one datagram costs: no tap, the wire tap, the datagram tap
// (which adds the head check and the ID copy), each with a tap that does
// nothing.
void DTU_CALL no_wire(void *, int, std::uint32_t, int, const void *, int, int) {}
void DTU_CALL no_datagram(void *, const DtuDatagram *) {}
void BM_TapDatagramIn(benchmark::State &state) {
  auto f = head(0x09, "13900000499");
  f.resize(48, 0x41);
  dtu_set_wire_tap(state.range(0) == 1 ? no_wire : nullptr, nullptr);
  dtu_set_datagram_tap(state.range(0) == 2 ? no_datagram : nullptr, nullptr);
  for (auto _ : state) dtu::tap_datagram(DTU_WIRE_IN, 0x7F000001, 40000, f.data(), f.size(), f.size());
  dtu_set_wire_tap(nullptr, nullptr);
  dtu_set_datagram_tap(nullptr, nullptr);
}
BENCHMARK(BM_TapDatagramIn)->Arg(0)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
