#include "sim/presentation.h"

#include "sim/trace.h"

namespace {

// HIToolbox's modes, and whether each leaves the Dock out of sight:
//   0 normal               shown
//   1 content suppressed   hidden: the Dock slides in only when the pointer
//                          reaches its edge, so at rest it is not seen
//   2 content hidden       hidden (the helper's mode while it holds)
//   3 all hidden           hidden, with the menu bar
//   4 all suppressed       hidden, the menu bar too, both until the pointer
//                          reaches them
// The menu bar is not traced: the helper never asks to hide it.
constexpr uint32_t kHighestUIMode = 4;

bool hidesDock(uint32_t mode) { return mode != 0; }

}  // namespace

bool setUIMode(Presentation& presentation, pid_t pid, uint32_t mode) {
  if (mode > kHighestUIMode)
    return false;
  presentation.modes[pid] = mode;
  return true;
}

void setAccessory(Presentation& presentation, pid_t pid, bool accessory) {
  if (accessory)
    presentation.accessories.insert(pid);
  else
    presentation.accessories.erase(pid);
}

void showFront(Presentation& presentation, pid_t front) {
  auto found = presentation.modes.find(front);
  bool hidden = found != presentation.modes.end() && hidesDock(found->second) &&
                !presentation.accessories.count(front);
  if (hidden == presentation.dockHidden && front == presentation.shownFront)
    return;
  presentation.dockHidden = hidden;
  presentation.shownFront = front;
  trace("dock %s %d", hidden ? "hidden" : "shown", front);
}
