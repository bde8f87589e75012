// The service's global counters as one JSON object, the same for every front
// end that shows them (the console's stats, the MQTT stats topic).
#pragma once

#include <nlohmann/json.hpp>

#include "service.h"

namespace dtu::svc {

// {"online":..,"datagrams_in":..,...,"rejected":{"reason":n,...}}
nlohmann::json counters_json(const Counters &c);

}  // namespace dtu::svc
