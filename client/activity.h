// The process activity that keeps App Nap away while engaged: the helper is
// then front and the application may have no visible window, so macOS could
// otherwise throttle the very timers that send the keep-alives. Apple
// platforms only (activity_apple.mm); elsewhere there is nothing to hold.
#pragma once

namespace palisade_client_internal {

#if defined(__APPLE__)
// Begins the activity; returns an opaque token, never released but by
// endAppActivity. Any thread.
void* beginAppActivity();
void endAppActivity(void* token);
#else
inline void* beginAppActivity() { return nullptr; }
inline void endAppActivity(void*) {}
#endif

}  // namespace palisade_client_internal
