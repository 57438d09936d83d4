// Process entry: set everything up on the main thread, then give the main
// thread to the platform's loop for good. Every exit is exit(0), and the
// process writes nothing anywhere.
#include <dispatch/dispatch.h>
#include <unistd.h>

#include <cstdlib>

#include "command/command_reader.h"
#include "hold/front_hold.h"
#include "hold/release.h"
#include "platform/platform.h"

namespace {

// Kept for the life of the process; never cancelled or released.
dispatch_source_t inputSource;

void onParentExit() {
  performRelease();
  exit(0);
}

}  // namespace

int main() {
  startApplication();
  // In place before anything can start a hold.
  FrontHold::shared().onParentSilent = performRelease;
  watchParent(getppid(), onParentExit);

  inputSource = dispatch_source_create(DISPATCH_SOURCE_TYPE_READ, 0, 0, dispatch_get_main_queue());
  dispatch_set_context(inputSource, inputSource);
  dispatch_source_set_event_handler_f(inputSource, [](void* source) {
    handleInput(static_cast<dispatch_source_t>(source));
  });
  dispatch_resume(inputSource);

  runMainLoop();
  exit(0);
}
