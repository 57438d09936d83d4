// The window server's front-process calls, bound at run time from its
// private framework. An entry point that cannot be bound stays absent and
// every call that needs it does nothing. Callable from any thread.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>

#include "platform/platform.h"

/// Where the front-process entry points live.
inline constexpr const char* kFrontServicesLibrary =
    "/System/Library/PrivateFrameworks/SkyLight.framework/SkyLight";

/// makeFront modes: 0x400 while holding the front, 0x200 to give it back.
inline constexpr uint32_t kHoldFrontMode = 0x400;
inline constexpr uint32_t kRestoreFrontMode = 0x200;

/// The front process's serial number: one window-server call. False when
/// it cannot be had.
bool frontProcess(ProcessSerial* psn);

/// The front process's pid; 0 when it cannot be had.
pid_t frontmostPID();

/// Brings `psn` to the front with `window` (0: any) and `mode`. Returns the
/// window server's status, 0 when done; non-zero without calling anything
/// when the entry point is absent.
int32_t makeFront(const ProcessSerial& psn, uint32_t window, uint32_t mode);

/// The same for `pid`; non-zero without calling anything when the pid has
/// no process serial number.
int32_t makeFront(pid_t pid, uint32_t window, uint32_t mode);

/// Adds `psn` to, or removes it from, the processes allowed to take the
/// front. Nothing happens when the entry point is missing.
void permitFront(const ProcessSerial& psn);
void revokeFront(const ProcessSerial& psn);

/// A front-process entry point's name, and whether it could be bound.
struct FrontCall {
  const char* name;
  bool bound;
};

/// Every front-process entry point, the front query first, each bound as
/// its first use would bind it: what this system offers, for a report.
std::array<FrontCall, 4> frontCalls();
