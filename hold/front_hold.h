// The one state object of the front hold, and the hold queue that guards it.
#pragma once

#include <dispatch/dispatch.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <type_traits>

#include "platform/platform.h"
#include "windowserver/target.h"

struct FrontHold {
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
  uint64_t generation = 0;  // counts holds started: names the current one
  dispatch_source_t timer = nullptr;  // present while Holding
  pid_t previousFront = 0;  // front at engage; 0 if none or ourselves
  std::optional<Target> topWindowAtBegin;
  double lastKeepAlive = 0.0;  // seconds, monotonicSeconds()
  bool reportedSilence = false;  // once per hold
  // This process's serial number, looked up at the start of each hold (and
  // on a tick if that failed): it cannot change while the process runs, and
  // a tick that has it makes one window-server call, not three.
  std::optional<ProcessSerial> ownSerial;

  // Main thread only: whether the hold made this process a regular
  // application (hold/activation.h). An AppKit state, not the hold queue's.
  bool regular = false;

  /// Written once on the main thread before any hold; run on the main queue
  /// with the generation of the hold that fell silent.
  void (*onParentSilent)(uint64_t generation) = nullptr;
};

/// Runs fn on `queue` and waits for it. Never call from `queue` itself.
template <class F>
void syncOn(dispatch_queue_t queue, F&& fn) {
  using Fn = std::remove_reference_t<F>;
  dispatch_sync_f(queue, &fn, [](void* context) { (*static_cast<Fn*>(context))(); });
}

/// Reads `engaged` on the hold queue. Main thread.
bool isEngaged(FrontHold& hold);

/// Hold queue: this process's serial number, looked up now if this hold has
/// not got it yet; null when the window server has none for it.
const ProcessSerial* ownSerial(FrontHold& hold);
