// The topmost ordinary, visible, reasonably large window of another process.
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

#include "windowserver/target.h"
#include "platform/window_record.h"

/// Windows smaller than this on either side are not worth bringing back.
inline constexpr double kMinimumWindowSide = 50.0;

/// The first record, front to back, on layer 0, not owned by `excludedPID`,
/// not fully transparent, at least kMinimumWindowSide wide and high, with a
/// number. Pure: no state, no platform call.
std::optional<Target> scanWindows(const std::vector<WindowRecord>& windows, pid_t excludedPID);

/// scanWindows over a fresh snapshot of the on-screen windows; absent when
/// the window server gives no list. Main thread, never on the hold queue.
std::optional<Target> topWindow(pid_t excludedPID);
