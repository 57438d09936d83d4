#include "hold/engage.h"

#include <memory>

#include "hold/activation.h"
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

// Made once per hold, when it falls silent; never on a plain tick.
struct SilenceReport {
  void (*callback)(uint64_t generation);
  uint64_t generation;
};

void reportSilence(void* context) {
  std::unique_ptr<SilenceReport> report(static_cast<SilenceReport*>(context));
  report->callback(report->generation);
}

}  // namespace

void performEngage() {
  FrontHold& hold = FrontHold::shared();
  if (isEngaged(hold))
    return;
  pid_t front = frontmostPID();  // before the UI mode changes what is in front
  setSystemUIMode(kHiddenDockUIMode, 0);
  // Regular only once front, so the helper's Dock icon never joins a Dock
  // that shows; if the set-front failed it stays an accessory for this
  // hold, and the Dock with it. The mode again after the change: whether
  // one set before it counts is not documented.
  if (beginHold(hold, front) && becomeRegular(hold))
    setSystemUIMode(kHiddenDockUIMode, 0);
}

bool beginHold(FrontHold& hold, pid_t front) {
  bool madeFront = false;
  syncOn(hold.queue, [&] { madeFront = startHold(hold, front); });
  std::optional<Target> top = topWindow(hold.ownPID);
  syncOn(hold.queue, [&] { hold.topWindowAtBegin = top; });
  return madeFront;
}

bool startHold(FrontHold& hold, pid_t front) {
  hold.engaged = true;
  ++hold.generation;
  hold.lastKeepAlive = monotonicSeconds();
  hold.reportedSilence = false;
  hold.previousFront = front == hold.ownPID ? 0 : front;
  hold.ownSerial.reset();
  bool madeFront = false;
  if (const ProcessSerial* own = ownSerial(hold)) {
    permitFront(*own);
    madeFront = makeFront(*own, 0, kHoldFrontMode) == 0;
  }

  dispatch_source_t timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, hold.queue);
  dispatch_source_set_timer(timer, dispatch_time(DISPATCH_TIME_NOW, kHoldIntervalNs),
                            kHoldIntervalNs, kHoldLeewayNs);
  dispatch_set_context(timer, &hold);
  dispatch_source_set_event_handler_f(timer, onHoldTimer);
  dispatch_resume(timer);
  hold.timer = timer;
  return madeFront;
}

void holdTick(FrontHold& hold, double now) {
  // Strictly below: an age of exactly the threshold is silence.
  if (now - hold.lastKeepAlive < kSilenceThreshold) {
    // Serial numbers compared, not pids: while front, the front query is
    // the tick's one window-server call. No front counts as another's.
    ProcessSerial front;
    const ProcessSerial* own = ownSerial(hold);
    if (own && !(frontProcess(&front) && front == *own))
      makeFront(*own, 0, kHoldFrontMode);
    return;
  }
  if (hold.reportedSilence)
    return;
  hold.reportedSilence = true;
  // Never call out from the hold queue: the release it triggers waits on it.
  // The report names this hold, so that it cannot end a later one.
  if (hold.onParentSilent)
    dispatch_async_f(dispatch_get_main_queue(), new SilenceReport{hold.onParentSilent, hold.generation},
                     reportSilence);
}

void noteKeepAlive(FrontHold& hold) {
  dispatch_async_f(hold.queue, &hold, [](void* context) {
    static_cast<FrontHold*>(context)->lastKeepAlive = monotonicSeconds();
  });
}
