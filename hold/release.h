// Ending a front hold: "yield" stops re-asserting, a release gives the front
// back and shows the Dock again.
#pragma once

#include <optional>

#include "hold/front_hold.h"

inline constexpr uint32_t kNormalUIMode = 0;

/// Hold queue. Holding: cancels the timer and revokes the front permission.
/// Otherwise does nothing. The hold stays engaged and the UI mode unchanged.
void stopHold(FrontHold& hold);

/// Hold queue. Stops the hold if it still runs, clears `engaged`, and picks
/// what gets the front back: nothing when another process is already front;
/// the top window if it changed since engage; else the process that was
/// front before; else the top window, if any.
std::optional<Target> endHold(FrontHold& hold, bool ownIsFront, std::optional<Target> currentTop);

/// Calling thread (not the hold queue): looks at the screen, then ends the
/// hold on the hold queue and returns endHold's choice.
std::optional<Target> restoreTarget(FrontHold& hold);

/// Main thread. Holding: stops the hold on the hold queue, then turns this
/// process back into an accessory, so the Dock shows from here on. Yielded
/// or Idle: does nothing. The hold stays engaged and the UI mode unchanged.
void performYield();

/// Main thread. Engaged: ends the hold, turns this process into an
/// accessory (hold/activation.h), brings the chosen target forward (or
/// hides this application when that fails) and restores UI mode 0, last.
/// Idle: does nothing. Returns only when the release is complete.
void performRelease();

/// Main thread: performRelease, if the hold numbered `generation` is still
/// engaged. A silence report queued before the parent ended that hold and
/// began another thus leaves the new hold alone.
void releaseSilentHold(uint64_t generation);
