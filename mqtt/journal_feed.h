// Uplinks read from the journal: with a state directory the gateway does
// not keep uplinks for the broker itself, it follows the journal with a
// cursor of its own ("mqtt").  Every data record after the cursor is
// published, in the order the journal holds them (so in the order each
// terminal sent them); the cursor moves to the highest seq below which the
// broker has acknowledged everything.  A broker outage or a restart of the
// centre only makes the gateway fall behind: it catches up from the cursor,
// a page at a time, with a bound on what is in flight.
//
// Live records go out at once while the gateway is caught up: the data
// events the sink is given wait in a short queue, complete from
// `live_from_` on; what falls out of its front (the broker away for long) is
// read back from the journal when the link returns.
//
// Loop thread only.  Nothing here talks to the broker: `publish` does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

#include "events.h"

namespace dtu::svc {
class Journal;
}

namespace dtu::mqtt {

class JournalFeed {
 public:
  // The records read in one step, and the most in flight (published, no
  // PUBACK yet) at once.
  static constexpr std::size_t kPage = 256;
  static constexpr std::size_t kMaxInFlight = 512;
  // Live data events kept for publishing; past it the oldest are left to
  // the journal.
  static constexpr std::size_t kLiveQueue = 1024;

  struct Hooks {
    // Hands an uplink to the broker: its mid, or -1 when it did not go
    // (it is tried again later).
    std::function<int(const svc::Event &)> publish;
    // The broker has this run's uplink: its DataAck may go (acknowledging
    // after the broker).
    std::function<void(const svc::Event &)> acknowledge;
  };

  // `ack_after_broker`: uplinks received in this run get their DataAck on
  // PUBACK.  Records from before the start never do: the journal had them
  // acknowledged, or the terminal sends them again.
  JournalFeed(svc::Journal &journal, std::string sink, bool ack_after_broker, Hooks hooks);

  // Every event the sink is given (data and not: their seqs tell the feed
  // how far the journal goes).
  void seen(const svc::Event &e);
  // Publishes what can go now: live records while caught up, else a page
  // from the journal.  Nothing while the broker is away.
  void pump(bool connected);
  // One PUBACK; `ok` false when the broker refused the message (it is not
  // sent again: counted in refused()).
  void acked(int mid, bool ok);
  // Stores the cursor in the journal when it moved (once per PUBACK batch
  // and per report: set_cursor() only joins the open group).
  void save();

  std::uint64_t cursor() const { return cursor_; }
  bool caught_up() const { return live_from_ != 0 && next_ + 1 >= live_from_; }
  std::size_t in_flight() const { return in_flight_.size(); }
  std::size_t queued() const { return live_.size(); }
  std::uint64_t published() const { return published_; }
  std::uint64_t acknowledged() const { return acknowledged_; }
  std::uint64_t refused() const { return refused_; }
  std::uint64_t unjournaled_dropped() const { return unjournaled_dropped_; }

  // How far behind the journal's head the cursor is: records (of every
  // type, so at most that many uplinks) and the age of the oldest uplink
  // not yet confirmed (0 when none).
  struct Lag {
    std::uint64_t records = 0;
    double seconds = 0;
  };
  Lag lag(std::int64_t now_ms);

  // At the stop, after the connection ended: the PUBACKs the loop did not
  // take yet count, the cursor is stored, and what is left is counted:
  // records the journal keeps for the next run, and uplinks that were not
  // journaled (the journal refused them) and are lost.
  struct Left {
    std::uint64_t kept = 0;
    std::size_t lost = 0;
  };
  Left stop(const std::vector<int> &late_mids);

 private:
  struct Out {
    std::uint64_t seq = 0;  // 0: not journaled
    std::int64_t time_ms = 0;
    bool done = false;
  };
  struct Flight {
    std::uint64_t seq = 0;
    bool ack = false;
    std::string id;
    svc::Endpoint peer;
  };

  bool send(const svc::Event &e, bool ack);
  bool read_page();
  void move_cursor();

  svc::Journal &journal_;
  std::string sink_;
  bool ack_after_;
  Hooks hooks_;

  std::uint64_t cursor_ = 0;   // everything up to here is done
  std::uint64_t saved_ = 0;    // the cursor as last given to the journal
  std::uint64_t next_ = 0;     // the highest seq handed to the broker or passed over
  std::uint64_t head_ = 0;     // the highest seq the sink has seen
  std::uint64_t run_first_ = 0;  // the first seq of this run; 0 before any
  std::uint64_t live_from_ = 0;  // live_ holds every data record from here on; 0: unknown yet
  std::deque<svc::Event> live_;  // data events not yet published, oldest first
  std::deque<Out> order_;        // journaled uplinks in flight, in seq order
  std::unordered_map<int, Flight> in_flight_;  // mid -> uplink
  std::uint64_t published_ = 0, acknowledged_ = 0, refused_ = 0, unjournaled_dropped_ = 0;
};

}  // namespace dtu::mqtt
