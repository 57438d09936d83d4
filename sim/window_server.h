// A simulated window server: which processes exist, which is in front, what
// is on screen, each process's UI mode and activation policy and so whether
// the Dock shows, and which front-process entry points the "framework"
// offers. It implements the platform seam's window-server calls and traces
// each.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string_view>

/// Stands for the framework's path in openLibrary; lookupSymbol answers
/// with the simulated entry points for this handle.
inline void* const kSimFrameworkHandle = reinterpret_cast<void*>(uintptr_t(0x5e1f));

/// Applies one control line (docs/sim.md: live, gone, front, windows,
/// absent, setFrontStatus, uiMode, policy). Returns false, changing
/// nothing, when the line is unknown or malformed. Any thread.
bool applyControl(std::string_view line);

/// The process the simulated server has in front; 0 for none.
pid_t simFrontPID();

/// How often the simulated framework has been asked for `symbol`.
int simLookups(std::string_view symbol);
