// What the person at the Mac sees of the system UI. The system UI mode is
// each process's own, and what the system shows follows the front process:
// when a process that hides the Dock stops being front, the Dock shows, and
// when it is front again, the Dock hides again. An accessory's mode is
// ignored: it cannot be the frontmost faceful application.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>

struct Presentation {
  std::map<pid_t, uint32_t> modes;  // a process not in it has mode 0
  std::set<pid_t> accessories;      // every other process is regular
  bool dockHidden = false;          // as last traced; nothing hides it at start
  pid_t shownFront = 0;             // the front process last traced
};

/// Sets `pid`'s own mode. A mode above 4 is refused, as the system refuses
/// it, and changes nothing; returns whether it was taken.
bool setUIMode(Presentation& presentation, pid_t pid, uint32_t mode);

/// Makes `pid` an accessory or a regular application.
void setAccessory(Presentation& presentation, pid_t pid, bool accessory);

/// Traces "dock hidden FRONT" or "dock shown FRONT" when the Dock under the
/// front process's mode and policy, or the front process itself, differs
/// from what was last traced. Called, with the server locked, after
/// anything that may change a mode, a policy or the front.
void showFront(Presentation& presentation, pid_t front);
