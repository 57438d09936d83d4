// palisade-demo: a parent application's session with the simulated helper,
// driven through the client library, shown as a timeline read from the
// helper's trace. It checks the helper's behaviour as it goes.
//
// How a parent embeds the helper (palisade/client.h, linked with
// libpalisade-client):
//
//   palisade_options options = {};
//   options.helper_path = helperPath;      // e.g. Contents/Helpers/palisade
//   options.on_event = onEvent;            // optional: exits, restarts, a lost hold
//   palisade_client* client;
//   if (palisade_open(&options, &client) != PALISADE_OK) { /* no helper */ }
//   palisade_engage(client);    // full screen: Dock hidden, helper in front
//   palisade_yield(client);     // let another app come forward: the Dock shows from here on
//   palisade_release(client);   // front given back, Dock shown
//   palisade_close(client, 1.0);
//
// While engaged the client sends "keepAlive" every interval, but only when
// the application's main dispatch queue has run since the last one: the
// application must drain it, as an AppKit or UIKit run loop does (this
// program's main thread is in dispatch_main(); its session runs on a second
// thread). A main thread stuck for 3 s loses the hold: the helper gives the
// front and the Dock back, the client reports PALISADE_EVENT_HOLD_LOST and
// is idle; engage again once the thread runs. A parent with no main queue
// sets options.keep_alive_source: PALISADE_KEEP_ALIVE_CLIENT_THREAD (the
// client's thread sends them, and only the process's death ends the hold)
// or PALISADE_KEEP_ALIVE_MANUAL (palisade_keep_alive from its own loop).
//
// The client restarts a helper that dies and brings it back to the state
// last asked for, never blocks the caller and never raises SIGPIPE; if the
// parent itself dies, the helper releases and exits on its own.
// palisade-sim is the same helper against a simulated window server: this
// program sets the scene on its descriptor 3 and reads its trace on 4, pipe
// ends the client hands over at those numbers (inherit_fds and
// inherit_fd_targets), to a restarted helper too.
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "main_queue.h"
#include "scenes.h"
#include "session.h"

namespace demo {
namespace {

std::string findHelper(int argc, char** argv) {
  if (argc > 2)
    fail("usage: palisade-demo [path/to/palisade-sim]");
  if (argc == 2)
    return argv[1];
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0)
    fail("cannot read /proc/self/exe: %s", strerror(errno));
  std::string dir(self, size_t(n));
  dir.erase(dir.rfind('/'));
  // Installed side by side; in the build tree the helper is one folder up.
  for (const std::string& path : {dir + "/palisade-sim", dir + "/../palisade-sim"}) {
    char real[PATH_MAX];
    if (access(path.c_str(), X_OK) == 0 && realpath(path.c_str(), real))
      return real;
  }
  fail("no palisade-sim next to %s; give its path as the argument", dir.c_str());
}

// The parent's own logic, on a thread of its own while the main thread
// drains the main queue. Exits the process when done.
[[noreturn]] void runSession(const std::string& path) {
  openClient(path.c_str());
  std::optional<TraceLine> started = waitFor("start ", 5);
  if (!started)
    fail("the helper wrote no start line within 5 s");
  session.t0 = started->t;
  session.ownPID = atoi(started->event.c_str() + 6);
  printf("palisade-demo: %s\n\n", path.c_str());
  say(session.t0, "helper started by the client (pid %d)", session.ownPID);

  // The window server as the helper will find it: Mail in front, one window.
  double scene = setScene();
  takeFront(kMail);
  say(scene, "Mail and Notes running, Mail in front with window 12");
  idle(0.1);

  // Hold the front while other apps take it at irregular moments, for
  // longer than the helper's silence limit: the client's keep-alives carry it.
  std::vector<double> latencies;
  double held = engage("engage");
  const pid_t thieves[] = {kNotes, kMail, kNotes, kNotes, kMail, kNotes};
  const double gaps[] = {0.35, 0.62, 0.18, 0.91, 0.47, 0.73};
  for (int i = 0; i < 6; ++i) {
    idle(gaps[i]);
    latencies.push_back(stealWhileHolding(thieves[i]));
  }
  idle(std::max(0.4, held + kSilenceLimit + 0.5 - now()));

  // Yield lets the next steal stand, and the Dock shows from the yield on.
  // A person cannot switch back to the helper, which is an accessory: to
  // hold again, the parent releases, then engages.
  double heldFor = yieldAndLetGo(held);
  idle(0.3);
  release();
  idle(0.1);

  // Engage again; the main thread stalls mid-hold and the hold is lost,
  // then taken again, and kept past the silence limit once more.
  engage("engage");
  idle(0.6);
  latencies.push_back(stealWhileHolding(kNotes));
  idle(0.65);  // mid-way between two keep-alives: the release lands mid-way in its window
  Stall stall = stallMainThread();
  idle(0.6);
  latencies.push_back(stealWhileHolding(kNotes));
  idle(std::max(0.4, stall.heldAgain + kSilenceLimit + 0.5 - now()));
  latencies.push_back(stealWhileHolding(kMail));

  // The helper dies mid-hold and the client brings it back.
  idle(0.6);
  double restart = killMidHold();
  idle(0.4);
  latencies.push_back(stealWhileHolding(kNotes));
  idle(0.5);

  finish();

  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  size_t mid = sorted.size() / 2;
  double median = sorted.size() % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
  printf("\nsummary\n");
  printf("  re-assertions     %zu, median %.1f ms, worst %.1f ms\n", sorted.size(), median, sorted.back());
  printf("  keepAlives        the client's, every %.1f s while the main queue ran: held %.1f s with none from the demo\n",
         kKeepAliveInterval, heldFor);
  printf("  main-queue stall  %.0f s: released %.2f s in (%.2f s after the last keepAlive), hold lost reported at %ld ms, "
         "held again %.1f ms after the stall\n",
         stall.seconds, stall.releasedAfter, stall.sinceKeepAlive, stall.lostAfterMs, stall.heldAgainMs);
  printf("  restart           front held again %.1f ms after SIGKILL\n", restart * 1000);
  printf("  close             Dock shown, no helper and no zombie left\n");
  exit(0);
}

}  // namespace
}  // namespace demo

int main(int argc, char** argv) {
  // SIGPIPE stays at its default: the client must never raise it.
  std::string path = demo::findHelper(argc, argv);
  std::thread(demo::runSession, path).detach();
  // The main thread does what an application's run loop does: it drains the
  // main queue, whose running the client's keep-alives stand for.
  drainMainQueue();
}
