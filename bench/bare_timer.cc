// The benchmark's reference: a bare libdispatch process built the way the
// helper is (same main loop, same stdin read source, same timer settings and
// queue), minus everything the helper does on a tick.
//
//   bare_timer timer [--counter FILE] [--first NS]
//       2 ms timer whose handler only counts. --counter: the count is kept
//       in the file's first 8 bytes (a store to a shared mapping, no call).
//       --first: the first tick is due at NS on CLOCK_MONOTONIC, which sets
//       the phase against another process's timer.
//   bare_timer trace [--first NS]
//       the same, writing one trace line per tick to fd 4, formatted and
//       written as the simulated helper writes its own
//   bare_timer idle
//       no timer
//
// In every mode standard input is read in 256-byte chunks and discarded;
// end of input exits 0.
#include <dispatch/dispatch.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/main_queue.h"


namespace {

constexpr uint64_t kIntervalNs = 2'000'000;
constexpr uint64_t kLeewayNs = 500'000;
constexpr auto kUserInteractive = dispatch_qos_class_t(0x21);
constexpr int kTraceFd = 4;

dispatch_source_t inputSource;
dispatch_source_t timer;
volatile uint64_t* tickCounter;  // mapped file, or a plain word
uint64_t localTicks;
int ownPID;

double monotonicSeconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

void onTick(void*) { *tickCounter = *tickCounter + 1; }

// The per-tick line of a holding simulated helper: "getFront -> PID".
void onTraceTick(void*) {
  char line[4096];
  int n = snprintf(line, sizeof line, "%.6f ", monotonicSeconds());
  n += snprintf(line + n, sizeof line - size_t(n) - 1, "getFront -> %d", ownPID);
  line[n++] = '\n';
  ssize_t written;
  do {
    written = write(kTraceFd, line, size_t(n));
  } while (written < 0 && errno == EINTR);
}

// As the helper reads its commands: one 256-byte read per event, except
// after the writer hangs up, when the source may not fire again: then read
// on until end of input.
void onInput(void*) {
  bool hungUp = dispatch_source_get_data(inputSource) == 0;
  for (;;) {
    char bytes[256];
    ssize_t count = read(0, bytes, sizeof bytes);
    if (count < 0 && errno == EINTR)
      continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return;
    if (count < 1)
      exit(0);
    if (!hungUp)
      return;
  }
}

int64_t monotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// libdispatch's DISPATCH_TIME_NOW runs on CLOCK_MONOTONIC here, so a delay
// from now lands the first tick on `firstNs` to within microseconds.
void startTimer(dispatch_function_t handler, int64_t firstNs) {
  dispatch_queue_attr_t attr =
      dispatch_queue_attr_make_with_qos_class(DISPATCH_QUEUE_SERIAL, kUserInteractive, 0);
  dispatch_queue_t queue = dispatch_queue_create("bench.bare.timer", attr);
  timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue);
  int64_t delay = int64_t(kIntervalNs);
  if (firstNs > 0) {
    delay = firstNs - monotonicNs();
    if (delay < 0)
      delay = 0;
  }
  dispatch_source_set_timer(timer, dispatch_time(DISPATCH_TIME_NOW, delay), kIntervalNs, kLeewayNs);
  dispatch_source_set_event_handler_f(timer, handler);
  dispatch_resume(timer);
}

volatile uint64_t* mapCounter(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT, 0644);
  if (fd < 0 || ftruncate(fd, 4096) != 0) {
    perror(path);
    exit(2);
  }
  void* area = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (area == MAP_FAILED) {
    perror("mmap");
    exit(2);
  }
  close(fd);
  return static_cast<volatile uint64_t*>(area);
}

// The helper's Linux main loop.
[[noreturn]] void runMainLoop() {
  for (;;)
    drainMainQueueOnce();
}

[[noreturn]] void usage(const char* self) {
  fprintf(stderr, "usage: %s timer [--counter FILE] [--first NS] | trace [--first NS] | idle\n", self);
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  bool traced = strcmp(mode, "trace") == 0, timed = strcmp(mode, "timer") == 0;
  if (!traced && !timed && strcmp(mode, "idle") != 0)
    usage(argv[0]);
  tickCounter = &localTicks;
  int64_t firstNs = 0;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc)
      usage(argv[0]);
    if (strcmp(argv[i], "--counter") == 0)
      tickCounter = mapCounter(argv[i + 1]);
    else if (strcmp(argv[i], "--first") == 0)
      firstNs = strtoll(argv[i + 1], nullptr, 10);
    else
      usage(argv[0]);
  }
  signal(SIGPIPE, SIG_IGN);
  ownPID = getpid();

  inputSource = dispatch_source_create(DISPATCH_SOURCE_TYPE_READ, 0, 0, dispatch_get_main_queue());
  dispatch_source_set_event_handler_f(inputSource, onInput);
  dispatch_resume(inputSource);

  if (timed || traced)
    startTimer(traced ? onTraceTick : onTick, firstNs);
  runMainLoop();
}
