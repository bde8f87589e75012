// The module's state object as a whole: its definition and its one reset.
#pragma once

namespace dtu {

// Puts every part of the state back as it is at load: work mode 2, empty
// filter list and custom IP, the built-in handlers, no wire tap, a zeroed
// user table, parameter set frame and store.  The server must be stopped;
// the lock is left alone.  For tests and fuzz targets.
void reset_module();

}  // namespace dtu
