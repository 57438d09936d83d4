#include "tools/doctor/observe.h"

#import <AppKit/AppKit.h>
#include <CoreGraphics/CoreGraphics.h>

#include "tools/doctor/dock_windows.h"
#include "windowserver/front_process.h"

bool startObserving() {
  // Asked before connecting: without a session there is nothing to connect to.
  CFDictionaryRef session = CGSessionCopyCurrentDictionary();
  if (!session)
    return false;
  CFRelease(session);
  // An executable with no Info.plist is a prohibited application: it never
  // becomes front itself, so it cannot disturb what it watches.
  [NSApplication sharedApplication];
  [NSApp finishLaunching];
  return true;
}

void takeEvents(double seconds) {
  NSDate* until = [NSDate dateWithTimeIntervalSinceNow:seconds];
  for (;;) {
    @autoreleasepool {
      NSEvent* event = [NSApp nextEventMatchingMask:NSEventMaskAny
                                          untilDate:until
                                             inMode:NSDefaultRunLoopMode
                                            dequeue:YES];
      if (!event)
        return;  // the time is up
      [NSApp sendEvent:event];
    }
  }
}

FrontReading readFront() {
  ProcessSerial psn{};
  if (!frontProcess(&psn)) {
    FrontCall query = frontCalls()[0];
    return {0, query.bound ? "the window server named no front process"
                           : "the front-process query could not be bound"};
  }
  pid_t pid = 0;
  if (pidForProcess(&psn, &pid) != 0)
    return {0, "the front process has no pid"};
  return {pid, nullptr};
}

uint64_t presentationOptions() { return uint64_t(NSApp.currentSystemPresentationOptions); }

const char* dockState(uint64_t options) {
  if (options & NSApplicationPresentationHideDock)
    return "hidden";
  if (options & NSApplicationPresentationAutoHideDock)
    return "autohide";
  return "shown";
}

std::string describeProcess(pid_t pid) {
  std::string text = std::to_string(pid);
  @autoreleasepool {
    NSRunningApplication* app = [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
    // Held while its UTF-8 is read: the bytes live only as long as the string.
    NSString* localized = app.localizedName;
    const char* name = localized.UTF8String;
    if (name && *name)
      text += std::string(" ") + name;
  }
  return text;
}

const char* activationPolicy(pid_t pid) {
  @autoreleasepool {
    NSRunningApplication* app = [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
    if (!app)
      return "not an application";
    switch (app.activationPolicy) {
      case NSApplicationActivationPolicyRegular:
        return "regular";
      case NSApplicationActivationPolicyAccessory:
        return "accessory";
      case NSApplicationActivationPolicyProhibited:
        return "prohibited";
    }
    return "unknown";
  }
}

const char* ownsMenuBar(pid_t pid) {
  @autoreleasepool {
    NSRunningApplication* app = [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
    if (!app)
      return "not an application";
    return app.ownsMenuBar ? "yes" : "no";
  }
}

std::vector<DockWindow> dockWindows() {
  // Every window, off screen too: a hidden Dock may stay listed.
  CFArrayRef list = CGWindowListCopyWindowInfo(kCGWindowListOptionAll, kCGNullWindowID);
  std::vector<DockWindow> found = dockWindowsIn(list);
  if (list)
    CFRelease(list);
  return found;
}

DockSeen dockSeenNow(const std::vector<DockWindow>& windows) {
  // The main display: where the Dock is unless a person moved it, and the
  // only display on a runner.
  CGRect display = CGDisplayBounds(CGMainDisplayID());
  return dockSeen(windows, int(CGWindowLevelForKey(kCGDockWindowLevelKey)),
                  {display.origin.x, display.origin.y, display.size.width, display.size.height});
}
