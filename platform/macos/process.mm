// The process side on macOS: the application object, its delegate and its
// activation policy, the activity that keeps the helper out of App Nap, and
// the AppKit main loop. The parent watch is in parent.cc.
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

// How the helper may become front, chosen at build time with
// PALISADE_MACOS_ACTIVATION (see "When the Dock does not hide" in the Swift docs):
//  regularWhileHolding (the default): regular from engage to release, an
//    accessory otherwise. MacApplication.h says the session's UI mode is
//    the frontmost faceful application's, and a UIElement application's is
//    ignored; the accessory policy is LSUIElement's. So only a regular
//    helper's mode 2 hides the Dock;
//  agent: an accessory from the start, whether or not the embedded
//    Info.plist's LSUIElement is read;
//  none: whatever the system gives an executable with no policy set.
enum class Activation { agent, regularWhileHolding, none };
constexpr Activation kActivation = Activation::PALISADE_ACTIVATION;

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
  if (kActivation != Activation::none)
    [NSApp setActivationPolicy:NSApplicationActivationPolicyAccessory];
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
  // Engage sets a hiding mode before taking the front and release restores
  // the normal one last, so the policy brackets the whole hold: regular
  // before the mode is set and the helper made front, an accessory again
  // only once the front is given back and the Dock shown.
  bool holding = mode != kUIModeNormal;
  if (kActivation == Activation::regularWhileHolding && holding)
    [NSApp setActivationPolicy:NSApplicationActivationPolicyRegular];
  // Nothing to do on failure: the status is not reported.
  SetSystemUIMode(mode, options);
  if (kActivation == Activation::regularWhileHolding && !holding)
    [NSApp setActivationPolicy:NSApplicationActivationPolicyAccessory];
}

void hideApplication() { [NSApp hide:nil]; }
