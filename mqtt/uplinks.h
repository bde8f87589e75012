// Uplinks: each terminal's user data published on {prefix}/t/{id}/up in the
// order it came, and (by default) acknowledged to the terminal only once
// the broker has it; the "uplinks" health row.  Without a journal they wait
// in a bounded buffer while the broker is away; with one they are read back
// from it from the gateway's cursor (journal_feed.h).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core.h"
#include "journal_feed.h"

namespace dtu::mqtt {

class Uplinks {
 public:
  explicit Uplinks(Core &core) : core_(core) {}

  // Every event the gateway is given, before it is routed: with a journal
  // the seqs say how far it goes.
  void seen(const svc::Event &e);
  // A UserData event.
  void on_data(const svc::Event &e);
  // The broker is back: what waited goes out, oldest first.
  void flush();
  // PUBACKs (mid, reason): the DataAcks that waited for them.
  void acked(const std::vector<std::pair<int, int>> &batch);
  // Often, from a timer: the next page from the journal while behind.
  void tick();
  std::size_t buffered() const { return feed_ ? feed_->queued() : buffer_.size(); }
  void report();

  // At the stop, after the connection ended: what is thrown away.  `late`
  // are PUBACKs that came while the loop was gone.
  struct Dropped {
    std::size_t buffered = 0;     // waiting for the broker
    std::size_t unconfirmed = 0;  // published, no PUBACK
    std::uint64_t kept = 0;       // journal records after the cursor, for the next run
  };
  Dropped drop(const std::vector<int> &late);

 private:
  struct Pending {
    std::string id;
    svc::Endpoint peer;
    bool ack = false;  // its DataAck waits for the PUBACK
  };
  struct Buffered {
    std::string id;
    svc::Endpoint peer;
    std::int64_t time_ms;
    std::vector<std::uint8_t> data;
  };

  // The message on its way to the broker: its mid, or -1.  `seq`: its
  // journal record (0: none).
  int send(const std::string &id, const svc::Endpoint &peer, std::int64_t time_ms, const std::uint8_t *data,
           std::size_t n, std::uint64_t seq = 0);
  void publish(const std::string &id, const svc::Endpoint &peer, std::int64_t time_ms, const std::uint8_t *data,
               std::size_t n, bool track);
  // The journal's reader, made when the first event shows the service has
  // a journal; nullptr without one.
  JournalFeed *feed();
  void report_journal(svc::HealthRow &r);

  Core &core_;
  std::unordered_map<int, Pending> pending_;  // mid -> uplink the broker has not confirmed yet
  std::deque<Buffered> buffer_;
  std::unique_ptr<JournalFeed> feed_;
  bool feed_checked_ = false;
};

}  // namespace dtu::mqtt
