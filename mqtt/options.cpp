#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace dtu::mqtt {

bool parse_address(const std::string &text, std::string *host, std::uint16_t *port, std::string *error) {
  const std::size_t colon = text.rfind(':');
  unsigned long p = 0;
  bool ok = colon != std::string::npos && colon > 0 && colon + 1 < text.size() && colon + 6 >= text.size();
  for (std::size_t i = colon + 1; ok && i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') ok = false;
    else p = p * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  if (!ok || p == 0 || p > 65535) {
    if (error) *error = "'" + text + "' is not HOST:PORT (port 1 to 65535)";
    return false;
  }
  *host = text.substr(0, colon);
  *port = static_cast<std::uint16_t>(p);
  return true;
}

bool set_option(Options *o, const std::string &key, const std::string &value, const std::string &name,
                std::string *error) {
  auto number = [&](unsigned long max, unsigned long *out) {
    char *end = nullptr;
    errno = 0;
    const unsigned long v = value.empty() || value[0] < '0' || value[0] > '9' ? 0 : std::strtoul(value.c_str(), &end, 10);
    if (end == nullptr || *end != '\0' || errno != 0 || v > max) {
      if (error) *error = name + ": expected a whole number from 0 to " + std::to_string(max) + ", got \"" + value + "\"";
      return false;
    }
    *out = v;
    return true;
  };
  unsigned long n = 0;
  if (key == "mqtt") {
    std::string why;
    if (parse_address(value, &o->host, &o->port, &why)) return true;
    if (error) *error = name + ": " + why;
    return false;
  }
  if (key == "mqtt_prefix") o->prefix = value;
  else if (key == "mqtt_centre") o->centre = value;
  else if (key == "mqtt_client_id") o->client_id = value;
  else if (key == "mqtt_username") o->username = value;
  else if (key == "mqtt_password") o->password = value;
  else if (key == "mqtt_tls_ca") o->tls_ca = value;
  else if (key == "mqtt_tls_cert") o->tls_cert = value;
  else if (key == "mqtt_tls_key") o->tls_key = value;
  else if (key == "mqtt_keepalive") {
    if (!number(65535, &n)) return false;
    o->keepalive = static_cast<unsigned>(n);
  } else if (key == "mqtt_buffer") {
    if (!number(10000000, &n)) return false;
    o->buffer = n;
  } else if (key == "mqtt_handover_timeout") {
    if (!number(3600, &n)) return false;
    if (n == 0) {
      if (error) *error = name + ": expected a whole number from 1 to 3600, got \"" + value + "\"";
      return false;
    }
    o->handover_timeout = static_cast<unsigned>(n);
  } else if (key == "mqtt_stats_interval") {
    if (!number(86400, &n)) return false;
    o->stats_interval = static_cast<unsigned>(n);
  } else if (key == "mqtt_ack") {
    if (value != "broker" && value != "immediate") {
      if (error) *error = name + ": expected broker or immediate, got \"" + value + "\"";
      return false;
    }
    o->ack_after_broker = value == "broker";
  } else if (key == "mqtt_claim_unknown") {
    if (value != "true" && value != "false") {
      if (error) *error = name + ": expected true or false, got \"" + value + "\"";
      return false;
    }
    o->claim_unknown = value == "true";
  } else {
    if (error) *error = name + ": not an MQTT setting";
    return false;
  }
  return true;
}

void adjust(svc::Config *config, const Options &options) {
  if (options.ack_after_broker) config->ack = false;
}

}  // namespace dtu::mqtt
