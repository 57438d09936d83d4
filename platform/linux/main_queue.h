// A main loop's one step on Linux, where no run loop drains libdispatch's
// main queue: shared by the helper and the benchmark's programs, which must
// drain it the way the helper does.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cstdint>

// Exported by libdispatch for run loops that drain the main queue on the
// main thread; not in its public headers.
extern "C" int _dispatch_get_main_queue_handle_4CF(void);
extern "C" void _dispatch_main_queue_callback_4CF(void* message);

/// Main thread only: waits until the main queue has work, then runs it.
/// Returns early, having run nothing, when a signal interrupts the wait.
inline void drainMainQueueOnce() {
  int handle = _dispatch_get_main_queue_handle_4CF();
  pollfd wake{handle, POLLIN, 0};
  if (poll(&wake, 1, -1) < 0)
    return;  // EINTR
  // libdispatch writes this eventfd and never reads it: reset it, or the
  // next poll returns at once and the idle loop spins.
  uint64_t count;
  (void)!read(handle, &count, sizeof count);
  _dispatch_main_queue_callback_4CF(nullptr);
}
