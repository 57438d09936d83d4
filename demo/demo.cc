// palisade-demo: a parent application's session with the simulated helper,
// driven through the client library, shown as a timeline read from the
// helper's trace. It checks the helper's behaviour as it goes.
//
// How a parent embeds the helper (palisade/client.h, linked with
// libpalisade-client):
//
//   palisade_options options = {};
//   options.helper_path = helperPath;      // e.g. Contents/Helpers/palisade
//   options.on_event = onEvent;            // optional: exits and restarts
//   palisade_client* client;
//   if (palisade_open(&options, &client) != PALISADE_OK) { /* no helper */ }
//   palisade_engage(client);    // full screen: Dock hidden, helper in front
//   palisade_yield(client);     // let another app come forward; Dock hidden
//   palisade_release(client);   // front given back, Dock shown
//   palisade_close(client, 1.0);
//
// The client sends "keepAlive" while engaged, restarts a helper that dies
// and brings it back to the state last asked for, never blocks the caller
// and never raises SIGPIPE; if the parent itself dies, the helper releases
// and exits on its own. palisade-sim is the same helper against a simulated
// window server: this program sets the scene on its descriptor 3 and reads
// its trace on 4, both handed over by the client (to a restarted helper too).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "palisade/client.h"

namespace {

// Pretend applications: made-up pids that name no real process.
constexpr pid_t kMail = 90001, kNotes = 90002;

constexpr int kControlFd = 3, kTraceFd = 4;  // where palisade-sim looks
constexpr double kKeepAliveInterval = 0.5;   // the client's default
constexpr double kSilenceLimit = 3.0;        // the helper releases after this without keepAlive
constexpr double kAnswerDeadline = 1.0;      // a steal is answered within ms
constexpr double kRestartDeadline = 5.0;     // the client restarts at once; this is a loaded machine
constexpr double kCloseTimeout = 3.0;        // the helper releases and exits within ms of end of input

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);  // the trace's clock
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct TraceLine {
  double t;
  std::string event;  // "setFront 1234 0 0x400 -> 0"
};

// What the client reported, stamped on arrival; written whole to a pipe.
struct Event {
  double t;
  palisade_event event;
  long detail;
};

struct Session {
  palisade_client* client = nullptr;
  pid_t ownPID = -1;  // the running helper, as its trace names itself
  int control = -1, trace = -1;          // our ends of the sim's pipes
  int eventsIn = -1, eventsOut = -1;     // from the client's thread to ours
  std::string partial;                   // trace bytes not yet a line
  std::vector<TraceLine> lines;
  size_t seen = 0;  // lines already matched by waitFor
  std::vector<Event> events;
};

Session session;
double t0;  // the first helper's start line
std::vector<double> latencies;  // ms, steal to re-assertion
size_t engagedAt;  // the first trace line of the current hold

[[noreturn]] void fail(const char* format, ...) {
  fflush(stdout);
  fputs("palisade-demo: ", stderr);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  if (session.client)
    palisade_close(session.client, 0);  // kills and reaps the helper
  exit(1);
}

// One line of the timeline, at trace time t.
void say(double t, const char* format, ...) {
  char stamp[32];
  snprintf(stamp, sizeof stamp, "+%.3f s", t - t0);
  printf("%9s  ", stamp);
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  putchar('\n');
  fflush(stdout);
}

const char* nameOf(pid_t pid) {
  static char other[32];
  if (pid == kMail)
    return "Mail";
  if (pid == kNotes)
    return "Notes";
  if (pid == session.ownPID)
    return "the helper";
  snprintf(other, sizeof other, "pid %d", pid);
  return other;
}

// --- The client and the sim's pipes ----------------------------------------------

// On the client's thread: hand the event to the main thread, which owns the
// timeline. An Event is far below PIPE_BUF, so each write is whole.
void onEvent(void*, palisade_event event, long detail) {
  Event e{now(), event, detail};
  ssize_t n;
  do
    n = write(session.eventsOut, &e, sizeof e);
  while (n < 0 && errno == EINTR);
}

// A pipe whose ends sit at 10 or above, close-on-exec, so that placing the
// sim's ends at 3 and 4 can never overwrite one of ours.
void highPipe(int ends[2]) {
  int p[2];
  if (pipe(p) != 0)
    fail("pipe: %s", strerror(errno));
  for (int i = 0; i < 2; ++i) {
    ends[i] = fcntl(p[i], F_DUPFD_CLOEXEC, 10);
    if (ends[i] < 0)
      fail("fcntl: %s", strerror(errno));
    close(p[i]);
  }
}

// Puts `fd` at `number`, inheritable: the client hands it to every helper.
void place(int fd, int number) {
  if (dup2(fd, number) != number)
    fail("dup2: %s", strerror(errno));
  close(fd);
}

void openClient(const char* path) {
  int control[2], trace[2], events[2];
  highPipe(control);
  highPipe(trace);
  highPipe(events);
  place(control[0], kControlFd);
  place(trace[1], kTraceFd);
  session.control = control[1], session.trace = trace[0];
  session.eventsIn = events[0], session.eventsOut = events[1];

  static const int inherited[] = {kControlFd, kTraceFd};
  palisade_options options = {};
  options.helper_path = path;
  options.inherit_fds = inherited;
  options.inherit_fd_count = 2;
  options.on_event = onEvent;
  palisade_status status = palisade_open(&options, &session.client);
  if (status != PALISADE_OK)
    fail("cannot start %s: %s", path, palisade_status_message(status));
}

void check(palisade_status status, const char* call) {
  if (status != PALISADE_OK)
    fail("%s: %s", call, palisade_status_message(status));
}

void control(const std::string& line) {
  std::string text = line + "\n";
  // Our own descriptor 3 keeps a reader on this pipe: a write never fails
  // for want of one, even while the helper is being restarted.
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(session.control, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      fail("writing a control line: %s", strerror(errno));
    done += size_t(n);
  }
}

// Reads what the trace pipe has; false at end of file.
bool readTrace() {
  char bytes[65536];
  ssize_t n = read(session.trace, bytes, sizeof bytes);
  if (n < 0 && errno == EINTR)
    return true;
  if (n <= 0)
    return false;
  session.partial.append(bytes, size_t(n));
  for (size_t lf; (lf = session.partial.find('\n')) != std::string::npos;) {
    std::string line = session.partial.substr(0, lf);
    session.partial.erase(0, lf + 1);
    size_t space = line.find(' ');
    session.lines.push_back({atof(line.c_str()), space == std::string::npos ? "" : line.substr(space + 1)});
  }
  return true;
}

// Waits until `deadline` or something from the helper or the client,
// whichever comes first, and takes what came.
void pump(double deadline) {
  pollfd fds[2] = {{session.trace, POLLIN, 0}, {session.eventsIn, POLLIN, 0}};
  poll(fds, 2, int(std::ceil(std::max(0.0, deadline - now()) * 1000)));
  if (fds[0].revents && !readTrace())
    fail("the trace ended while a helper should be running");
  if (fds[1].revents) {
    Event e;
    if (read(session.eventsIn, &e, sizeof e) == ssize_t(sizeof e))
      session.events.push_back(e);
  }
}

void idle(double seconds) {
  for (double deadline = now() + seconds; now() < deadline;)
    pump(deadline);
}

// The next trace line, after the last one matched, that starts with `prefix`.
std::optional<TraceLine> waitFor(const std::string& prefix, double timeout) {
  double deadline = now() + timeout;
  for (;;) {
    for (; session.seen < session.lines.size(); ++session.seen) {
      if (session.lines[session.seen].event.starts_with(prefix))
        return session.lines[session.seen++];
    }
    if (now() >= deadline)
      return std::nullopt;
    pump(deadline);
  }
}

// Whether any trace line from index `from` on starts with `prefix`.
bool seenSince(size_t from, const std::string& prefix) {
  for (size_t i = from; i < session.lines.size(); ++i)
    if (session.lines[i].event.starts_with(prefix))
      return true;
  return false;
}

// The first event of this kind not yet taken.
std::optional<Event> waitForEvent(palisade_event kind, double timeout) {
  double deadline = now() + timeout;
  for (;;) {
    auto found = std::find_if(session.events.begin(), session.events.end(),
                              [kind](const Event& e) { return e.event == kind; });
    if (found != session.events.end()) {
      Event e = *found;
      session.events.erase(found);
      return e;
    }
    if (now() >= deadline)
      return std::nullopt;
    pump(deadline);
  }
}

// --- The session -----------------------------------------------------------------

std::string heldLine() { return "setFront " + std::to_string(session.ownPID) + " 0 0x400 -> 0"; }

std::string describeStatus(long status) {
  int s = int(status);
  if (WIFSIGNALED(s))
    return "killed by signal " + std::to_string(WTERMSIG(s));
  if (WIFEXITED(s))
    return "exited with status " + std::to_string(WEXITSTATUS(s));
  return "wait status " + std::to_string(s);
}

// Sets the simulated window server: Mail and Notes running, Mail's window 12
// on screen. Returns when the helper has taken it.
double setScene() {
  control("live " + std::to_string(kMail) + " " + std::to_string(kNotes));
  control("windows " + std::to_string(kMail) + ",12,0,1,800,600");
  std::optional<TraceLine> taken = waitFor("ctl windows", 2);
  if (!taken)
    fail("the helper did not take the window-server set-up");
  return taken->t;
}

double engage() {
  engagedAt = session.lines.size();
  check(palisade_engage(session.client), "engage");
  std::optional<TraceLine> front = waitFor("getFront -> ", 2);
  if (!front || !waitFor("uiMode 2 0", 2))
    fail("engage: the helper did not hide the Dock");
  std::optional<TraceLine> held = waitFor(heldLine(), 2);
  if (!held || !waitFor("windowList -> ", 2))
    fail("engage: the helper did not take the front");
  say(held->t, "engage: %s was in front; Dock hidden, helper in front (the client sends keepAlive every %.1f s)",
      nameOf(atoi(front->event.c_str() + 12)), kKeepAliveInterval);
  return held->t;
}

// Another process takes the front, as a click on it would.
std::optional<TraceLine> takeFront(pid_t thief) {
  control("front " + std::to_string(thief));
  std::optional<TraceLine> took = waitFor("ctl front " + std::to_string(thief), 2);
  if (!took)
    fail("the helper did not take the control line 'front %d'", thief);
  return took;
}

void stealWhileHolding(pid_t thief) {
  std::optional<TraceLine> took = takeFront(thief);
  std::optional<TraceLine> back = waitFor(heldLine(), kAnswerDeadline);
  if (!back && seenSince(engagedAt, "uiMode 0 0"))
    fail("the helper released on its own during the hold: no keepAlive reached it");
  if (!back)
    fail("%s took the front and the helper did not take it back within %.0f s", nameOf(thief),
         kAnswerDeadline);
  latencies.push_back((back->t - took->t) * 1000);
  say(took->t, "another app (%s) took the front  → helper back in front after %.1f ms",
      nameOf(thief), latencies.back());
}

// What a release did, from its trace lines [from, to).
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

void release() {
  size_t from = session.seen;
  check(palisade_release(session.client), "release");
  std::optional<TraceLine> shown = waitFor("uiMode 0 0", 2);
  if (!shown)
    fail("release: the helper did not show the Dock again");
  say(shown->t, "release: %s; Dock shown", describeRelease(from, session.seen).c_str());
}

// The helper is killed mid-hold; the client restarts it and engages the new
// one. Returns the seconds from the kill to the front held again.
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

// Closes the client while holding: it releases and ends the helper's input.
void finish() {
  size_t from = session.seen;
  pid_t last = session.ownPID;
  double closing = now();
  check(palisade_close(session.client, kCloseTimeout), "close");
  session.client = nullptr;
  double closed = now();
  say(closing, "parent closes the client while holding");
  // Nothing else holds the sim's pipes now: the trace must reach its end.
  close(kControlFd);
  close(kTraceFd);
  close(session.control);
  for (;;) {
    pollfd trace = {session.trace, POLLIN, 0};
    if (poll(&trace, 1, int(kCloseTimeout * 1000)) == 0)
      fail("the trace stayed open after close: a helper is still running");
    if (!readTrace())
      break;
  }
  std::optional<TraceLine> shown = waitFor("uiMode 0 0", 0);
  if (!shown)
    fail("close: the helper did not release before it exited");
  say(shown->t, "release: %s; Dock shown", describeRelease(from, session.seen).c_str());
  int status;
  if (waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD)
    fail("a child of the demo is left after close, running or a zombie");
  if (kill(last, 0) == 0 || errno != ESRCH)
    fail("helper %d is still there after close", last);
  say(closed, "close returned: no helper and no child left (its stdout/stderr went to /dev/null, unseen here)");
}

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

}  // namespace

int main(int argc, char** argv) {
  // SIGPIPE stays at its default: the client must never raise it.
  std::string path = findHelper(argc, argv);
  openClient(path.c_str());
  std::optional<TraceLine> started = waitFor("start ", 5);
  if (!started)
    fail("the helper wrote no start line within 5 s");
  t0 = started->t;
  session.ownPID = atoi(started->event.c_str() + 6);
  printf("palisade-demo: %s\n\n", path.c_str());
  say(t0, "helper started by the client (pid %d)", session.ownPID);

  // The window server as the helper will find it: Mail in front, one window.
  double scene = setScene();
  takeFront(kMail);
  say(scene, "Mail and Notes running, Mail in front with window 12");
  idle(0.1);

  // Hold the front while other apps take it at irregular moments, for
  // longer than the helper's silence limit: the client's keep-alives carry it.
  double held = engage();
  const pid_t thieves[] = {kNotes, kMail, kNotes, kNotes, kMail, kNotes};
  const double gaps[] = {0.35, 0.62, 0.18, 0.91, 0.47, 0.73};
  for (int i = 0; i < 6; ++i) {
    idle(gaps[i]);
    stealWhileHolding(thieves[i]);
  }
  idle(std::max(0.4, held + kSilenceLimit + 0.5 - now()));

  // Yield lets the next steal stand; release then shows the Dock.
  size_t yielded = session.lines.size();
  check(palisade_yield(session.client), "yield");
  std::optional<TraceLine> revoked = waitFor("revoke " + std::to_string(session.ownPID), 2);
  if (!revoked)
    fail("yield: the helper did not revoke its front permission");
  if (seenSince(engagedAt, "uiMode 0"))
    fail("the helper released on its own while the client was engaged");
  double heldFor = revoked->t - held;
  say(revoked->t, "yield after %.1f s held: helper stops taking the front back, permission revoked, Dock still hidden",
      heldFor);
  idle(0.3);
  std::optional<TraceLine> took = takeFront(kNotes);
  idle(kAnswerDeadline);
  if (seenSince(yielded, heldLine()))
    fail("the helper took the front back after yield");
  if (seenSince(yielded, "uiMode"))
    fail("yield: the helper changed the UI mode");
  say(took->t, "another app (Notes) took the front  → left there: the helper has yielded");
  idle(0.3);
  release();
  idle(0.5);

  // Engage again; the helper dies mid-hold and the client brings it back.
  std::optional<TraceLine> clicked = takeFront(kMail);
  say(clicked->t, "the user switches back to Mail");
  idle(0.1);
  engage();
  idle(0.6);
  stealWhileHolding(kNotes);
  idle(0.6);
  double restart = killMidHold();
  idle(0.4);
  stealWhileHolding(kNotes);
  idle(0.5);

  finish();

  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  size_t mid = sorted.size() / 2;
  double median = sorted.size() % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
  printf("\nsummary\n");
  printf("  re-assertions     %zu, median %.1f ms, worst %.1f ms\n", sorted.size(), median, sorted.back());
  printf("  keepAlives        the client's, every %.1f s: held %.1f s with none from the demo\n",
         kKeepAliveInterval, heldFor);
  printf("  restart           front held again %.1f ms after SIGKILL\n", restart * 1000);
  printf("  close             Dock shown, no helper and no zombie left\n");
  return 0;
}
