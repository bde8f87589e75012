// The MQTT gateway: a front end of the service that publishes every
// terminal's life to a broker (uplinks, retained presence, events, results,
// the centre's state and counters) and takes downlinks and parameter
// requests from it.  The topics and payloads are described in docs/mqtt.md.
//
// Threads.  The MQTT connection runs on a thread of its own (connect,
// reconnect with backoff and jitter, keep-alive, reading); everything it
// receives is handed to the service's loop with Service::post().  Publishing
// and all the gateway's state live on the loop thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "options.h"
#include "service.h"

namespace dtu::mqtt {

class Gateway {
 public:
  Gateway();
  ~Gateway();  // close() with its default wait
  Gateway(const Gateway &) = delete;
  Gateway &operator=(const Gateway &) = delete;

  // Before the service starts: checks the options (TLS files, credentials),
  // subscribes to the service's events.  The connection begins when the
  // service has started (the default centre name needs its port).  False
  // with a one-line reason.
  bool attach(svc::Service &service, const Options &options, std::string *error);

  // After Service::run() returned: waits (up to `wait_ms`) for the broker to
  // take what is still on its way (the terminals' last statuses, the
  // centre's offline state), then disconnects and ends the thread.  Returns
  // what the stop threw away: uplinks still buffered (broker away) or not
  // confirmed by the broker, and whether the terminals had their DataAcks
  // for them (then they are lost for good); a zero count when none.  With
  // a journal nothing it holds is lost: the records after the gateway's
  // cursor are published when the centre next runs (`kept`); only uplinks
  // the journal refused can be.
  struct Loss {
    std::size_t uplinks = 0;     // buffered + unconfirmed
    std::size_t buffered = 0;
    std::uint64_t kept = 0;      // journal records after the cursor
    bool acknowledged = false;   // the terminals were told they arrived
    std::string text;            // one line for the log and standard error; empty when none
  };
  Loss close(unsigned wait_ms = 3000);

  // Any thread: whether the broker connection is up now.
  bool connected() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace dtu::mqtt
