/* Drives palisade-sim through the client library as an application would,
   built against the installed header and library: a hold kept past the
   helper's 3 s silence limit by the client's keep-alives alone, yield and
   release, a killed helper restarted and holding again, a helper with no
   restart left, thousands of calls against a stopped helper, and a close
   that leaves no helper and no zombie; SIGPIPE at its default throughout.
   Usage: client_c_check PATH-OF-PALISADE-SIM; exit status 0 when all hold. */
#define _GNU_SOURCE
#include <palisade/client.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define CHECK(condition) \
  do { \
    if (!(condition)) \
      fail(__LINE__, #condition); \
  } while (0)

static void fail(int line, const char* what) {
  fprintf(stderr, "client_c_check: line %d: %s (errno %d)\n", line, what, errno);
  exit(1);
}

/* The sim's trace, read on a thread of its own so the helper never blocks
   writing it. Events only, time stamps dropped. */
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static char** lines;
static size_t lineCount, seen; /* seen: lines already matched by waitFor */
static int traceRead, controlWrite;

static void* readTrace(void* unused) {
  (void)unused;
  static char buffer[65536];
  size_t held = 0;
  for (;;) {
    ssize_t n = read(traceRead, buffer + held, sizeof buffer - held);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return NULL;
    held += (size_t)n;
    char *start = buffer, *lf;
    pthread_mutex_lock(&mutex);
    while ((lf = memchr(start, '\n', held - (size_t)(start - buffer)))) {
      *lf = 0;
      char* space = strchr(start, ' ');
      lines = realloc(lines, (lineCount + 1) * sizeof *lines);
      CHECK(lines && (lines[lineCount++] = strdup(space ? space + 1 : "")));
      start = lf + 1;
    }
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&mutex);
    held -= (size_t)(start - buffer);
    memmove(buffer, start, held);
  }
}

static struct timespec deadlineIn(double seconds) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  t.tv_sec += (time_t)seconds;
  return t;
}

/* Waits for the next trace event after the last one matched that starts
   with `prefix`; fails the check if none comes within 20 s. */
static void waitFor(const char* prefix, int line) {
  struct timespec deadline = deadlineIn(20);
  pthread_mutex_lock(&mutex);
  for (;;) {
    for (; seen < lineCount; ++seen) {
      if (strncmp(lines[seen], prefix, strlen(prefix)) == 0) {
        ++seen;
        pthread_mutex_unlock(&mutex);
        return;
      }
    }
    if (pthread_cond_timedwait(&changed, &mutex, &deadline) == ETIMEDOUT) {
      fprintf(stderr, "client_c_check: no '%s' in the trace\n", prefix);
      fail(line, "waitFor");
    }
  }
}
#define WAIT_FOR(...) \
  do { \
    char event[96]; \
    snprintf(event, sizeof event, __VA_ARGS__); \
    waitFor(event, __LINE__); \
  } while (0)

static int seenSince(size_t from, const char* prefix) {
  pthread_mutex_lock(&mutex);
  int found = 0;
  for (size_t i = from; i < seen && !found; ++i)
    found = strncmp(lines[i], prefix, strlen(prefix)) == 0;
  pthread_mutex_unlock(&mutex);
  return found;
}

static void control(const char* line) {
  char text[96];
  int n = snprintf(text, sizeof text, "%s\n", line);
  CHECK(write(controlWrite, text, (size_t)n) == n);
  WAIT_FOR("ctl %s", line);
}

static void sleepFor(double seconds) {
  struct timespec t = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

/* What a client's callback saw. */
struct Events {
  int exited, restarted;
  long status, newPid;
};

static void onEvent(void* context, palisade_event event, long detail) {
  struct Events* events = context;
  pthread_mutex_lock(&mutex);
  if (event == PALISADE_EVENT_HELPER_EXITED) {
    events->exited++;
    events->status = detail;
  } else if (event == PALISADE_EVENT_HELPER_RESTARTED) {
    events->restarted++;
    events->newPid = detail;
  }
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&mutex);
}

static void waitForCount(const int* count, int wanted) {
  struct timespec deadline = deadlineIn(20);
  pthread_mutex_lock(&mutex);
  while (*count < wanted)
    CHECK(pthread_cond_timedwait(&changed, &mutex, &deadline) != ETIMEDOUT);
  pthread_mutex_unlock(&mutex);
}

static int sigpipeIsDefault(void) {
  struct sigaction action;
  return sigaction(SIGPIPE, NULL, &action) == 0 && action.sa_handler == SIG_DFL;
}

/* A pipe end moved to `target`, where palisade-sim looks for it. */
static void placeAt(int fd, int target) {
  CHECK(dup3(fd, target, O_CLOEXEC) == target);
  close(fd);
}

int main(int argc, char** argv) {
  CHECK(argc == 2);
  const char* sim = argv[1];
  CHECK(sigpipeIsDefault());

  int ctl[2], tr[2], high[4];
  CHECK(pipe(ctl) == 0 && pipe(tr) == 0);
  for (int i = 0; i < 4; ++i) { /* off 3 and 4 before they are taken */
    int* fd = i < 2 ? &ctl[i] : &tr[i - 2];
    CHECK((high[i] = fcntl(*fd, F_DUPFD_CLOEXEC, 10)) >= 10);
    close(*fd);
  }
  placeAt(high[0], 3);
  placeAt(high[3], 4);
  controlWrite = high[1];
  traceRead = high[2];
  pthread_t reader;
  CHECK(pthread_create(&reader, NULL, readTrace, NULL) == 0);

  int inherit[] = {3, 4};
  struct Events events = {0};
  palisade_options options = {sim, 0.5, 0, inherit, 2, onEvent, &events};
  palisade_client* client = NULL;
  CHECK(palisade_open(&options, &client) == PALISADE_OK && client);
  pid_t first = palisade_helper_pid(client);
  WAIT_FOR("start %d", first);
  control("live 800 801");
  control("front 800");

  /* Held past the silence limit: only the client's keep-alives keep it. */
  CHECK(palisade_engage(client) == PALISADE_OK);
  WAIT_FOR("setFront %d 0 0x400 -> 0", first);
  size_t engaged = seen;
  sleepFor(3.5);
  control("front 801");
  WAIT_FOR("setFront %d 0 0x400 -> 0", first);
  CHECK(!seenSince(engaged, "uiMode 0"));

  CHECK(palisade_yield(client) == PALISADE_OK);
  WAIT_FOR("revoke %d", first);
  CHECK(palisade_release(client) == PALISADE_OK);
  WAIT_FOR("uiMode 0 0");

  /* Killed mid-hold: reaped, restarted, holding again. */
  CHECK(palisade_engage(client) == PALISADE_OK);
  WAIT_FOR("setFront %d 0 0x400 -> 0", first);
  CHECK(kill(first, SIGKILL) == 0);
  waitForCount(&events.restarted, 1);
  CHECK(events.exited == 1 && WIFSIGNALED(events.status) && WTERMSIG(events.status) == SIGKILL);
  pid_t second = palisade_helper_pid(client);
  CHECK(second > 0 && second != first && second == events.newPid);
  CHECK(waitpid(first, NULL, WNOHANG) == -1 && errno == ECHILD);
  WAIT_FOR("start %d", second);
  WAIT_FOR("setFront %d 0 0x400 -> 0", second);
  control("live 800 801");

  /* A stopped helper: its input fills, and no call waits for it. After it
     resumes, and past the silence limit, it must be holding. */
  CHECK(kill(second, SIGSTOP) == 0);
  for (int i = 0; i < 5000; ++i)
    CHECK(palisade_engage(client) == PALISADE_OK && palisade_yield(client) == PALISADE_OK &&
          palisade_release(client) == PALISADE_OK);
  CHECK(palisade_engage(client) == PALISADE_OK);
  CHECK(kill(second, SIGCONT) == 0);
  sleepFor(3.5);
  control("front 801");
  WAIT_FOR("setFront %d 0 0x400 -> 0", second);

  /* No restart allowed: a killed helper leaves the client answering GONE. */
  struct Events lone = {0};
  palisade_options noRestart = {sim, 0, -1, NULL, 0, onEvent, &lone};
  palisade_client* once = NULL;
  CHECK(palisade_open(&noRestart, &once) == PALISADE_OK);
  CHECK(kill(palisade_helper_pid(once), SIGKILL) == 0);
  waitForCount(&lone.exited, 1);
  CHECK(palisade_engage(once) == PALISADE_HELPER_GONE && palisade_yield(once) == PALISADE_HELPER_GONE &&
        palisade_release(once) == PALISADE_HELPER_GONE);
  CHECK(palisade_helper_pid(once) == 0 && lone.restarted == 0);
  CHECK(palisade_close(once, 1) == PALISADE_OK);

  /* Close: released on the way out, and nothing left running or unreaped. */
  CHECK(palisade_close(client, 5) == PALISADE_OK);
  WAIT_FOR("uiMode 0 0");
  CHECK(kill(second, 0) == -1 && errno == ESRCH);
  CHECK(waitpid(-1, NULL, WNOHANG) == -1 && errno == ECHILD);
  CHECK(events.exited == 1 && events.restarted == 1);
  CHECK(sigpipeIsDefault());
  puts("client_c_check: every check held");
  return 0;
}
