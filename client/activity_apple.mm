// Apple platforms: the application's own process activity while engaged,
// declared as the helper declares its own: user-initiated with idle system
// sleep still allowed, and latency-critical.
#if defined(__APPLE__)
#import <Foundation/Foundation.h>

#include "activity.h"

namespace palisade_client_internal {

void* beginAppActivity() {
  @autoreleasepool {
    id<NSObject> activity = [[NSProcessInfo processInfo]
        beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep | NSActivityLatencyCritical
                          reason:@"Keeps the Dock hidden while the application holds the front"];
    // CFBridgingRetain and CFBridgingRelease hold the token the same way
    // with or without ARC, whichever the embedding build compiles us with.
    return const_cast<void*>(CFBridgingRetain(activity));
  }
}

void endAppActivity(void* token) {
  if (!token)
    return;
  @autoreleasepool {
    id<NSObject> activity = CFBridgingRelease(token);
    [[NSProcessInfo processInfo] endActivity:activity];
  }
}

}  // namespace palisade_client_internal
#endif
