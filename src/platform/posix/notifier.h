// The POSIX stand-in for the window of window-message mode.
#pragma once

struct DtuNotifier;

namespace dtu::platform {
// Reports `message` through `n` while `fd` is readable.  -1 with errno set
// for a null window or when the system refuses the registration; 0 without
// registering anything for a pointer that is not a live notifier.
int notifier_watch(DtuNotifier *n, int fd, unsigned message);

// The notifier's life and use, behind the exported dtu_notifier_* calls.
DtuNotifier *create_notifier();
int notifier_descriptor(const DtuNotifier *notifier);  // -1 unless live
// 1 with *message set, 0 on timeout or a signal, -1 on error or for a
// notifier that is not live.
int wait_notifier(DtuNotifier *notifier, int timeout_ms, unsigned int *message);
void destroy_notifier(DtuNotifier *notifier);
}  // namespace dtu::platform
