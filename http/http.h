// The centre's HTTP side: a JSON API over the fleet state and the service's
// operations, the event stream as Server-Sent Events, Prometheus metrics and
// the web console's files.
//
// Threads.  The server has a loop thread of its own for every socket (so an
// idle, slow or waiting client holds no thread) and a small pool for the
// handlers.  They never touch the library or the fleet state: every read and
// every operation is a job posted to the service's loop; a handler waits for
// that answer (bounded), except for a terminal's answer, which comes back
// through the loop without any thread waiting.  The events reach the streams
// through a sink on the loop thread that only hands each event over to a
// thread of this front end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "service.h"

namespace dtu::http {

struct Options {
  std::string listen;                     // "ADDR:PORT", or "PORT" for 127.0.0.1; port 0 = a free one
  std::string token;                      // required when ADDR is not a loopback address
  std::string root;                       // the web console's files; empty: found beside the program
  // The server's threads against the rest of the process when the CPU is
  // short: "nice" (+19: the terminals' loop first), "idle" (SCHED_IDLE: the
  // API gets only what nothing else wants), "normal".
  std::string priority = "nice";
  // Connections one client address may hold open at once (0: no cap); more
  // are answered 503 and closed.
  std::size_t max_per_client = 16;
};

// Checks the options alone (address form, token rule); false with a reason.
bool validate(const Options &options, std::string *error);

class Front {
 public:
  virtual ~Front() = default;  // stops the server and every stream
  virtual std::uint16_t port() const = 0;
  virtual std::string url() const = 0;  // "http://ADDR:PORT/"
};

// Subscribes to the service (so call it before Service::start(), on the
// thread that will run the loop), binds the address and starts serving.
// nullptr with a one-line reason when the options are wrong or the address
// cannot be bound.  Destroy the front end before the service.
std::unique_ptr<Front> attach(svc::Service &service, const Options &options, std::string *error);

// The folder of the page's files that attach() uses when Options::root is
// empty: DIR/../share/dtucentre/www beside the program, else the sources'.
std::string default_root();

}  // namespace dtu::http
