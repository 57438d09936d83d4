#include "session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace demo {

namespace {

// Where palisade-sim looks for its control lines and writes its trace.
constexpr int kSimTargets[] = {3, 4};

// On the client's thread: the session's thread owns the timeline.
void onEvent(void*, palisade_event event, long detail) { notify(event, detail); }

void makePipe(int ends[2]) {
  // Close-on-exec: the client hands the sim only the ends it is given.
  if (pipe2(ends, O_CLOEXEC) != 0)
    fail("pipe: %s", strerror(errno));
}

// Waits until `deadline` or something from the helper or another thread,
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

}  // namespace

Session session;

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);  // the trace's clock
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void fail(const char* format, ...) {
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

void say(double t, const char* format, ...) {
  char stamp[32];
  snprintf(stamp, sizeof stamp, "+%.3f s", t - session.t0);
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

void openClient(const char* path) {
  int control[2], trace[2], events[2];
  makePipe(control);
  makePipe(trace);
  makePipe(events);
  session.simEnds[0] = control[0], session.simEnds[1] = trace[1];
  session.control = control[1], session.trace = trace[0];
  session.eventsIn = events[0], session.eventsOut = events[1];

  palisade_options options = {};
  options.helper_path = path;
  // Wherever pipe() put them, the sim finds them at 3 and 4.
  options.inherit_fds = session.simEnds;
  options.inherit_fd_targets = kSimTargets;
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

void notify(int kind, long detail) {
  // An Event is far below PIPE_BUF, so each write is whole.
  Event e{now(), kind, detail};
  ssize_t n;
  do
    n = write(session.eventsOut, &e, sizeof e);
  while (n < 0 && errno == EINTR);
}

void control(const std::string& line) {
  std::string text = line + "\n";
  // We keep the sim's read end open: a write never fails for want of a
  // reader, even while the helper is being restarted.
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(session.control, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      fail("writing a control line: %s", strerror(errno));
    done += size_t(n);
  }
}

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

void idle(double seconds) {
  for (double deadline = now() + seconds; now() < deadline;)
    pump(deadline);
}

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

bool seenSince(size_t from, const std::string& prefix) {
  for (size_t i = from; i < session.lines.size(); ++i)
    if (session.lines[i].event.starts_with(prefix))
      return true;
  return false;
}

std::optional<Event> waitForEvent(int kind, double timeout) {
  double deadline = now() + timeout;
  for (;;) {
    auto found = std::find_if(session.events.begin(), session.events.end(),
                              [kind](const Event& e) { return e.kind == kind; });
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

}  // namespace demo
