// The one state object of the front hold, and the hold queue that guards it.
#pragma once

#include <dispatch/dispatch.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <type_traits>

struct FrontHold {
  /// Something to bring to the front: a process and one of its windows.
  struct Target {
    int32_t pid;
    uint32_t window;  // 0 names no particular window
    bool operator==(const Target&) const = default;
  };

  /// The process's one instance, created on first use (thread-safe) and
  /// never destroyed, so handlers may keep a plain pointer to it.
  static FrontHold& shared();

  FrontHold();
  ~FrontHold();
  FrontHold(const FrontHold&) = delete;
  FrontHold& operator=(const FrontHold&) = delete;

  // Constant after construction; readable from any thread.
  const dispatch_queue_t queue;  // serial, user-interactive
  const pid_t ownPID;

  // Read and written only on `queue`.
  bool engaged = false;
  dispatch_source_t timer = nullptr;  // present while Holding
  pid_t previousFront = 0;  // front at engage; 0 if none or ourselves
  std::optional<Target> topWindowAtBegin;
  double lastKeepAlive = 0.0;  // seconds, monotonicSeconds()
  bool reportedSilence = false;  // once per hold

  /// Written once on the main thread before any hold; run on the main queue.
  void (*onParentSilent)() = nullptr;
};

using Target = FrontHold::Target;

/// Runs fn on `queue` and waits for it. Never call from `queue` itself.
template <class F>
void syncOn(dispatch_queue_t queue, F&& fn) {
  using Fn = std::remove_reference_t<F>;
  dispatch_sync_f(queue, &fn, [](void* context) { (*static_cast<Fn*>(context))(); });
}

/// Reads `engaged` on the hold queue. Main thread.
bool isEngaged(FrontHold& hold);
