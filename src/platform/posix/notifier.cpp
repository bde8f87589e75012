// DtuNotifier: an epoll instance that stands in for the host's window.  The
// server socket is registered level-triggered, so a waiting datagram keeps
// being reported until the host has received it, as a posted window message
// keeps arriving while the socket stays readable.
//
// Live notifiers are kept in a small registry, so that a window argument is
// recognised without being dereferenced: any other pointer is treated as a
// window the library cannot reach, as a window handle of another program
// would be on Windows.
#include "platform/posix/notifier.h"

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>
#include <sys/epoll.h>
#include <unistd.h>

#include "dtucentre.h"


struct DtuNotifier {
  int epoll_fd;
};

namespace {

constexpr int kMaxNotifiers = DTU_MAX_NOTIFIERS;
std::mutex g_registry_mutex;
DtuNotifier *g_registry[kMaxNotifiers] = {};  // guarded by g_registry_mutex

bool live(const DtuNotifier *n) {
  if (n == nullptr) return false;
  std::lock_guard<std::mutex> g(g_registry_mutex);
  for (const DtuNotifier *r : g_registry)
    if (r == n) return true;
  return false;
}

// Puts `to` in the first entry that holds `from`; false when none does.
bool replace_entry(const DtuNotifier *from, DtuNotifier *to) {
  std::lock_guard<std::mutex> g(g_registry_mutex);
  for (DtuNotifier *&r : g_registry)
    if (r == from) {
      r = to;
      return true;
    }
  return false;
}

}  // namespace

namespace dtu::platform {

int notifier_watch(DtuNotifier *n, int fd, unsigned message) {
  if (n == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (!live(n)) return 0;  // a window we cannot reach: nothing to register
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = message;
  if (::epoll_ctl(n->epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0) return 0;
  // A descriptor number reused from an earlier start may still be listed.
  if (errno == EEXIST && ::epoll_ctl(n->epoll_fd, EPOLL_CTL_MOD, fd, &ev) == 0) return 0;
  return -1;
}

DtuNotifier *create_notifier() {
  int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return nullptr;
  auto *n = new (std::nothrow) DtuNotifier{fd};
  if (n == nullptr || !replace_entry(nullptr, n)) {
    delete n;
    ::close(fd);
    return nullptr;
  }
  return n;
}

int notifier_descriptor(const DtuNotifier *notifier) {
  return live(notifier) ? notifier->epoll_fd : -1;
}

int wait_notifier(DtuNotifier *notifier, int timeout_ms, unsigned int *message) {
  if (!live(notifier)) return -1;
  epoll_event ev{};
  int n = ::epoll_wait(notifier->epoll_fd, &ev, 1, timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  if (n == 0) return 0;
  if (message != nullptr) *message = static_cast<unsigned int>(ev.data.u64);
  return 1;
}

void destroy_notifier(DtuNotifier *notifier) {
  if (notifier == nullptr || !replace_entry(notifier, nullptr)) return;
  ::close(notifier->epoll_fd);
  delete notifier;
}

}  // namespace dtu::platform
