// Capture files: every datagram of the server socket, wrapped in synthetic
// IPv4 and UDP headers carrying the real addresses and ports, written with
// libpcap's dump functions (raw IPv4 link type), rotated by size.  The
// owner calls flush() once per turn of its loop, so a capture can be read
// while the centre runs without a write per datagram.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string>

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

namespace dtu::svc {

class PcapWriter {
 public:
  ~PcapWriter();
  // Opens (appending to a capture already there); false with a reason.
  bool open(const std::string &path, std::uint64_t rotate_bytes, unsigned keep, std::string *error);
  // Closes and opens the file again (it may have been moved away).
  bool reopen(std::string *error);
  void close();
  bool is_open() const { return dumper_ != nullptr; }
  // Hands what was written to the system; false (and the capture closed)
  // when that fails.  A failure (a full disk) is said once in *error; the
  // file is cut back to its last whole record, and resume() opens it again.
  // Failures while it tries again leave *error empty.
  bool flush(std::string *error);
  // After a failed write: opens the capture again to try once more (the
  // owner calls it now and then).  True when it did.
  bool resume();
  // Once after a failure, when a write has gone through again: a line
  // saying so; otherwise empty.
  std::string take_notice();

  // One datagram from src to dst (host order); `length` bytes captured of
  // `wire_length`.  False (and the capture closed) when a write fails.
  bool write(const timeval &when, std::uint32_t src, std::uint16_t src_port, std::uint32_t dst,
             std::uint16_t dst_port, const std::uint8_t *bytes, std::size_t length,
             std::size_t wire_length, std::string *error);

 private:
  bool open_file(bool append, std::string *error);
  bool rotate(std::string *error);
  void fail(int err, std::string *error);

  std::string path_;
  std::uint64_t rotate_bytes_ = 0;
  unsigned keep_ = 5;
  pcap_t *dead_ = nullptr;
  pcap_dumper_t *dumper_ = nullptr;
  std::uint16_t ip_id_ = 0;
  bool dirty_ = false;
  long long good_end_ = -1;    // file size after the last flush that worked
  bool suspended_ = false;     // closed after a failure; resume() tries again
  bool failing_ = false;       // from a failure to the next flush that works
  long long failed_at_s_ = 0;
  std::string notice_;
  std::uint8_t packet_[28 + 1040] = {};
};

}  // namespace dtu::svc
