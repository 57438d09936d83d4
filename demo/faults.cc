// The scene where something goes wrong mid-hold: the helper is killed.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <optional>

#include "scenes.h"

namespace demo {

namespace {

constexpr double kRestartDeadline = 5.0;  // the client restarts at once; this is a loaded machine

std::string describeStatus(long status) {
  int s = int(status);
  if (WIFSIGNALED(s))
    return "killed by signal " + std::to_string(WTERMSIG(s));
  if (WIFEXITED(s))
    return "exited with status " + std::to_string(WEXITSTATUS(s));
  return "wait status " + std::to_string(s);
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
  double took = held->t - killed;
  say(held->t, "new helper holds the front again, Dock hidden: %.1f ms after the kill", took * 1000);
  if (palisade_helper_pid(session.client) != fresh)
    fail("the client names helper %d, its event %d", palisade_helper_pid(session.client), fresh);
  setScene();  // the new helper's simulated window server starts empty
  return took;
}

}  // namespace demo
