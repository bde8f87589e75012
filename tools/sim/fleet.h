// A fleet of simulated field terminals, each with its own UDP socket, that
// behave as terminals do: log on until acknowledged, send user data at a
// rate, log on again when told they are off line, answer parameter reads and
// writes, and count what the centre sends them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct Frame;
struct Pending;

struct FleetOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  int terminals = 10;
  std::string prefix = "139";
  long first = 1;             // number of the first terminal's ID
  double rate = 1.0;          // user-data frames per second per terminal
  double duration = 10.0;     // seconds; 0 runs until stopped or count is met
  long count = 0;             // total user-data frames; 0 for no limit
  int payload = 16;           // bytes of user data per frame
  bool long_logon = false;    // 33-byte logon frames
  double rebind = 0.0;        // change source port every S seconds
  bool expect_ack = true;     // the centre acknowledges user data
  bool progress = false;      // a line every second
  int retry = 0;              // resend unacknowledged user data up to N times
  double ack_timeout = 2.0;   // seconds to wait for DataAck before a resend
  std::FILE *show_downlink = nullptr;  // print each UserDataDown received here
  bool data_reply = true;     // answer each UserDataDown with a DataReply
  std::FILE *acked = nullptr;  // write "ID HEX" here for each acknowledged frame's user data
  int window = 0;             // user-data frames awaiting an answer per terminal; 0 for no limit
};

struct Counters {
  long sent[256] = {};
  long received[256] = {};
  long data_acked = 0;
  long data_unanswered = 0;
  long data_resent = 0;             // resends of user data (--retry)
  long data_acked_after_retry = 0;  // frames acknowledged only after a resend
  long data_given_up = 0;           // frames still unacknowledged after N resends
  long data_refused = 0;            // frames answered NotLoggedOn
  long data_held_at_end = 0;        // refused frames not resent yet when the run ended
  long logons_unanswered = 0;
  long params_applied = 0;
  long bad_frames = 0;
  long terminals_on_line = 0;
  long terminals_ever_on_line = 0;
  std::vector<double> rtt_ms;  // user data to DataAck
};

class Fleet {
 public:
  explicit Fleet(const FleetOptions &options);
  ~Fleet();
  Fleet(const Fleet &) = delete;
  Fleet &operator=(const Fleet &) = delete;

  // Runs until the duration or count is met or `stop` becomes true; returns
  // false when the sockets could not be set up (error() says why).
  bool run(const std::atomic<bool> &stop);
  const std::string &error() const { return error_; }
  const Counters &counters() const { return counters_; }
  // A summary: frames per kind, what went unanswered, round trips.
  void report(std::FILE *out) const;
  std::string id_of(int index) const;

 private:
  struct Terminal;
  void handle(Terminal &t, const std::uint8_t *data, std::size_t size, double now);
  void send(Terminal &t, const std::vector<std::uint8_t> &frame);
  bool open_socket(Terminal &t);
  void resend_due(Terminal &t, double now);
  void resend_held(Terminal &t, double now);
  void show_downlink(const Terminal &t, const Frame &f);
  void write_acked(const Terminal &t, const Pending &p);

  FleetOptions opt_;
  std::vector<std::unique_ptr<Terminal>> terminals_;
  Counters counters_;
  std::uint32_t centre_addr_ = 0;  // network order
  std::string error_;
};

// " Kind N" for every frame kind counted, codes of no known kind grouped.
std::string kinds_text(const long (&counts)[256]);

// Percentile (0-100) of a list of samples; 0 for none.
double percentile(std::vector<double> samples, double p);

}  // namespace sim
