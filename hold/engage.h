// Starting a front hold and keeping it: "engage" and "keepAlive".
#pragma once

#include "hold/front_hold.h"

inline constexpr uint64_t kHoldIntervalNs = 2'000'000;  // re-assert every 2 ms
inline constexpr uint64_t kHoldLeewayNs = 500'000;      // enough slack to coalesce wakeups
inline constexpr double kSilenceThreshold = 3.0;        // seconds without keepAlive
inline constexpr uint32_t kHiddenDockUIMode = 2;

/// Main thread. Idle: notes the front process, sets the Dock-hiding mode,
/// starts the hold and records the top window; then, once front, turns
/// regular (hold/activation.h) and, if that changed the policy, sets the
/// mode again. Holding or Yielded: does nothing.
void performEngage();

/// Main thread: starts the hold, then records the top window of the others
/// while the timer already runs. Returns whether the start took the front.
bool beginHold(FrontHold& hold, pid_t front);

/// Hold queue: starts a new generation, marks it engaged and fresh, looks up
/// this process's serial number, takes the front and starts the 2 ms timer.
/// `timer` must be absent. Returns whether the set-front succeeded.
bool startHold(FrontHold& hold, pid_t front);

/// Hold queue, every 2 ms: re-asserts the front while keep-alives are fresh
/// (one front query, and a set-front only when another process is front);
/// once they are `kSilenceThreshold` old, hands onParentSilent and this
/// hold's generation to the main queue, once per hold. Never allocates on a
/// fresh tick. `now` is monotonicSeconds().
void holdTick(FrontHold& hold, double now);

/// Main thread; never waits. Stamps lastKeepAlive on the hold queue.
void noteKeepAlive(FrontHold& hold);
