// The receive path allocates nothing per datagram: malloc and operator new
// are counted while datagrams of every kind go through do_read_proc.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "server/server.h"
#include "support.h"

extern "C" void *__libc_malloc(std::size_t);
extern "C" void *__libc_calloc(std::size_t, std::size_t);
extern "C" void *__libc_realloc(void *, std::size_t);
extern "C" void __libc_free(void *);

namespace {
bool g_counting = false;
long g_allocations = 0;
}  // namespace

// This program's allocator: glibc's, counted.
extern "C" void *malloc(std::size_t n) {
  if (g_counting) ++g_allocations;
  return __libc_malloc(n);
}
extern "C" void *calloc(std::size_t n, std::size_t size) {
  if (g_counting) ++g_allocations;
  return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, std::size_t n) {
  if (g_counting) ++g_allocations;
  return __libc_realloc(p, n);
}
extern "C" void free(void *p) { __libc_free(p); }

using namespace test;

namespace {

class AllocTest : public CentreTest {};

// Both taps set, doing nothing: the library's side of them is counted too.
void DTU_CALL ignore_wire(void *, int, std::uint32_t, int, const void *, int, int) {}
void DTU_CALL ignore_datagram(void *, const DtuDatagram *) {}

TEST_F(AllocTest, ReceivePathAllocatesNothingPerDatagram) {
  Terminal t;
  log_on(t, "12345678901");  // first use of the clock and time zone happens here
  dtu_set_wire_tap(ignore_wire, nullptr);
  dtu_set_datagram_tap(ignore_datagram, nullptr);
  const Bytes frames[] = {
      data_frame("12345678901", Bytes(100, 0x41)),
      data_frame("99999999999", Bytes(10, 0x41)),  // not on line: NotLoggedOn
      logon_frame("12345678901"),
      head_frame(0x05, "12345678901"),
      head_frame(0x0D, "12345678901"),
      head_frame(0x77, "12345678901"),
      param_reply("12345678901", element(2, text_bytes("abc"))),
      head_frame(0x13, "12345678901", 17),
      Bytes(10, 0),  // short
      head_frame(0x02, "00000000000"),  // rejected
  };
  // The counter sees what this program allocates.
  g_counting = true;
  void *volatile probe = std::malloc(16);
  g_counting = false;
  std::free(probe);
  ASSERT_EQ(g_allocations, 1);
  g_allocations = 0;

  DataRecord r;
  char msg[64];
  int handled = 0;
  for (int round = 0; round < 20; ++round) {
    for (const Bytes &f : frames) t.send(f, port_);
    for (std::size_t i = 0; i < std::size(frames) && wait_readable(1000); ++i, ++handled) {
      g_counting = true;  // the library alone is counted
      do_read_proc(&r, msg, 1);
      g_counting = false;
    }
  }
  EXPECT_EQ(handled, 200);
  EXPECT_EQ(g_allocations, 0);
}

}  // namespace
