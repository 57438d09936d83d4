// Watching the parent on Apple platforms, through libdispatch's process
// source. Shared by the helper and the simulated helper.
#include <dispatch/dispatch.h>
#include <unistd.h>

#include <cstdint>

#include "platform/platform.h"

namespace {

// Kept for the life of the process; never released.
dispatch_source_t parentExitSource;

}  // namespace

void watchParent(pid_t parent, void (*onExit)()) {
  parentExitSource = dispatch_source_create(DISPATCH_SOURCE_TYPE_PROC, uintptr_t(parent),
                                            DISPATCH_PROC_EXIT, dispatch_get_main_queue());
  dispatch_set_context(parentExitSource, reinterpret_cast<void*>(onExit));
  dispatch_source_set_event_handler_f(parentExitSource, [](void* context) {
    reinterpret_cast<void (*)()>(context)();
  });
  dispatch_resume(parentExitSource);
  // The parent may have died before the source was armed, and its pid may
  // since name another process: then we have been re-parented. Cancelled
  // first, so onExit cannot also come from the source.
  if (getppid() != parent) {
    dispatch_source_cancel(parentExitSource);
    onExit();
  }
}
