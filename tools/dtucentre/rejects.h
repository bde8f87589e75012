// Holds back repeated "rejected" lines.  A datagram the centre does not take
// costs a log line; a stream of garbage would otherwise write a line per
// datagram (more log than traffic).  For each reason and source address the
// first few lines of a window are written as they come; the rest are
// counted, and when the window ends one summary line gives their number and
// bytes.  The service's counters (stats, metrics) still count every one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "events.h"

namespace centre {

class RejectLimiter {
 public:
  // `burst` lines per `window_ms` per reason and source; at most `sources`
  // of them tracked apart (beyond that they share one entry, address 0).
  explicit RejectLimiter(unsigned burst = 5, std::int64_t window_ms = 10000, std::size_t sources = 1024)
      : burst_(burst), window_ms_(window_ms), sources_(sources) {}

  struct Summary {
    std::string reason;
    std::uint32_t addr = 0;       // host order; 0: the many sources beyond the bound
    std::uint64_t suppressed = 0; // datagrams whose lines were held back
    std::uint64_t bytes = 0;      // their bytes
    std::int64_t from_ms = 0, to_ms = 0;  // the window
  };

  // True: write the event's line.  False: it is counted for a summary.
  bool admit(const dtu::svc::Event &e);
  // The summaries of windows ended by `now_ms` (every window when `all`,
  // as at the stop); windows with nothing held back end without one.
  std::vector<Summary> due(std::int64_t now_ms, bool all = false);

  // The summary as a text line and as a JSON line ("rejected_summary").
  static std::string line(const Summary &s);
  static std::string json_line(const Summary &s);

 private:
  struct Window {
    std::int64_t start_ms = 0;
    unsigned shown = 0;
    std::uint64_t suppressed = 0, bytes = 0;
  };
  unsigned burst_;
  std::int64_t window_ms_;
  std::size_t sources_;
  std::map<std::pair<std::string, std::uint32_t>, Window> windows_;
  std::vector<Summary> ready_;  // windows that ended when a new line came
};

}  // namespace centre
