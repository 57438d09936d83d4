// What differs by operating system. The portable core calls only these;
// the build links exactly one implementation per executable:
// platform/macos (AppKit, Carbon, CoreGraphics), platform/linux (a stand-in
// with no window server), or sim/ (a simulated window server).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/window_record.h"

/// Creates the application object and declares the process activity.
/// Main thread, once, first thing at start-up.
void startApplication();

/// Calls onExit on the main queue once `parent` has exited. If it cannot be
/// watched because it is already gone, calls onExit at once.
void watchParent(pid_t parent, void (*onExit)());

/// Main queue: the command `word` was read from the channel and runs next.
/// Nothing to do for a real window server; the simulation traces it.
void commandRead(const char* word);

/// Runs the main loop on the main thread, draining the main dispatch queue.
/// Returns only if the platform's loop ever stops.
void runMainLoop();

/// Sets this process's own system UI mode: while it is the front process
/// and a regular application, 2 hides the Dock and 0 shows it; an
/// accessory's mode is ignored. Main thread. Touches nothing else.
void setSystemUIMode(uint32_t mode, uint32_t options);

/// How this process appears: a regular application has a Dock icon and its
/// mode counts while it is front; an accessory has neither. Main thread
/// (an AppKit call), never the hold queue. Nothing to do without a window
/// server; the simulation traces it.
enum class ActivationPolicy { regular, accessory };
void setActivationPolicy(ActivationPolicy policy);

/// Hides this process's application. Main thread.
void hideApplication();

/// A snapshot of the on-screen windows, front to back; nullopt when the
/// window server gives no list or a list of the wrong shape.
std::optional<std::vector<WindowRecord>> copyWindowList();

/// A process serial number: the window server's name for a process.
struct ProcessSerial {
  uint32_t high;
  uint32_t low;
  bool operator==(const ProcessSerial&) const = default;
};

/// Process serial number lookups; 0 is success. Thread-safe.
int32_t processForPID(pid_t pid, ProcessSerial* psn);
int32_t pidForProcess(const ProcessSerial* psn, pid_t* pid);

/// dlopen(path, RTLD_LAZY) and dlsym, or what stands in for them.
void* openLibrary(const char* path);
void* lookupSymbol(void* handle, const char* name);
