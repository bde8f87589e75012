// The POSIX stand-in for the window of window-message mode.
#pragma once

struct DtuNotifier;

namespace dtu::platform {
// Reports `message` through `n` while `fd` is readable.  -1 with errno set
// for a null window or when the system refuses the registration; 0 without
// registering anything for a pointer that is not a live notifier.
int notifier_watch(DtuNotifier *n, int fd, unsigned message);
}  // namespace dtu::platform
