// DtuNotifier: an epoll instance that stands in for the host's window.  The
// server socket is registered level-triggered, so a waiting datagram keeps
// being reported until the host has received it, as a posted window message
// keeps arriving while the socket stays readable.
//
// Notifiers live in a fixed registry of DTU_MAX_NOTIFIERS entries (no heap),
// so that a window argument is recognised without being dereferenced: any
// other pointer is treated as a window the library cannot reach, as a window
// handle of another program would be on Windows.  A wait takes the epoll
// descriptor under the registry's lock and counts itself as a waiter; a
// destroy during a wait leaves the closing of the descriptor to the last
// waiter, so no wait ever uses a closed (or reused) descriptor number.
#include "platform/posix/notifier.h"

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <sys/epoll.h>
#include <unistd.h>

#include "dtucentre.h"


struct DtuNotifier {
  int epoll_fd;
};

namespace {

constexpr int kMaxNotifiers = DTU_MAX_NOTIFIERS;

struct Entry {
  DtuNotifier notifier{-1};
  bool live = false;     // created and not destroyed
  int waiters = 0;       // waits inside epoll_wait on notifier.epoll_fd
};

std::mutex g_registry_mutex;
Entry g_registry[kMaxNotifiers];  // guarded by g_registry_mutex

// The live entry of `n`, or nullptr; compares addresses only.
Entry *live_entry(const DtuNotifier *n) {
  for (Entry &e : g_registry)
    if (&e.notifier == n && e.live) return &e;
  return nullptr;
}

// A destroyed entry whose last waiter has left gives its descriptor back.
void release_if_done(Entry &e) {
  if (e.live || e.waiters != 0 || e.notifier.epoll_fd < 0) return;
  ::close(e.notifier.epoll_fd);
  e.notifier.epoll_fd = -1;
}

}  // namespace

namespace dtu::platform {

int notifier_watch(DtuNotifier *n, int fd, unsigned message) {
  if (n == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> g(g_registry_mutex);
  Entry *e = live_entry(n);
  if (e == nullptr) return 0;  // a window we cannot reach: nothing to register
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = message;
  const int epoll_fd = e->notifier.epoll_fd;
  if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0) return 0;
  // A descriptor number reused from an earlier start may still be listed.
  if (errno == EEXIST && ::epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &ev) == 0) return 0;
  return -1;
}

DtuNotifier *create_notifier() {
  std::lock_guard<std::mutex> g(g_registry_mutex);
  for (Entry &e : g_registry) {
    if (e.live || e.notifier.epoll_fd >= 0) continue;  // in use, or still closing
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return nullptr;
    e.notifier.epoll_fd = fd;
    e.live = true;
    return &e.notifier;
  }
  return nullptr;  // DTU_MAX_NOTIFIERS are live
}

int notifier_descriptor(const DtuNotifier *notifier) {
  std::lock_guard<std::mutex> g(g_registry_mutex);
  const Entry *e = live_entry(notifier);
  return e != nullptr ? e->notifier.epoll_fd : -1;
}

int wait_notifier(DtuNotifier *notifier, int timeout_ms, unsigned int *message) {
  Entry *e;
  int epoll_fd;
  {
    std::lock_guard<std::mutex> g(g_registry_mutex);
    e = live_entry(notifier);
    if (e == nullptr) return -1;
    epoll_fd = e->notifier.epoll_fd;
    ++e->waiters;
  }
  epoll_event ev{};
  const int n = ::epoll_wait(epoll_fd, &ev, 1, timeout_ms);
  const int wait_errno = errno;
  {
    std::lock_guard<std::mutex> g(g_registry_mutex);
    --e->waiters;
    release_if_done(*e);
  }
  if (n < 0) return wait_errno == EINTR ? 0 : -1;
  if (n == 0) return 0;
  if (message != nullptr) *message = static_cast<unsigned int>(ev.data.u64);
  return 1;
}

void destroy_notifier(DtuNotifier *notifier) {
  std::lock_guard<std::mutex> g(g_registry_mutex);
  Entry *e = live_entry(notifier);
  if (e == nullptr) return;
  e->live = false;
  release_if_done(*e);
}

}  // namespace dtu::platform
