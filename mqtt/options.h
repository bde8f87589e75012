// The gateway's settings, and how the program's file and flags set them.
#pragma once

#include <cstdint>
#include <string>

#include "service.h"

namespace dtu::mqtt {

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 1883;
  std::string prefix = "dtu";       // topic prefix
  std::string centre;               // this centre's name; empty: HOSTNAME:UDPPORT
  std::string client_id;            // empty: "dtucentre-" and the centre's name
  unsigned keepalive = 30;          // s
  std::string username, password;   // empty username: none
  std::string tls_ca, tls_cert, tls_key;  // CA file turns TLS on; cert and key optional, together
  bool ack_after_broker = true;     // DataAck once the broker has the uplink; false: at once
  std::size_t buffer = 10000;       // uplinks kept in order while the broker is away (oldest dropped)
  unsigned stats_interval = 10;     // s; 0: no stats
  bool claim_unknown = true;        // take commands for IDs no centre has reported
  unsigned handover_timeout = 10;   // s: a downlink handed to another centre and not taken comes back
};

// "HOST:PORT" (PORT 1..65535) into *host and *port.
bool parse_address(const std::string &text, std::string *host, std::uint16_t *port, std::string *error);

// One configuration key of the gateway, as the program's file and flags
// name it: "mqtt" (HOST:PORT), "mqtt_prefix", "mqtt_centre", "mqtt_client_id",
// "mqtt_keepalive", "mqtt_username", "mqtt_password", "mqtt_tls_ca",
// "mqtt_tls_cert", "mqtt_tls_key", "mqtt_ack" (broker | immediate),
// "mqtt_buffer", "mqtt_stats_interval", "mqtt_claim_unknown" (true | false),
// "mqtt_handover_timeout" (1 to 3600 s).
// Numbers are decimal text.  False with a one-line reason naming `name`.
bool set_option(Options *options, const std::string &key, const std::string &value, const std::string &name,
                std::string *error);

// The service configuration the gateway needs: user data not acknowledged
// by the service when the gateway acknowledges after the broker.
void adjust(svc::Config *config, const Options &options);

}  // namespace dtu::mqtt
