// The scenes where something goes wrong mid-hold: the helper is killed, or
// the parent's own main thread stops running.
#include <dispatch/dispatch.h>
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <cstring>
#include <optional>

#include "scenes.h"

namespace demo {

namespace {

constexpr double kRestartDeadline = 5.0;  // the client restarts at once; this is a loaded machine
constexpr int kStallSeconds = 4;          // past the silence limit, short of the demo's patience
constexpr double kStallDeadline = kStallSeconds + 5.0;  // generous: a loaded machine
// The last keepAlive went out at most one interval, plus the main-queue
// timer's leeway (50 ms), before the stall began; the hold lasts the
// silence limit after it.
constexpr double kEarliestRelease = kSilenceLimit - kKeepAliveInterval - 0.05;

std::string describeStatus(long status) {
  int s = int(status);
  if (WIFSIGNALED(s))
    return "killed by signal " + std::to_string(WTERMSIG(s));
  if (WIFEXITED(s))
    return "exited with status " + std::to_string(WEXITSTATUS(s));
  return "wait status " + std::to_string(s);
}

// On the main queue: the parent's main thread hangs, as in a long
// synchronous load or a deadlock, and says when it starts and ends.
void hang(void*) {
  notify(kMainThreadStalls, 0);
  timespec left = {kStallSeconds, 0};
  while (nanosleep(&left, &left) != 0) {
  }
  notify(kMainThreadResumes, 0);
}

}  // namespace

double killMidHold() {
  pid_t old = palisade_helper_pid(session.client);
  if (old != session.ownPID)
    fail("the client names helper %d, the trace %d", old, session.ownPID);
  size_t from = session.lines.size();
  double killed = now();
  if (kill(old, SIGKILL) != 0)
    fail("kill %d: %s", old, strerror(errno));
  say(killed, "the helper (pid %d) is killed with SIGKILL while holding the front", old);

  std::optional<Event> exited = waitForEvent(PALISADE_EVENT_HELPER_EXITED, kRestartDeadline);
  if (!exited)
    fail("the client reported no exit within %.0f s of the kill", kRestartDeadline);
  if (!WIFSIGNALED(int(exited->detail)) || WTERMSIG(int(exited->detail)) != SIGKILL)
    fail("the client reported the killed helper as %s", describeStatus(exited->detail).c_str());
  say(exited->t, "client: helper exited (%s)", describeStatus(exited->detail).c_str());
  if (kill(old, 0) == 0 || errno != ESRCH)
    fail("the killed helper %d was not reaped", old);

  std::optional<Event> restarted = waitForEvent(PALISADE_EVENT_HELPER_RESTARTED, kRestartDeadline);
  if (!restarted)
    fail("the client did not restart the helper within %.0f s", kRestartDeadline);
  pid_t fresh = pid_t(restarted->detail);
  if (fresh == old || fresh <= 0)
    fail("the client reported the restarted helper as pid %ld", restarted->detail);
  say(restarted->t, "client: helper restarted (pid %d)", fresh);

  session.seen = from;
  if (!waitFor("start " + std::to_string(fresh), kRestartDeadline))
    fail("the restarted helper %d wrote no start line", fresh);
  session.ownPID = fresh;
  std::optional<TraceLine> held = waitFor(heldLine(), kRestartDeadline);
  if (!held || !seenSince(from, "uiMode 2 0"))
    fail("the client did not engage the restarted helper");
  if (!dockBecomes(true, kRestartDeadline))
    fail("the restarted helper holds the front, and the Dock shows");
  double took = held->t - killed;
  say(held->t, "new helper holds the front again, Dock hidden: %.1f ms after the kill", took * 1000);
  if (palisade_helper_pid(session.client) != fresh)
    fail("the client names helper %d, its event %d", palisade_helper_pid(session.client), fresh);
  setScene();  // the new helper's simulated window server starts empty
  return took;
}

Stall stallMainThread() {
  size_t from = session.seen;
  dispatch_async_f(dispatch_get_main_queue(), nullptr, hang);
  std::optional<Event> began = waitForEvent(kMainThreadStalls, kStallDeadline);
  if (!began)
    fail("the main queue ran nothing for %.0f s: the main thread does not drain it", kStallDeadline);
  say(began->t, "the parent's main thread stalls for %d s while holding: its main queue runs nothing", kStallSeconds);

  // With no keepAlive the helper gives everything back on its own, and the
  // client, seeing its silence, reports the hold lost.
  std::optional<TraceLine> shown = waitFor("uiMode 0 0", kStallDeadline);
  if (!shown)
    fail("the hold did not end during a %d s stall of the main thread", kStallSeconds);
  if (!dockBecomes(false, 2))
    fail("the hold ended during the stall, and the Dock is still hidden");
  Stall stall;
  stall.releasedAfter = shown->t - began->t;
  if (stall.releasedAfter < kEarliestRelease)
    fail("the hold ended %.2f s into the stall: keepAlives had stopped before it", stall.releasedAfter);
  std::optional<Event> lost = waitForEvent(PALISADE_EVENT_HOLD_LOST, kStallDeadline);
  if (!lost)
    fail("the client did not report the hold lost");
  if (lost->detail < long(kSilenceLimit * 1000))
    fail("the client reported the hold lost after only %ld ms without a keepAlive", lost->detail);
  if (palisade_client_state(session.client) != PALISADE_STATE_IDLE)
    fail("the client is not idle after the hold was lost");
  stall.lostAfterMs = lost->detail;
  double lastKeepAlive = lost->t - double(lost->detail) / 1000;
  stall.sinceKeepAlive = shown->t - lastKeepAlive;

  std::string released = describeRelease(from, session.seen);
  auto sayReleased = [&] {
    say(shown->t, "the hold ends %.2f s into the stall, %.2f s after the last keepAlive: %s; Dock shown",
        stall.releasedAfter, stall.sinceKeepAlive, released.c_str());
  };
  auto sayLost = [&] {
    say(lost->t, "client: hold lost, %ld ms since its last keepAlive (at +%.3f s); state idle", lost->detail,
        lastKeepAlive - session.t0);
  };
  // In the order they happened: the client may see the silence first.
  if (lost->t < shown->t)
    sayLost();
  sayReleased();
  if (lost->t >= shown->t)
    sayLost();

  std::optional<Event> resumed = waitForEvent(kMainThreadResumes, kStallDeadline);
  if (!resumed)
    fail("the main thread did not come back from its stall");
  if (shown->t > resumed->t)
    fail("the hold ended only after the main thread ran again");
  if (palisade_client_state(session.client) != PALISADE_STATE_IDLE)
    fail("the client left idle by itself once the main thread ran again");
  stall.seconds = resumed->t - began->t;
  say(resumed->t, "the main thread runs again, %.1f s after the stall began", stall.seconds);
  stall.heldAgain = engage("engage again");
  stall.heldAgainMs = (stall.heldAgain - resumed->t) * 1000;
  return stall;
}

}  // namespace demo
