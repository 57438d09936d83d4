// Process entry: set everything up on the main thread, then give the main
// thread to the platform's loop for good. Every exit is exit(0), and the
// process writes nothing anywhere.
#include <dispatch/dispatch.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "command/command_reader.h"
#include "hold/activation.h"
#include "hold/front_hold.h"
#include "hold/release.h"
#include "platform/platform.h"

namespace {

// Kept for the life of the process; never cancelled or released.
dispatch_source_t inputSource;
// A file given as input is whole already: read it to its end at each look.
// kqueue raises a file's read event only while unread data remains, so the
// read that finds its end would otherwise never come.
bool inputIsFile;

void onParentExit() {
  performRelease();
  exit(0);
}

}  // namespace

int main() {
  // Without a standard input nothing can be read and nothing is held: the
  // failed read's way out, before libdispatch could reuse descriptor 0.
  if (fcntl(0, F_GETFD) == -1)
    exit(0);
  struct stat input;
  inputIsFile = fstat(0, &input) == 0 && S_ISREG(input.st_mode);
  startApplication();
  // No Dock icon until a hold has the front (hold/activation.h).
  startAccessory();
  // In place before anything can start a hold.
  FrontHold::shared().onParentSilent = releaseSilentHold;
  watchParent(getppid(), onParentExit);

  inputSource = dispatch_source_create(DISPATCH_SOURCE_TYPE_READ, 0, 0, dispatch_get_main_queue());
  dispatch_source_set_event_handler_f(inputSource, [](void*) {
    // Nothing to read on a readable event follows the writer's hang-up.
    handleInput(true, inputIsFile || dispatch_source_get_data(inputSource) == 0);
  });
  dispatch_resume(inputSource);
  // Some inputs never raise an event (epoll refuses /dev/null, for one):
  // look once at start, so their end is not missed.
  dispatch_async_f(dispatch_get_main_queue(), nullptr, [](void*) { handleInput(false, inputIsFile); });

  runMainLoop();
  exit(0);
}
