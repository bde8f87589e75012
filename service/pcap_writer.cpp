#include "pcap_writer.h"

#include <pcap/pcap.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace dtu::svc {
namespace {

constexpr std::size_t kHeaders = 28;  // IPv4 (20) + UDP (8)

void put16(std::uint8_t *p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void put32(std::uint8_t *p, std::uint32_t v) {
  put16(p, v >> 16);
  put16(p + 2, v & 0xFFFF);
}

std::uint16_t ip_checksum(const std::uint8_t *h) {
  std::uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>(h[i] << 8 | h[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

PcapWriter::~PcapWriter() {
  close();
  if (dead_ != nullptr) pcap_close(dead_);
}

bool PcapWriter::open(const std::string &path, std::uint64_t rotate_bytes, unsigned keep,
                      std::string *error) {
  close();
  path_ = path;
  rotate_bytes_ = rotate_bytes;
  keep_ = keep;
  if (dead_ == nullptr) dead_ = pcap_open_dead(DLT_RAW, 65535);
  if (dead_ == nullptr) {
    *error = "cannot set up a capture";
    return false;
  }
  return open_file(true, error);
}

bool PcapWriter::open_file(bool append, std::string *error) {
  // Appending keeps what an earlier run or a reopen found there; a file
  // that is no capture of this kind is refused rather than overwritten.
  dumper_ = append ? pcap_dump_open_append(dead_, path_.c_str()) : pcap_dump_open(dead_, path_.c_str());
  if (dumper_ == nullptr) {
    *error = "cannot open capture file " + path_ + ": " + pcap_geterr(dead_);
    return false;
  }
  pcap_dump_flush(dumper_);
  good_end_ = pcap_dump_ftell64(dumper_);
  suspended_ = false;
  return true;
}

void PcapWriter::fail(int err, std::string *error) {
  close();
  // Records cut short would spoil the file for every reader: it goes back
  // to what the last good flush left.
  if (good_end_ >= 0 && ::truncate(path_.c_str(), static_cast<off_t>(good_end_)) != 0) good_end_ = -1;
  suspended_ = true;
  if (failing_) {
    error->clear();
    return;
  }
  failing_ = true;
  failed_at_s_ = static_cast<long long>(std::time(nullptr));
  *error = "capture file " + path_ + ": " + std::strerror(err) + "; datagrams are not captured until it can be written";
}

bool PcapWriter::flush(std::string *error) {
  if (dumper_ == nullptr || !dirty_) return true;
  dirty_ = false;
  // (stdio may have written part of its buffer by itself and failed then:
  // the error flag tells.)
  if (pcap_dump_flush(dumper_) == 0 && std::ferror(pcap_dump_file(dumper_)) == 0) {
    good_end_ = pcap_dump_ftell64(dumper_);
    if (failing_) {
      failing_ = false;
      notice_ = "capture file " + path_ + ": written again after " +
                std::to_string(static_cast<long long>(std::time(nullptr)) - failed_at_s_) + " s";
    }
    return true;
  }
  fail(errno != 0 ? errno : EIO, error);
  return false;
}

bool PcapWriter::resume() {
  if (!suspended_ || path_.empty()) return false;
  std::string why;
  return open_file(true, &why);
}

std::string PcapWriter::take_notice() {
  std::string n;
  n.swap(notice_);
  return n;
}

bool PcapWriter::reopen(std::string *error) {
  if (path_.empty()) return true;
  close();
  return open_file(true, error);
}

void PcapWriter::close() {
  dirty_ = false;
  if (dumper_ != nullptr) {
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
  }
}

bool PcapWriter::rotate(std::string *error) {
  close();
  // FILE.N-1 -> FILE.N, ..., FILE -> FILE.1; the oldest falls off.
  if (keep_ == 0) {
    std::remove(path_.c_str());
  } else {
    std::remove((path_ + "." + std::to_string(keep_)).c_str());
    for (unsigned i = keep_; i > 1; --i)
      std::rename((path_ + "." + std::to_string(i - 1)).c_str(), (path_ + "." + std::to_string(i)).c_str());
    std::rename(path_.c_str(), (path_ + ".1").c_str());
  }
  good_end_ = -1;
  if (open_file(false, error)) return true;
  suspended_ = true;
  return false;
}

bool PcapWriter::write(const timeval &when, std::uint32_t src, std::uint16_t src_port, std::uint32_t dst,
                       std::uint16_t dst_port, const std::uint8_t *bytes, std::size_t length,
                       std::size_t wire_length, std::string *error) {
  if (dumper_ == nullptr) return false;
  if (length > sizeof packet_ - kHeaders) length = sizeof packet_ - kHeaders;
  std::uint8_t *ip = packet_;
  std::uint8_t *udp = packet_ + 20;
  const std::size_t total = kHeaders + wire_length;
  std::memset(packet_, 0, kHeaders);
  ip[0] = 0x45;  // IPv4, 20-byte header
  put16(ip + 2, total > 0xFFFF ? 0xFFFF : static_cast<std::uint32_t>(total));
  put16(ip + 4, ip_id_++);
  ip[8] = 64;  // TTL
  ip[9] = 17;  // UDP
  put32(ip + 12, src);
  put32(ip + 16, dst);
  put16(ip + 10, ip_checksum(ip));
  put16(udp, src_port);
  put16(udp + 2, dst_port);
  put16(udp + 4, static_cast<std::uint32_t>(8 + wire_length > 0xFFFF ? 0xFFFF : 8 + wire_length));
  // UDP checksum 0: none, as IPv4 allows.
  std::memcpy(packet_ + kHeaders, bytes, length);

  pcap_pkthdr h{};
  h.ts = when;
  h.caplen = static_cast<bpf_u_int32>(kHeaders + length);
  h.len = static_cast<bpf_u_int32>(total);
  pcap_dump(reinterpret_cast<u_char *>(dumper_), &h, packet_);
  dirty_ = true;
  if (rotate_bytes_ > 0 && static_cast<std::uint64_t>(pcap_dump_ftell64(dumper_)) >= rotate_bytes_)
    return rotate(error);
  return true;
}

}  // namespace dtu::svc
