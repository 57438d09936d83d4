// The process side on macOS: the application object and its delegate, the
// activity that keeps the helper out of App Nap, and the AppKit main loop.
// The parent watch is in parent.cc.
#import <AppKit/AppKit.h>
#include <Carbon/Carbon.h>

#include "platform/platform.h"

// Since macOS 14 AppKit prints a warning to stderr at launch unless a
// delegate says restorable state is securely coded, and the helper prints
// nothing. It answers that and nothing else.
@interface PalisadeApplicationDelegate : NSObject <NSApplicationDelegate>
@end

@implementation PalisadeApplicationDelegate
- (BOOL)applicationSupportsSecureRestorableState:(NSApplication*)application {
  return YES;
}
@end

namespace {

// Both kept for the life of the process: ending the activity would let the
// system throttle the 2 ms hold timer, and the application holds its
// delegate weakly.
id<NSObject> activity;
PalisadeApplicationDelegate* applicationDelegate;

}  // namespace

void startApplication() {
  // Connects to the window server; NSApp keeps the instance.
  [NSApplication sharedApplication];
  applicationDelegate = [PalisadeApplicationDelegate new];
  NSApp.delegate = applicationDelegate;
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
