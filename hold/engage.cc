#include "hold/engage.h"

#include "hold/clock.h"
#include "platform/platform.h"
#include "windowserver/front_process.h"
#include "windowserver/top_window.h"

namespace {

// The timer holds a plain pointer: the instance outlives every tick, since
// a timer is cancelled on the hold queue before its FrontHold could go.
void onHoldTimer(void* context) {
  holdTick(*static_cast<FrontHold*>(context), monotonicSeconds());
}

void reportSilence(void* context) {
  if (auto callback = static_cast<FrontHold*>(context)->onParentSilent)
    callback();
}

}  // namespace

void performEngage() {
  FrontHold& hold = FrontHold::shared();
  if (isEngaged(hold))
    return;
  pid_t front = frontmostPID();  // before the UI mode changes what is in front
  setSystemUIMode(kHiddenDockUIMode, 0);
  beginHold(hold, front);
}

void beginHold(FrontHold& hold, pid_t front) {
  syncOn(hold.queue, [&] { startHold(hold, front); });
  std::optional<Target> top = topWindow(hold.ownPID);
  syncOn(hold.queue, [&] { hold.topWindowAtBegin = top; });
}

void startHold(FrontHold& hold, pid_t front) {
  hold.engaged = true;
  hold.lastKeepAlive = monotonicSeconds();
  hold.reportedSilence = false;
  hold.previousFront = front == hold.ownPID ? 0 : front;
  permitFront(hold.ownPID);
  if (hold.ownPID >= 1)
    makeFront(hold.ownPID, 0, kHoldFrontMode);

  dispatch_source_t timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, hold.queue);
  dispatch_source_set_timer(timer, dispatch_time(DISPATCH_TIME_NOW, kHoldIntervalNs),
                            kHoldIntervalNs, kHoldLeewayNs);
  dispatch_set_context(timer, &hold);
  dispatch_source_set_event_handler_f(timer, onHoldTimer);
  dispatch_resume(timer);
  hold.timer = timer;
}

void holdTick(FrontHold& hold, double now) {
  // Strictly below: an age of exactly the threshold is silence.
  if (now - hold.lastKeepAlive < kSilenceThreshold) {
    if (frontmostPID() != hold.ownPID && hold.ownPID >= 1)
      makeFront(hold.ownPID, 0, kHoldFrontMode);
    return;
  }
  if (hold.reportedSilence)
    return;
  hold.reportedSilence = true;
  // Never call out from the hold queue: the release it triggers waits on it.
  dispatch_async_f(dispatch_get_main_queue(), &hold, reportSilence);
}

void noteKeepAlive(FrontHold& hold) {
  dispatch_async_f(hold.queue, &hold, [](void* context) {
    static_cast<FrontHold*>(context)->lastKeepAlive = monotonicSeconds();
  });
}
