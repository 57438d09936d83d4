// The process side on macOS: the application object, its delegate, the
// activation policy (when to set it is hold/activation.cc's), the activity
// that keeps the helper out of App Nap, and the AppKit main loop. The parent
// watch is in parent.cc.
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

// All kept for the life of the process: ending the activity would let the
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

// The real helper writes nothing: a read word is only the simulation's to trace.
void commandRead(const char*) {}

void runMainLoop() {
  // Also drains the main dispatch queue.
  [NSApp run];
}

void setSystemUIMode(uint32_t mode, uint32_t options) {
  // Nothing to do on failure: the status is not reported.
  SetSystemUIMode(mode, options);
}

void setActivationPolicy(ActivationPolicy policy) {
  // The result says whether the policy changed, and nothing can be done
  // about a refusal.
  [NSApp setActivationPolicy:policy == ActivationPolicy::regular ? NSApplicationActivationPolicyRegular
                                                                   : NSApplicationActivationPolicyAccessory];
}

void hideApplication() { [NSApp hide:nil]; }
