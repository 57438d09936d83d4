// The process side of the Linux stand-in: no application object, a main
// loop over libdispatch's main-queue hooks, and a pidfd to watch the parent.
#include <dispatch/dispatch.h>
#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "platform/linux/main_queue.h"
#include "platform/platform.h"

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
  for (;;)
    drainMainQueueOnce();
}
