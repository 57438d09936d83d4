// What the person at the Mac sees of the system UI. The system UI mode is
// each process's own, and what the system shows follows the front process:
// when a process that hides the Dock stops being front, the Dock shows, and
// when it is front again, the Dock hides again.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>

struct Presentation {
  std::map<pid_t, uint32_t> modes;  // a process not in it has mode 0
  bool dockHidden = false;          // as last traced; nothing hides it at start
};

/// Sets `pid`'s own mode. A mode above 4 is refused, as the system refuses
/// it, and changes nothing; returns whether it was taken.
bool setUIMode(Presentation& presentation, pid_t pid, uint32_t mode);

/// Traces "dock hidden FRONT" or "dock shown FRONT" when the Dock under the
/// front process's mode differs from what was last traced. Called, with the
/// server locked, after anything that may change a mode or the front.
void showFront(Presentation& presentation, pid_t front);
