// The scenes of the demo's session. Each drives the client or the simulated
// window server, waits for what the helper must do, puts it on the
// timeline, and fails the demo when the helper or the client does otherwise.
// Session's thread only.
#pragma once

#include <sys/types.h>

#include <string>

#include "session.h"

namespace demo {

/// The trace line of the helper taking the front for itself.
std::string heldLine();

/// Whether the Dock is hidden now, as the running helper's trace last said;
/// shown if it has said nothing yet.
bool dockHidden();

/// Waits up to `timeout` seconds for the Dock to be `hidden` or shown;
/// whether it is.
bool dockBecomes(bool hidden, double timeout);

/// What a release did, from its trace lines [from, to).
std::string describeRelease(size_t from, size_t to);

/// Sets the simulated window server: Mail and Notes running, Mail's window
/// 12 on screen. Returns when the helper has taken it, with its time.
double setScene();

/// Engages; returns the time the helper held the front. `what` opens the
/// timeline's line.
double engage(const char* what);

/// Another process takes the front, as a click on it would.
TraceLine takeFront(pid_t thief);

/// Another process takes the front while holding; returns the milliseconds
/// until the helper had it back.
double stealWhileHolding(pid_t thief);

/// Yields a hold that began at `held`: the Dock shows at once, the helper
/// an accessory again, and a steal then stands. Returns the seconds held.
double yieldAndLetGo(double held);

/// Releases and waits for the Dock to show.
void release();

/// The helper is killed mid-hold; the client restarts it and engages the
/// new one. Returns the seconds from the kill to the front held again.
double killMidHold();

/// The parent's main thread stalls while holding; the hold is lost and
/// taken again once the thread runs.
struct Stall {
  double seconds;         // how long the main thread stalled
  double releasedAfter;   // s from the stall's start to the helper's release
  double sinceKeepAlive;  // s from the last keepAlive to that release
  long lostAfterMs;       // HOLD_LOST's detail
  double heldAgain;       // when the new hold took the front
  double heldAgainMs;     // from the main thread's return to that
};
Stall stallMainThread();

/// Closes the client while holding; checks that no helper or child is left.
void finish();

}  // namespace demo
