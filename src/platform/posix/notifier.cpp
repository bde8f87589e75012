// DtuNotifier: an epoll instance that stands in for the host's window.  The
// server socket is registered level-triggered, so a waiting datagram keeps
// being reported until the host has received it, as a posted window message
// keeps arriving while the socket stays readable.
#include "platform/posix/notifier.h"

#include <cerrno>
#include <cstdint>
#include <new>
#include <sys/epoll.h>
#include <unistd.h>

#include "dtucentre.h"

struct DtuNotifier {
  std::uint32_t magic;
  int epoll_fd;
};

namespace {
constexpr std::uint32_t kLiveMagic = 0x4454554e;  // "DTUN"
constexpr std::uint32_t kDeadMagic = 0x64656164;

bool live(const DtuNotifier *n) { return n != nullptr && n->magic == kLiveMagic; }
}  // namespace

namespace dtu::platform {

int notifier_watch(DtuNotifier *n, int fd, unsigned message) {
  if (!live(n)) {
    errno = EINVAL;
    return -1;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = message;
  if (::epoll_ctl(n->epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0) return 0;
  // A descriptor number reused from an earlier start may still be listed.
  if (errno == EEXIST && ::epoll_ctl(n->epoll_fd, EPOLL_CTL_MOD, fd, &ev) == 0) return 0;
  return -1;
}

}  // namespace dtu::platform

extern "C" {

DTU_API DtuNotifier *DTU_CALL dtu_notifier_create(void) {
  int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return nullptr;
  auto *n = new (std::nothrow) DtuNotifier{kLiveMagic, fd};
  if (n == nullptr) ::close(fd);
  return n;
}

DTU_API int DTU_CALL dtu_notifier_fd(const DtuNotifier *notifier) {
  return live(notifier) ? notifier->epoll_fd : -1;
}

DTU_API int DTU_CALL dtu_notifier_wait(DtuNotifier *notifier, int timeout_ms,
                                       unsigned int *message) {
  if (!live(notifier)) return -1;
  epoll_event ev{};
  int n = ::epoll_wait(notifier->epoll_fd, &ev, 1, timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  if (n == 0) return 0;
  if (message != nullptr) *message = static_cast<unsigned int>(ev.data.u64);
  return 1;
}

DTU_API void DTU_CALL dtu_notifier_destroy(DtuNotifier *notifier) {
  if (!live(notifier)) return;
  ::close(notifier->epoll_fd);
  notifier->magic = kDeadMagic;
  delete notifier;
}

}  // extern "C"
