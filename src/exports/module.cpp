#include "exports/module.h"

#include <cstring>

#include "core/link.h"
#include "core/state.h"
#include "users/handlers.h"
#include "users/user_table.h"

namespace dtu {

// The module's one state object.  Its destructor is trivial, so it stays
// usable while the process exits.
Centre g_centre;

void reset_module() {
  g_centre.lock.assume_exclusive();  // tests and fuzz targets, one thread
  g_centre.settings = Settings{};
  g_centre.settings.work_mode = 2;
  install_builtin_handlers();
  set_wire_tap(nullptr, nullptr);
  set_datagram_tap(nullptr, nullptr);
  g_centre.param_frame = ParamFrame{};
  std::memset(&g_centre.param_store, 0, sizeof g_centre.param_store);
  clear_user_table();
}

namespace {
// At load, after the object above (same file, so in this order).
[[maybe_unused]] const bool kLoaded = (reset_module(), true);
}  // namespace

}  // namespace dtu
