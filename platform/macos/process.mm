// The process side on macOS: the application object, the activity that keeps
// the helper out of App Nap, and the AppKit main loop. The parent watch is in
// parent.cc.
#import <AppKit/AppKit.h>
#include <Carbon/Carbon.h>

#include "platform/platform.h"

namespace {

// Kept for the life of the process: ending the activity would let the
// system throttle the 2 ms hold timer.
id<NSObject> activity;

}  // namespace

void startApplication() {
  // Connects to the window server; NSApp keeps the instance.
  [NSApplication sharedApplication];
  activity = [[NSProcessInfo processInfo]
      beginActivityWithOptions:(NSActivityUserInitiatedAllowingIdleSystemSleep | NSActivityLatencyCritical)
                        reason:@"Hides the native Dock during Mission Control"];
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
