/* An application built against the installed client drives palisade-sim,
   its main thread draining libdispatch's main queue as a run loop would: a
   hold kept past the 3 s silence limit while the main queue runs; yield,
   release, thousands of calls against a stopped helper, killed helpers
   restarted and brought back to holding, then to yielded, and a close
   leaving no helper and no zombie; SIGPIPE at its default throughout.
   Usage: client_c_check PATH-OF-PALISADE-SIM; exit status 0 when all hold. */
#define _GNU_SOURCE
#include <dispatch/dispatch.h>
#include <palisade/client.h>
#include <pthread.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void fail(int line, const char* what) {
  fprintf(stderr, "client_c_check: line %d: %s (errno %d)\n", line, what, errno);
  exit(1);
}
#define CHECK(condition) ((condition) ? (void)0 : fail(__LINE__, #condition))

/* The whole trace so far; `seen` is the end of the last event matched. */
static char* trace;
static size_t traceSize, seen;
static int traceRead, controlWrite;
static const char* sim;
/* The sim's control read end and trace write end, handed over as its 3 and 4. */
static int simEnds[2];
static const int simTargets[2] = {3, 4};

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Reads what the sim traced within `ms`, so that it never blocks on a full
   trace pipe while we wait. */
static void pump(int ms) {
  struct pollfd p = {traceRead, POLLIN, 0};
  CHECK((trace = realloc(trace, traceSize + 65537)));
  ssize_t n = poll(&p, 1, ms) == 1 ? read(traceRead, trace + traceSize, 65536) : 0;
  traceSize += n > 0 ? (size_t)n : 0;
  trace[traceSize] = 0;
}

static void sleepFor(double seconds) {
  for (double end = now() + seconds; now() < end;)
    pump(10);
}

/* Waits up to 20 s for a whole trace event (the line after its time stamp)
   after the last one matched. */
static void waitFor(const char* event, int line) {
  char text[128];
  snprintf(text, sizeof text, " %s\n", event);
  char* found = NULL;
  for (double end = now() + 20; !trace || !(found = strstr(trace + seen, text)); pump(100))
    if (now() > end) {
      fprintf(stderr, "client_c_check: line %d: no '%s' in the trace\n", line, event);
      exit(1);
    }
  seen = (size_t)(found - trace) + strlen(text);
}
static char eventText[96];
#define WAIT_FOR(...) (snprintf(eventText, sizeof eventText, __VA_ARGS__), waitFor(eventText, __LINE__))
#define HELD "setFront %d 0 0x400 -> 0"

static void control(const char* line) {
  char text[96];
  int n = snprintf(text, sizeof text, "%s\n", line);
  CHECK(write(controlWrite, text, (size_t)n) == n);
  WAIT_FOR("ctl %s", line);
}

/* What a client's callback saw, written on the client's thread. */
struct Events {
  atomic_int exited, restarted, lost;
  atomic_long newPid, lostAfterMs;
};

static void onEvent(void* context, palisade_event event, long detail) {
  struct Events* events = context;
  if (event == PALISADE_EVENT_HELPER_RESTARTED)
    events->newPid = detail;
  if (event == PALISADE_EVENT_HOLD_LOST)
    events->lostAfterMs = detail;
  atomic_fetch_add(event == PALISADE_EVENT_HELPER_EXITED    ? &events->exited
                   : event == PALISADE_EVENT_HOLD_LOST      ? &events->lost
                                                            : &events->restarted,
                   1);
}

/* A client on the sim's pipes with this keep-alive source; returns once its
   helper has started. */
static palisade_client* openSim(palisade_keep_alive_source source, struct Events* events) {
  palisade_options options = {sim, 0.5, 0, simEnds, 2, onEvent, events, source, simTargets};
  palisade_client* client = NULL;
  CHECK(palisade_open(&options, &client) == PALISADE_OK && client);
  WAIT_FOR("start %d", palisade_helper_pid(client));
  return client;
}

static void waitForCount(atomic_int* count, int wanted) {
  for (double end = now() + 20; *count < wanted; pump(10))
    CHECK(now() < end);
}

/* Never kill(0, ...): that is our whole process group. */
static void killHelper(palisade_client* client) {
  pid_t pid = palisade_helper_pid(client);
  CHECK(pid > 0 && kill(pid, SIGKILL) == 0);
}

static int sigpipeIsDefault(void) {
  struct sigaction action;
  return sigaction(SIGPIPE, NULL, &action) == 0 && action.sa_handler == SIG_DFL;
}

static void* checks(void* unused) {
  (void)unused;
  struct Events events = {0};
  palisade_client* client = openSim(PALISADE_KEEP_ALIVE_MAIN_QUEUE, &events);
  pid_t first = palisade_helper_pid(client);
  control("live 800 801");
  control("front 800");
  CHECK(palisade_engage(client) == PALISADE_OK);
  WAIT_FOR(HELD, first);

  /* Left past the silence limit: still holding, kept by keep-alives while
     the main queue runs, so another application's front is taken back. */
  sleepFor(3.5);
  control("front 801");
  WAIT_FOR(HELD, first);
  CHECK(palisade_yield(client) == PALISADE_OK);
  WAIT_FOR("revoke %d", first);
  CHECK(palisade_release(client) == PALISADE_OK);
  WAIT_FOR("uiMode 0 0");
  /* Stopped mid-hold: its input fills, and no call waits for it. Then
     killed: restarted, and holding again as last asked. */
  CHECK(palisade_engage(client) == PALISADE_OK);
  WAIT_FOR(HELD, first);
  CHECK(kill(first, SIGSTOP) == 0);
  for (int i = 0; i < 5000; ++i)
    CHECK(palisade_engage(client) == PALISADE_OK && palisade_yield(client) == PALISADE_OK &&
          palisade_release(client) == PALISADE_OK);
  CHECK(palisade_engage(client) == PALISADE_OK);
  CHECK(kill(first, SIGKILL) == 0);
  waitForCount(&events.restarted, 1);
  pid_t second = palisade_helper_pid(client);
  CHECK(second > 0 && second != first && second == events.newPid && events.exited == 1);
  WAIT_FOR("start %d", second);
  WAIT_FOR(HELD, second);
  /* Killed while yielded: the next one is engaged, then yields. */
  CHECK(palisade_yield(client) == PALISADE_OK);
  WAIT_FOR("revoke %d", second);
  killHelper(client);
  waitForCount(&events.restarted, 2);
  pid_t third = palisade_helper_pid(client);
  WAIT_FOR(HELD, third);
  WAIT_FOR("revoke %d", third);

  /* Close: nothing left running or unreaped, and no event for it. */
  CHECK(palisade_close(client, 5) == PALISADE_OK);
  CHECK(kill(third, 0) == -1 && errno == ESRCH);
  CHECK(waitpid(-1, NULL, WNOHANG) == -1 && errno == ECHILD);
  CHECK(events.exited == 2 && events.restarted == 2 && events.lost == 0 && sigpipeIsDefault());
  puts("client_c_check: every check held");
  exit(0);
}

int main(int argc, char** argv) {
  CHECK(argc == 2 && sigpipeIsDefault());
  sim = argv[1];
  int control[2], trace[2];
  CHECK(pipe(control) == 0 && pipe(trace) == 0);
  for (int i = 0; i < 2; ++i)
    CHECK(fcntl(control[i], F_SETFD, FD_CLOEXEC) == 0 && fcntl(trace[i], F_SETFD, FD_CLOEXEC) == 0);
  simEnds[0] = control[0];
  simEnds[1] = trace[1];
  controlWrite = control[1];
  traceRead = trace[0];
  /* The checks run beside; this thread is the application's main thread. */
  pthread_t thread;
  CHECK(pthread_create(&thread, NULL, checks, NULL) == 0);
  dispatch_main();
}
