// One datagram of any bytes through the whole receive path: head check,
// dispatch to the built-in handlers, parameter decoding.  The DataRecord and
// the message buffer are heap blocks of exactly their declared sizes, so a
// write past byte 1058 or past the longest text is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dtucentre.h"
#include "exports/module.h"
#include "server/server.h"

namespace {
constexpr std::size_t kRecordBytes = 1059;  // the fields end at offset 1058
constexpr std::size_t kMessageBytes = DTU_MAX_RECEIVE_TEXT_BYTES;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > 1040) return 0;  // larger datagrams never reach the dispatch
  dtu::reset_module();       // each input from the state at load
  // The received bytes in a block of their own size: a read past them is caught.
  auto *datagram = static_cast<std::uint8_t *>(std::malloc(size ? size : 1));
  if (size) std::memcpy(datagram, data, size);
  auto *record = static_cast<DataRecord *>(std::malloc(kRecordBytes));
  auto *message = static_cast<char *>(std::malloc(kMessageBytes));
  dtu::reset_data_record(record);
  // No socket is open: the handlers' replies fail quietly, as a send would.
  dtu::dispatch_datagram(datagram, static_cast<int>(size), 0x0A000001, 5000, record, message, size & 1);
  std::free(message);
  std::free(record);
  std::free(datagram);
  return 0;
}
