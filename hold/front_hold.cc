#include "hold/front_hold.h"

#include <unistd.h>

namespace {

// dispatch_qos_class_t is QOS_CLASS_USER_INTERACTIVE on Apple platforms;
// Linux's libdispatch takes the same number without declaring the enum.
constexpr auto kUserInteractive = dispatch_qos_class_t(0x21);

dispatch_queue_t makeHoldQueue() {
  dispatch_queue_attr_t attr = dispatch_queue_attr_make_with_qos_class(
      DISPATCH_QUEUE_SERIAL, kUserInteractive, 0);
  return dispatch_queue_create("com.fernhollow.palisade.hold", attr);
}

}  // namespace

FrontHold& FrontHold::shared() {
  static FrontHold* const instance = new FrontHold();
  return *instance;
}

FrontHold::FrontHold() : queue(makeHoldQueue()), ownPID(getpid()) {}

// Only instances made by tests are ever destroyed, after they have drained
// the main queue of any silence report. The timer is cancelled on its own
// queue, so no tick can still be running on a dead object.
FrontHold::~FrontHold() {
  syncOn(queue, [this] {
    if (timer) {
      dispatch_source_cancel(timer);
      dispatch_release(timer);
      timer = nullptr;
    }
  });
  dispatch_release(queue);
}

bool isEngaged(FrontHold& hold) {
  bool engaged = false;
  syncOn(hold.queue, [&] { engaged = hold.engaged; });
  return engaged;
}

const ProcessSerial* ownSerial(FrontHold& hold) {
  ProcessSerial psn;
  if (!hold.ownSerial && processForPID(hold.ownPID, &psn) == 0)
    hold.ownSerial = psn;
  return hold.ownSerial ? &*hold.ownSerial : nullptr;
}
