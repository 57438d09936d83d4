// The process side on macOS: the application object, the activity that keeps
// the helper out of App Nap, the parent watched through a process source, and
// the AppKit main loop.
#import <AppKit/AppKit.h>
#include <Carbon/Carbon.h>
#include <dispatch/dispatch.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

// Both kept for the life of the process: ending the activity would let the
// system throttle the 2 ms hold timer; the source is never cancelled.
id<NSObject> activity;
dispatch_source_t parentExitSource;

}  // namespace

void startApplication() {
  // Connects to the window server; NSApp keeps the instance.
  [NSApplication sharedApplication];
  activity = [[NSProcessInfo processInfo]
      beginActivityWithOptions:(NSActivityUserInitiatedAllowingIdleSystemSleep | NSActivityLatencyCritical)
                        reason:@"Hides the native Dock during Mission Control"];
}

void commandRead(const char*) {}

void watchParent(pid_t parent, void (*onExit)()) {
  parentExitSource = dispatch_source_create(DISPATCH_SOURCE_TYPE_PROC, uintptr_t(parent),
                                            DISPATCH_PROC_EXIT, dispatch_get_main_queue());
  dispatch_set_context(parentExitSource, reinterpret_cast<void*>(onExit));
  dispatch_source_set_event_handler_f(parentExitSource, [](void* context) {
    reinterpret_cast<void (*)()>(context)();
  });
  dispatch_resume(parentExitSource);
  // The parent may have died before the source was armed, and its pid may
  // since name another process: then we have been re-parented. Cancelled
  // first, so onExit cannot also come from the source.
  if (getppid() != parent) {
    dispatch_source_cancel(parentExitSource);
    onExit();
  }
}

void runMainLoop() {
  // Also drains the main dispatch queue.
  [NSApp run];
}

void setSystemUIMode(uint32_t mode, uint32_t options) {
  // Nothing to do on failure: the status is not reported.
  SetSystemUIMode(mode, options);
}

void hideApplication() { [NSApp hide:nil]; }
