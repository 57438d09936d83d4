// The scenes of an ordinary session: the front held, yielded, released, and
// the client closed.
#include "scenes.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace demo {

namespace {

constexpr double kAnswerDeadline = 1.0;  // a steal is answered within ms
constexpr double kCloseTimeout = 3.0;    // the helper releases and exits within ms of end of input

}  // namespace

std::string heldLine() { return "setFront " + std::to_string(session.ownPID) + " 0 0x400 -> 0"; }

bool dockHidden() {
  for (size_t i = session.lines.size(); i-- > 0;) {
    const std::string& event = session.lines[i].event;
    if (event.starts_with("dock ") || event.starts_with("start "))
      return event.starts_with("dock hidden ");  // a new helper starts with the Dock shown
  }
  return false;
}

bool dockBecomes(bool hidden, double timeout) {
  for (double deadline = now() + timeout; dockHidden() != hidden && now() < deadline;)
    idle(0.01);
  return dockHidden() == hidden;
}

std::string describeRelease(size_t from, size_t to) {
  pid_t front = 0;
  std::string what;
  for (size_t i = from; i < to; ++i) {
    const std::string& event = session.lines[i].event;
    int pid, status;
    unsigned window, mode;
    if (event.starts_with("getFront -> "))
      front = atoi(event.c_str() + 12);
    else if (sscanf(event.c_str(), "setFront %d %u 0x%x -> %d", &pid, &window, &mode, &status) == 4 &&
             mode == 0x200)
      what = std::string(nameOf(pid)) + (status ? " could not be brought back" : " brought back") +
             (window ? " (window " + std::to_string(window) + ")" : "");
    else if (event == "hide")
      what += what.empty() ? "helper hidden" : ", helper hidden";
  }
  if (what.empty() && front != session.ownPID)
    what = std::string(nameOf(front)) + " already in front, left there";
  return what.empty() ? "nothing to give back" : what;
}

double setScene() {
  control("live " + std::to_string(kMail) + " " + std::to_string(kNotes));
  control("windows " + std::to_string(kMail) + ",12,0,1,800,600");
  std::optional<TraceLine> taken = waitFor("ctl windows", 2);
  if (!taken)
    fail("the helper did not take the window-server set-up");
  return taken->t;
}

double engage(const char* what) {
  session.engagedAt = session.lines.size();
  check(palisade_engage(session.client), "engage");
  std::optional<TraceLine> front = waitFor("getFront -> ", 2);
  if (!front || !waitFor("uiMode 2 0", 2))
    fail("%s: the helper did not set the UI mode that hides the Dock", what);
  std::optional<TraceLine> held = waitFor(heldLine(), 2);
  if (!held || !waitFor("windowList -> ", 2))
    fail("%s: the helper did not take the front", what);
  if (!dockBecomes(true, 2))
    fail("%s: the Dock shows with the helper in front", what);
  say(held->t, "%s: %s was in front; Dock hidden, helper in front (the client sends keepAlive every %.1f s)",
      what, nameOf(atoi(front->event.c_str() + 12)), kKeepAliveInterval);
  return held->t;
}

TraceLine takeFront(pid_t thief) {
  control("front " + std::to_string(thief));
  std::optional<TraceLine> took = waitFor("ctl front " + std::to_string(thief), 2);
  if (!took)
    fail("the helper did not take the control line 'front %d'", thief);
  return *took;
}

double stealWhileHolding(pid_t thief) {
  TraceLine took = takeFront(thief);
  std::optional<TraceLine> back = waitFor(heldLine(), kAnswerDeadline);
  if (!back && seenSince(session.engagedAt, "uiMode 0 0"))
    fail("the helper released on its own during the hold: no keepAlive reached it");
  if (!back)
    fail("%s took the front and the helper did not take it back within %.0f s", nameOf(thief),
         kAnswerDeadline);
  double ms = (back->t - took.t) * 1000;
  say(took.t, "another app (%s) took the front  → helper back in front after %.1f ms", nameOf(thief), ms);
  return ms;
}

double yieldAndLetGo(double held) {
  size_t yielded = session.lines.size();
  check(palisade_yield(session.client), "yield");
  std::optional<TraceLine> revoked = waitFor("revoke " + std::to_string(session.ownPID), 2);
  if (!revoked)
    fail("yield: the helper did not revoke its front permission");
  if (seenSince(session.engagedAt, "uiMode 0"))
    fail("the helper released on its own while the client was engaged");
  // An accessory again: its icon must not come into the Dock, which shows
  // now, since an accessory's UI mode does not count.
  if (!waitFor("policy " + std::to_string(session.ownPID) + " accessory", 2) || !dockBecomes(false, 2))
    fail("yield: the helper is still regular, or the Dock still hidden");
  double heldFor = revoked->t - held;
  say(revoked->t, "yield after %.1f s held: helper stops taking the front back, permission revoked, an "
      "accessory again; Dock shown from here on, though it is still in front", heldFor);
  idle(0.3);
  TraceLine took = takeFront(kNotes);
  std::optional<TraceLine> shown = waitFor("dock shown " + std::to_string(kNotes), 2);
  idle(kAnswerDeadline);
  if (seenSince(yielded, heldLine()))
    fail("the helper took the front back after yield");
  if (!shown || dockHidden())
    fail("yield: the Dock stayed hidden with Notes in front");
  if (seenSince(yielded, "uiMode"))
    fail("yield: the helper changed the UI mode");
  say(took.t, "another app (Notes) took the front  → left there: the helper has yielded; Dock shown, "
      "though the helper's UI mode is still 2");
  return heldFor;
}

void release() {
  size_t from = session.seen;
  check(palisade_release(session.client), "release");
  std::optional<TraceLine> restored = waitFor("uiMode 0 0", 2);
  if (!restored)
    fail("release: the helper did not restore the UI mode");
  if (!dockBecomes(false, 2))
    fail("release: the Dock is still hidden");
  say(restored->t, "release: %s; Dock shown", describeRelease(from, session.seen).c_str());
}

void finish() {
  size_t from = session.seen;
  pid_t last = session.ownPID;
  double closing = now();
  check(palisade_close(session.client, kCloseTimeout), "close");
  session.client = nullptr;
  double closed = now();
  say(closing, "parent closes the client while holding");
  // Nothing else holds the sim's pipes now: the trace must reach its end.
  close(session.simEnds[0]);
  close(session.simEnds[1]);
  close(session.control);
  for (;;) {
    pollfd trace = {session.trace, POLLIN, 0};
    if (poll(&trace, 1, int(kCloseTimeout * 1000)) == 0)
      fail("the trace stayed open after close: a helper is still running");
    if (!readTrace())
      break;
  }
  std::optional<TraceLine> shown = waitFor("uiMode 0 0", 0);
  if (!shown || dockHidden())
    fail("close: the helper did not release before it exited");
  say(shown->t, "release: %s; Dock shown", describeRelease(from, session.seen).c_str());
  int status;
  if (waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD)
    fail("a child of the demo is left after close, running or a zombie");
  if (kill(last, 0) == 0 || errno != ESRCH)
    fail("helper %d is still there after close", last);
  say(closed, "close returned: no helper and no child left (its stdout/stderr went to /dev/null, unseen here)");
}

}  // namespace demo
