// The POSIX stand-in for the window of window-message mode.
#pragma once

struct DtuNotifier;

namespace dtu::platform {
// Reports `message` through `n` while `fd` is readable.  -1 with errno set
// when `n` is not a live notifier or the system refuses the registration.
int notifier_watch(DtuNotifier *n, int fd, unsigned message);
}  // namespace dtu::platform
