#include "counters_json.h"

namespace dtu::svc {

nlohmann::json counters_json(const Counters &c) {
  nlohmann::json rejected = nlohmann::json::object();
  for (const auto &[reason, n] : c.rejected) rejected[reason] = n;
  nlohmann::json refused = nlohmann::json::object();
  for (const auto &[reason, n] : c.logons_refused) refused[reason] = n;
  return {{"online", c.online},
          {"datagrams_in", c.datagrams_in},
          {"datagrams_out", c.datagrams_out},
          {"bytes_in", c.bytes_in},
          {"bytes_out", c.bytes_out},
          {"logons", c.in.logon},
          {"logouts", c.in.logout},
          {"data", c.in.data},
          {"acks", c.out.acks},
          {"addr_changes", c.addr_changes},
          {"duplicate_logons", c.duplicate_logons},
          {"downlinks_queued", c.downlinks_queued},
          {"downlinks_sent", c.downlinks_sent},
          {"downlinks_expired", c.downlinks_expired},
          {"downlinks_dropped", c.downlinks_dropped},
          {"downlinks_delivered", c.downlinks_delivered},
          {"downlinks_unconfirmed", c.downlinks_unconfirmed},
          {"downlinks_resent", c.downlinks_resent},
          {"terminals_known", c.terminals_known},
          {"terminals_forgotten", c.terminals_forgotten},
          {"param_timeouts", c.param_timeouts},
          {"idle_expiries", c.idle_expiries},
          {"kernel_drops", c.kernel_drops},
          {"refused_logon_attempts", c.refused_logon_attempts},
          {"logons_refused", refused},
          {"rejected", rejected}};
}

}  // namespace dtu::svc
