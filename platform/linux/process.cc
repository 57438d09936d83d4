// The process side of the Linux stand-in: no application object, a main
// loop over libdispatch's main-queue hooks, and a pidfd to watch the parent.
#include <dispatch/dispatch.h>
#include <errno.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "platform/platform.h"

// Exported by libdispatch for run loops that drain the main queue on the
// main thread; not in its public headers.
extern "C" int _dispatch_get_main_queue_handle_4CF(void);
extern "C" void _dispatch_main_queue_callback_4CF(void* message);

namespace {

// Kept for the life of the process; never cancelled or released.
dispatch_source_t parentExitSource;
pid_t watchedParent;

// Without pidfds (an old kernel, a sandbox that forbids them) the parent is
// looked for once a second instead: its death re-parents us.
void watchByPolling(pid_t parent, void (*onExit)()) {
  watchedParent = parent;
  parentExitSource = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue());
  dispatch_source_set_timer(parentExitSource, dispatch_time(DISPATCH_TIME_NOW, NSEC_PER_SEC), NSEC_PER_SEC,
                            NSEC_PER_SEC / 10);
  dispatch_set_context(parentExitSource, reinterpret_cast<void*>(onExit));
  dispatch_source_set_event_handler_f(parentExitSource, [](void* context) {
    if (getppid() != watchedParent)
      reinterpret_cast<void (*)()>(context)();
  });
  dispatch_resume(parentExitSource);
}

}  // namespace

void watchParent(pid_t parent, void (*onExit)()) {
  int pidfd = int(syscall(SYS_pidfd_open, parent, 0));
  if (pidfd < 0 && errno != ESRCH) {
    watchByPolling(parent, onExit);
    return;
  }
  // Gone already: either the pid no longer exists or we were re-parented
  // between getppid() and the open, and the fd names some other process.
  if (pidfd < 0 || getppid() != parent) {
    if (pidfd >= 0)
      close(pidfd);
    onExit();
    return;
  }
  // A pidfd turns readable when its process exits.
  parentExitSource =
      dispatch_source_create(DISPATCH_SOURCE_TYPE_READ, uintptr_t(pidfd), 0, dispatch_get_main_queue());
  dispatch_set_context(parentExitSource, reinterpret_cast<void*>(onExit));
  dispatch_source_set_event_handler_f(parentExitSource, [](void* context) {
    reinterpret_cast<void (*)()>(context)();
  });
  dispatch_resume(parentExitSource);
}

void runMainLoop() {
  int handle = _dispatch_get_main_queue_handle_4CF();
  for (;;) {
    pollfd wake{handle, POLLIN, 0};
    if (poll(&wake, 1, -1) < 0)
      continue;  // EINTR
    // libdispatch writes this eventfd and never reads it: reset it, or the
    // next poll returns at once and the idle loop spins.
    uint64_t count;
    (void)!read(handle, &count, sizeof count);
    _dispatch_main_queue_callback_4CF(nullptr);
  }
}
