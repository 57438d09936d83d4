#include "hold/release.h"

#include "hold/activation.h"
#include "platform/platform.h"
#include "windowserver/front_process.h"
#include "windowserver/top_window.h"

void stopHold(FrontHold& hold) {
  if (!hold.timer)
    return;
  // Cancelled on the queue that serves it, so no tick follows.
  dispatch_source_cancel(hold.timer);
  dispatch_release(hold.timer);
  hold.timer = nullptr;
  if (const ProcessSerial* own = ownSerial(hold))
    revokeFront(*own);
}

std::optional<Target> endHold(FrontHold& hold, bool ownIsFront, std::optional<Target> currentTop) {
  stopHold(hold);
  hold.engaged = false;
  if (!ownIsFront)
    return std::nullopt;  // someone else already has the front: leave it
  // Window numbers alone tell whether the top changed; owners may be reported differently.
  if (currentTop && (!hold.topWindowAtBegin || hold.topWindowAtBegin->window != currentTop->window))
    return currentTop;
  if (hold.previousFront != 0)
    return Target{hold.previousFront, 0};
  return currentTop;
}

std::optional<Target> restoreTarget(FrontHold& hold) {
  bool ownIsFront = frontmostPID() == hold.ownPID;
  std::optional<Target> currentTop = topWindow(hold.ownPID);
  std::optional<Target> target;
  syncOn(hold.queue, [&] { target = endHold(hold, ownIsFront, currentTop); });
  return target;
}

namespace {

void release(FrontHold& hold) {
  std::optional<Target> target = restoreTarget(hold);
  // An accessory before the front goes back and the Dock shows, so its icon
  // never appears there. Yielded, it is one already.
  becomeAccessory(hold);
  if (target && !(target->pid >= 1 && makeFront(target->pid, target->window, kRestoreFrontMode) == 0))
    hideApplication();
  setSystemUIMode(kNormalUIMode, 0);
}

}  // namespace

void performYield() {
  FrontHold& hold = FrontHold::shared();
  syncOn(hold.queue, [&] { stopHold(hold); });
  // At once: whoever comes forward now must not find the helper's icon in
  // a Dock that shows. Its mode 2 stays, ignored while it is an accessory.
  becomeAccessory(hold);
}

void performRelease() {
  FrontHold& hold = FrontHold::shared();
  if (isEngaged(hold))
    release(hold);
}

// Holds start and end only on the main thread, so the hold checked here is
// still the one engaged when release() ends it.
void releaseSilentHold(uint64_t generation) {
  FrontHold& hold = FrontHold::shared();
  bool current = false;
  syncOn(hold.queue, [&] { current = hold.engaged && hold.generation == generation; });
  if (current)
    release(hold);
}
