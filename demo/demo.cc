// palisade-demo: drives the simulated helper through the session a parent
// application goes through, and prints a timeline read from its trace.
//
// How a parent embeds the helper:
//  - Start it with a pipe on its standard input and write one word per line.
//    Nothing ever comes back: it writes to neither stdout nor stderr, and it
//    always exits 0.
//  - "engage" hides the Dock and keeps the helper in front. While engaged,
//    send "keepAlive" from a repeating timer well under 3 s (0.5 s here):
//    after 3 s without one the helper takes the parent for hung and releases
//    on its own.
//  - "yield" stops taking the front back (to let something else come
//    forward); the Dock stays hidden. "release" gives the front back and
//    shows the Dock. The keep-alive timer is needed only while holding.
//  - If the parent dies or closes the pipe, the helper releases and exits
//    by itself: a crashed parent never leaves the Dock hidden.
// palisade-sim is the same helper against a simulated window server: this
// program also sets the scene on its descriptor 3 and reads its trace on 4.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

extern char** environ;

namespace {

// Pretend applications: made-up pids that name no real process.
constexpr pid_t kMail = 90001, kNotes = 90002;

constexpr double kKeepAliveInterval = 0.5;
constexpr double kAnswerDeadline = 1.0;   // a steal is answered within ms
constexpr double kSilenceDeadline = 6.0;  // release due 3 s after the last keepAlive
constexpr double kExitDeadline = 5.0;

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);  // the trace's clock
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct TraceLine {
  double t;
  std::string event;  // "setFront 1234 0 0x400 -> 0"
};

struct Helper {
  pid_t pid = -1;
  pid_t ownPID = -1;  // as its trace names itself
  int input = -1, control = -1, trace = -1, out = -1, err = -1;
  std::string partial, output;  // trace bytes not yet a line; stdout + stderr
  std::vector<TraceLine> lines;
  size_t seen = 0;  // lines already matched by waitFor
  // The parent's keep-alive timer, run from pump().
  bool keepingAlive = false;
  double nextKeepAlive = 0, lastKeepAlive = 0;
  int keepAlivesSent = 0;
};

Helper helper;
double t0;  // the helper's start line
std::vector<double> latencies;  // ms, steal to re-assertion

[[noreturn]] void fail(const char* format, ...) {
  fflush(stdout);
  fputs("palisade-demo: ", stderr);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  if (helper.pid > 0) {
    kill(helper.pid, SIGKILL);
    waitpid(helper.pid, nullptr, 0);
  }
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
  if (pid == helper.ownPID)
    return "the helper";
  snprintf(other, sizeof other, "pid %d", pid);
  return other;
}

// --- The helper process --------------------------------------------------------

void start(const char* path) {
  int in[2], out[2], err[2], ctl[2], tr[2];
  for (int* p : {in, out, err, ctl, tr})
    if (pipe2(p, O_CLOEXEC) != 0)
      fail("pipe: %s", strerror(errno));
  // dup2 clears close-on-exec on the copies, so the helper gets exactly these.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_adddup2(&actions, ctl[0], 3);
  posix_spawn_file_actions_adddup2(&actions, tr[1], 4);
  char* argv[] = {const_cast<char*>(path), nullptr};
  int error = posix_spawn(&helper.pid, path, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0)
    fail("cannot start %s: %s", path, strerror(error));
  for (int fd : {in[0], out[1], err[1], ctl[0], tr[1]})
    close(fd);
  helper.input = in[1], helper.out = out[0], helper.err = err[0];
  helper.control = ctl[1], helper.trace = tr[0];
}

void send(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      fail("writing to the helper: %s", strerror(errno));
    done += size_t(n);
  }
}

void command(const char* word) { send(helper.input, std::string(word) + "\n"); }
void control(const std::string& line) { send(helper.control, line + "\n"); }

void startKeepAlive() {
  helper.keepingAlive = true;
  helper.nextKeepAlive = now() + kKeepAliveInterval;
}

void stopKeepAlive() { helper.keepingAlive = false; }

// Reads what one descriptor has; closes it at end of file.
void take(int& fd, std::string& into) {
  char bytes[65536];
  ssize_t n = read(fd, bytes, sizeof bytes);
  if (n < 0 && errno == EINTR)
    return;
  if (n <= 0) {
    close(fd);
    fd = -1;
    return;
  }
  into.append(bytes, size_t(n));
}

// Waits until `deadline`, the next keep-alive, or output from the helper,
// whichever comes first, and handles what came.
void pump(double deadline) {
  double wake = helper.keepingAlive ? std::min(deadline, helper.nextKeepAlive) : deadline;
  pollfd fds[3] = {{helper.trace, POLLIN, 0}, {helper.out, POLLIN, 0}, {helper.err, POLLIN, 0}};
  poll(fds, 3, int(std::ceil(std::max(0.0, wake - now()) * 1000)));
  if (fds[0].revents) {
    take(helper.trace, helper.partial);
    for (size_t lf; (lf = helper.partial.find('\n')) != std::string::npos;) {
      std::string line = helper.partial.substr(0, lf);
      helper.partial.erase(0, lf + 1);
      size_t space = line.find(' ');
      helper.lines.push_back({atof(line.c_str()), space == std::string::npos ? "" : line.substr(space + 1)});
    }
  }
  if (fds[1].revents)
    take(helper.out, helper.output);
  if (fds[2].revents)
    take(helper.err, helper.output);
  if (helper.keepingAlive && now() >= helper.nextKeepAlive) {
    helper.lastKeepAlive = now();  // before the write: the helper sees it later
    command("keepAlive");
    helper.keepAlivesSent++;
    helper.nextKeepAlive = helper.lastKeepAlive + kKeepAliveInterval;
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
    for (; helper.seen < helper.lines.size(); ++helper.seen) {
      if (helper.lines[helper.seen].event.starts_with(prefix))
        return helper.lines[helper.seen++];
    }
    if (now() >= deadline || helper.trace < 0)
      return std::nullopt;
    pump(deadline);
  }
}

// Whether any trace line from index `from` on starts with `prefix`.
bool seenSince(size_t from, const std::string& prefix) {
  for (size_t i = from; i < helper.lines.size(); ++i)
    if (helper.lines[i].event.starts_with(prefix))
      return true;
  return false;
}

// --- The session -----------------------------------------------------------------

std::string heldLine() { return "setFront " + std::to_string(helper.ownPID) + " 0 0x400 -> 0"; }

void engage() {
  command("engage");
  startKeepAlive();
  std::optional<TraceLine> front = waitFor("getFront -> ", 2);
  if (!front || !waitFor("uiMode 2 0", 2))
    fail("engage: the helper did not hide the Dock");
  std::optional<TraceLine> held = waitFor(heldLine(), 2);
  if (!held || !waitFor("windowList -> ", 2))
    fail("engage: the helper did not take the front");
  say(held->t, "engage: %s was in front; Dock hidden, helper in front (keepAlive every %.1f s)",
      nameOf(atoi(front->event.c_str() + 12)), kKeepAliveInterval);
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
    const std::string& event = helper.lines[i].event;
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
  if (what.empty() && front != helper.ownPID)
    what = std::string(nameOf(front)) + " already in front, left there";
  return what.empty() ? "nothing to give back" : what;
}

void release() {
  size_t from = helper.seen;
  command("release");
  std::optional<TraceLine> shown = waitFor("uiMode 0 0", 2);
  if (!shown)
    fail("release: the helper did not show the Dock again");
  say(shown->t, "release: %s; Dock shown", describeRelease(from, helper.seen).c_str());
}

// The parent stops sending keepAlive; the helper must release by itself.
double hang() {
  stopKeepAlive();
  say(helper.lastKeepAlive, "parent hangs: last keepAlive sent");
  size_t from = helper.seen;
  idle(1.0);
  control("windows " + std::to_string(kMail) + ",14,0,1,640,480 " + std::to_string(kMail) + ",12,0,1,800,600");
  if (std::optional<TraceLine> opened = waitFor("ctl windows", 2))
    say(opened->t, "Mail opens window 14 behind the helper");
  helper.seen = from;  // on a loaded machine the release may come first
  std::optional<TraceLine> shown = waitFor("uiMode 0 0", kSilenceDeadline - (now() - helper.lastKeepAlive));
  if (!shown)
    fail("the helper did not release within %.0f s of the last keepAlive", kSilenceDeadline);
  double silence = shown->t - helper.lastKeepAlive;
  // The helper counts from when it read the keepAlive, which is later still.
  if (silence < 2.99)
    fail("the helper released %.2f s after the last keepAlive, before 3 s of silence", silence);
  say(shown->t, "silence release after %.2f s: %s; Dock shown", silence,
      describeRelease(from, helper.seen).c_str());
  return silence;
}

// Closes the pipes, reaps the helper and checks how it went.
void finish() {
  close(helper.input);
  close(helper.control);
  double closed = now();
  say(closed, "parent closes the pipe (end of input)");
  int status;
  while (waitpid(helper.pid, &status, WNOHANG) != helper.pid) {
    if (now() - closed > kExitDeadline)
      fail("the helper did not exit within %.0f s of end of input", kExitDeadline);
    pump(now() + 0.01);
  }
  double exited = now();
  helper.pid = -1;
  for (double deadline = now() + 2; helper.trace >= 0 || helper.out >= 0 || helper.err >= 0;) {
    if (now() > deadline)
      fail("the helper's pipes stayed open after it exited");
    pump(deadline);
  }
  if (!helper.output.empty())
    fail("the helper wrote %zu bytes to stdout/stderr, starting: %s", helper.output.size(),
         helper.output.substr(0, helper.output.find('\n')).substr(0, 120).c_str());
  if (!WIFEXITED(status))
    fail("the helper was killed by signal %d", WTERMSIG(status));
  if (WEXITSTATUS(status) != 0)
    fail("the helper exited with status %d", WEXITSTATUS(status));
  say(exited, "helper exited, status 0, nothing written to stdout/stderr");
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
  signal(SIGPIPE, SIG_IGN);  // a helper that dies shows up as a failed write
  std::string path = findHelper(argc, argv);
  start(path.c_str());
  std::optional<TraceLine> started = waitFor("start ", 5);
  if (!started)
    fail("the helper wrote no start line within 5 s");
  t0 = started->t;
  helper.ownPID = atoi(started->event.c_str() + 6);
  printf("palisade-demo: %s\n\n", path.c_str());
  say(t0, "helper started (pid %d)", helper.ownPID);

  // The window server as the helper will find it: Mail in front, one window.
  control("live " + std::to_string(kMail) + " " + std::to_string(kNotes));
  control("front " + std::to_string(kMail));
  control("windows " + std::to_string(kMail) + ",12,0,1,800,600");
  std::optional<TraceLine> scene = waitFor("ctl windows", 2);
  if (!scene)
    fail("the helper did not take the window-server set-up");
  say(scene->t, "Mail and Notes running, Mail in front with window 12");
  idle(0.1);

  // Hold the front while other apps take it at irregular moments.
  engage();
  const pid_t thieves[] = {kNotes, kMail, kNotes, kNotes, kMail, kNotes};
  const double gaps[] = {0.35, 0.62, 0.18, 0.91, 0.47, 0.73};
  for (int i = 0; i < 6; ++i) {
    idle(gaps[i]);
    stealWhileHolding(thieves[i]);
  }
  idle(0.4);

  // Yield lets the next steal stand; release then shows the Dock.
  size_t yielded = helper.lines.size();
  command("yield");
  stopKeepAlive();
  std::optional<TraceLine> revoked = waitFor("revoke " + std::to_string(helper.ownPID), 2);
  if (!revoked)
    fail("yield: the helper did not revoke its front permission");
  say(revoked->t, "yield: helper stops taking the front back, permission revoked, Dock still hidden");
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

  // Engage again, then stop the keep-alives as a hung parent would.
  std::optional<TraceLine> clicked = takeFront(kMail);
  say(clicked->t, "the user switches back to Mail");
  idle(0.1);
  engage();
  idle(0.6);
  stealWhileHolding(kNotes);
  idle(0.6);
  double silence = hang();
  idle(0.3);

  // End of input: the helper exits.
  finish();

  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  size_t mid = sorted.size() / 2;
  double median = sorted.size() % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
  printf("\nsummary\n");
  printf("  re-assertions     %zu, median %.1f ms, worst %.1f ms\n", sorted.size(), median, sorted.back());
  printf("  keepAlives sent   %d, every %.1f s while holding\n", helper.keepAlivesSent, kKeepAliveInterval);
  printf("  silence release   %.2f s after the last keepAlive\n", silence);
  printf("  exit status       0, no output\n");
  return 0;
}
