// The client: one state object guarded by a mutex, one thread that does all
// the writing, watching and restarting, and the C API around them.
#include "palisade/client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "words.h"

#define PALISADE_EXPORT __attribute__((visibility("default")))

using namespace palisade_client_words;
using namespace palisade_client_process;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kDefaultInterval = 0.5;
constexpr double kMinInterval = 0.01;  // shorter would keep the client's thread busy writing
constexpr double kSilence = 3.0;  // the helper releases after this long without a keepAlive
constexpr int kDefaultRestarts = 3;
constexpr auto kRestartWindow = std::chrono::seconds(60);
// Words kept while the helper's input is full; past this the queue collapses
// to the shortest path to the wanted state. 64 of at most 8 bytes also fit
// one atomic pipe write on every platform (PIPE_BUF is at least 512).
constexpr int kMaxPending = 64;
static_assert(kMaxPending * 8 <= 512);
// Without a pidfd or kqueue, how often to look for the helper's death.
constexpr int kFallbackPollMs = 50;
// The longest close we honour (NaN and negative mean none at all).
constexpr double kMaxCloseTimeout = 1e7;

}  // namespace

struct palisade_client {
  // Fixed at open.
  std::string path;
  double interval = kDefaultInterval;
  int maxRestarts = kDefaultRestarts;
  std::vector<int> inherit;
  void (*onEvent)(void*, palisade_event, long) = nullptr;
  void* context = nullptr;
  int wake[2] = {-1, -1};  // the thread's wake-up pipe
  std::thread thread;

  std::mutex mutex;  // guards this group
  State wanted = State::idle;   // what the parent last asked for
  State written = State::idle;  // where the words already written take the helper
  Word pending[kMaxPending];    // words not yet written, in order
  int pendingCount = 0;
  Clock::time_point nextKeepAlive;
  bool wakePending = false;
  bool closing = false;
  bool closedFromCallback = false;  // the thread finishes the close and frees
  double closeTimeout = 0;
  bool gone = false;  // died with no restart left
  std::deque<Clock::time_point> restarts;

  // The running helper: written only by the client's thread after open;
  // pid is read from any thread.
  std::atomic<pid_t> pid{0};
  int input = -1;  // its standard input, non-blocking
  int watch = -1;  // readable once it exits; -1: poll waitpid
  bool inputBroken = false;

  ~palisade_client() {
    // Only a failed open gets here with a helper still running.
    if (pid > 0) {
      int status;
      kill(pid, SIGKILL);
      reapHelper(pid, true, &status);
    }
    for (int fd : {wake[0], wake[1], input, watch})
      if (fd >= 0)
        close(fd);
  }
};

namespace {

Clock::time_point inSeconds(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int msUntil(Clock::time_point when) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
  return int(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
}

// Caller holds the mutex.
void wakeThread(palisade_client* c) {
  if (c->wakePending)
    return;
  c->wakePending = true;
  (void)!write(c->wake[1], "w", 1);  // full means already awake
}

// The client's thread only. A write of at most PIPE_BUF bytes to a pipe is
// all or nothing, so false means none of it was written.
bool writeInput(palisade_client* c, const char* bytes, size_t size) {
  if (c->inputBroken)
    return false;
  for (;;) {
    ssize_t n = write(c->input, bytes, size);
    if (n == ssize_t(size))
      return true;
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno == EPIPE) {
      // The helper is dying: its death, seen next, decides what follows.
      consumeSigpipe();
      c->inputBroken = true;
      c->pendingCount = 0;
    }
    return false;  // EAGAIN: the helper is not reading; words stay queued
  }
}

// Caller holds the mutex.
void flushPending(palisade_client* c) {
  if (c->pendingCount == 0)
    return;
  char bytes[kMaxPending * 8];
  size_t size = 0;
  State state = c->written;
  for (int i = 0; i < c->pendingCount; ++i) {
    const char* text = line(c->pending[i]);
    memcpy(bytes + size, text, strlen(text));
    size += strlen(text);
    state = after(state, c->pending[i]);
  }
  if (writeInput(c, bytes, size)) {
    c->written = state;
    c->pendingCount = 0;
  }
}

// Caller holds the mutex.
void keepAlive(palisade_client* c) {
  if (c->wanted == State::idle || Clock::now() < c->nextKeepAlive)
    return;
  c->nextKeepAlive = inSeconds(c->interval);
  if (c->pendingCount == 0)  // else the input is full: this one is dropped
    writeInput(c, "keepAlive\n", 10);
}

// Delivers an event with the mutex released; none once close has begun.
void deliver(palisade_client* c, std::unique_lock<std::mutex>& lock, palisade_event event, long detail) {
  if (c->closing || !c->onEvent)
    return;
  lock.unlock();
  c->onEvent(c->context, event, detail);
  lock.lock();
}

// Caller holds the mutex. A new helper starts idle: the words it needs are
// the path to what the parent wants, whatever was queued for the old one.
void adopt(palisade_client* c, pid_t pid, int input, int watch) {
  c->pid = pid;
  c->input = input;
  c->watch = watch;
  c->inputBroken = false;
  c->written = State::idle;
  c->pendingCount = shortestPath(State::idle, c->wanted, c->pending);
  c->nextKeepAlive = inSeconds(c->interval);
}

// The helper has been reaped. Caller holds the mutex, which is released
// around callbacks and the new spawn.
void helperDied(palisade_client* c, std::unique_lock<std::mutex>& lock, int status) {
  close(c->input);
  if (c->watch >= 0)
    close(c->watch);
  c->input = c->watch = -1;
  c->pid = 0;
  c->pendingCount = 0;
  // Decided before the event, so that calls made once it is seen already
  // answer PALISADE_HELPER_GONE when no restart is left.
  auto now = Clock::now();
  while (!c->restarts.empty() && now - c->restarts.front() >= kRestartWindow)
    c->restarts.pop_front();
  bool restart = c->maxRestarts > 0 && int(c->restarts.size()) < c->maxRestarts;
  if (restart)
    c->restarts.push_back(now);
  else
    c->gone = true;
  deliver(c, lock, PALISADE_EVENT_HELPER_EXITED, status);
  if (!restart || c->closing)
    return;
  lock.unlock();  // calls meanwhile queue words; adopt() recomputes them
  int input = -1;
  pid_t pid = spawnHelper(c->path.c_str(), c->inherit, &input);
  int watch = pid > 0 ? watchHelper(pid) : -1;
  lock.lock();
  if (pid < 0) {
    c->gone = true;
    return;
  }
  adopt(c, pid, input, watch);
  flushPending(c);
  deliver(c, lock, PALISADE_EVENT_HELPER_RESTARTED, long(pid));
}

// The client's thread, mutex not held: every call now returns
// PALISADE_CLOSED, so the helper's fields are this thread's alone.
void finishClose(palisade_client* c) {
  pid_t pid = c->pid;
  if (pid > 0) {
    Word words[2];
    if (shortestPath(c->written, State::idle, words) > 0)
      writeInput(c, line(words[0]), strlen(line(words[0])));
    close(c->input);  // end of input: the helper releases and exits
    c->input = -1;
    auto deadline = inSeconds(c->closeTimeout);
    int status;
    bool reaped;
    while (!(reaped = reapHelper(pid, false, &status)) && Clock::now() < deadline) {
      pollfd p{c->watch, POLLIN, 0};
      poll(&p, c->watch >= 0 ? 1 : 0, std::min(msUntil(deadline), c->watch >= 0 ? INT_MAX : 10));
    }
    if (!reaped) {
      kill(pid, SIGKILL);
      reapHelper(pid, true, &status);
    }
    c->pid = 0;
  }
  if (c->closedFromCallback) {
    c->thread.detach();
    delete c;
  }
}

void run(palisade_client* c) {
  blockSigpipeHere();
  std::unique_lock<std::mutex> lock(c->mutex);  // waits for open to finish
  while (!c->closing) {
    pid_t pid = c->pid;
    pollfd fds[3] = {{c->wake[0], POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
    int timeout = -1;
    if (pid > 0) {
      fds[1] = {c->watch, POLLIN, 0};
      if (c->pendingCount > 0 && !c->inputBroken)
        fds[2] = {c->input, POLLOUT, 0};
      if (c->wanted != State::idle)
        timeout = msUntil(c->nextKeepAlive);
      if (c->watch < 0)
        timeout = timeout < 0 ? kFallbackPollMs : std::min(timeout, kFallbackPollMs);
    }
    lock.unlock();
    poll(fds, 3, timeout);  // negative descriptors are skipped
    lock.lock();
    char drained[64];
    while (read(c->wake[0], drained, sizeof drained) > 0) {
    }
    c->wakePending = false;
    if (c->closing)
      break;
    int status;
    if (pid > 0 && (c->watch < 0 || fds[1].revents) && reapHelper(pid, false, &status)) {
      helperDied(c, lock, status);
      continue;
    }
    if (pid > 0) {
      flushPending(c);
      keepAlive(c);
    }
  }
  lock.unlock();
  finishClose(c);
}

palisade_status command(palisade_client* c, Word word) {
  if (!c)
    return PALISADE_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> lock(c->mutex);
  if (c->closing)
    return PALISADE_CLOSED;
  if (c->gone)
    return PALISADE_HELPER_GONE;
  State before = c->wanted;
  c->wanted = after(before, word);
  if (before == State::idle && c->wanted != State::idle)
    c->nextKeepAlive = inSeconds(c->interval);
  if (c->pendingCount < kMaxPending)
    c->pending[c->pendingCount++] = word;  // written even if it changes nothing
  else
    c->pendingCount = shortestPath(c->written, c->wanted, c->pending);
  wakeThread(c);
  return PALISADE_OK;
}

bool validOptions(const palisade_options* o) {
  double interval = o->keep_alive_interval;
  if (!o->helper_path || std::isnan(interval) || interval < 0 || interval >= kSilence)
    return false;
  if (o->inherit_fd_count < 0 || (o->inherit_fd_count > 0 && !o->inherit_fds))
    return false;
  for (int i = 0; i < o->inherit_fd_count; ++i)
    if (o->inherit_fds[i] <= 2 || fcntl(o->inherit_fds[i], F_GETFD) < 0)
      return false;
  return true;
}

}  // namespace

PALISADE_EXPORT palisade_status palisade_open(const palisade_options* options, palisade_client** client) {
  if (!client)
    return PALISADE_INVALID_ARGUMENT;
  *client = nullptr;
  if (!options || !validOptions(options))
    return PALISADE_INVALID_ARGUMENT;
  try {
    auto c = std::make_unique<palisade_client>();
    c->path = options->helper_path;
    if (options->keep_alive_interval > 0)
      c->interval = std::max(options->keep_alive_interval, kMinInterval);
    if (options->max_restarts != 0)
      c->maxRestarts = options->max_restarts;
    c->inherit.assign(options->inherit_fds, options->inherit_fds + options->inherit_fd_count);
    c->onEvent = options->on_event;
    c->context = options->context;
    if (!makePipe(c->wake, true))
      return PALISADE_SPAWN_FAILED;
    int input = -1;
    pid_t pid = spawnHelper(c->path.c_str(), c->inherit, &input);
    if (pid < 0)
      return PALISADE_SPAWN_FAILED;
    c->pid = pid;
    c->input = input;
    c->watch = watchHelper(pid);
    {
      std::lock_guard<std::mutex> lock(c->mutex);
      c->thread = std::thread(run, c.get());
    }
    *client = c.release();
    return PALISADE_OK;
  } catch (...) {  // no memory or no thread: the destructor undid the rest
    return PALISADE_SPAWN_FAILED;
  }
}

PALISADE_EXPORT palisade_status palisade_engage(palisade_client* client) {
  return command(client, Word::engage);
}

PALISADE_EXPORT palisade_status palisade_yield(palisade_client* client) {
  return command(client, Word::yield);
}

PALISADE_EXPORT palisade_status palisade_release(palisade_client* client) {
  return command(client, Word::release);
}

PALISADE_EXPORT palisade_status palisade_close(palisade_client* client, double timeout_seconds) {
  if (!client)
    return PALISADE_INVALID_ARGUMENT;
  {
    std::lock_guard<std::mutex> lock(client->mutex);
    if (client->closing)
      return PALISADE_CLOSED;
    client->closing = true;
    client->closeTimeout = std::isnan(timeout_seconds) ? 0 : std::clamp(timeout_seconds, 0.0, kMaxCloseTimeout);
    if (std::this_thread::get_id() == client->thread.get_id()) {
      client->closedFromCallback = true;  // the thread finishes once the callback returns
      return PALISADE_OK;
    }
    wakeThread(client);
  }
  client->thread.join();
  delete client;
  return PALISADE_OK;
}

PALISADE_EXPORT pid_t palisade_helper_pid(const palisade_client* client) {
  return client ? client->pid.load() : 0;
}

PALISADE_EXPORT const char* palisade_status_message(palisade_status status) {
  switch (status) {
    case PALISADE_OK:
      return "ok";
    case PALISADE_INVALID_ARGUMENT:
      return "invalid argument";
    case PALISADE_SPAWN_FAILED:
      return "the helper could not be started";
    case PALISADE_HELPER_GONE:
      return "the helper died and no restart is left";
    case PALISADE_CLOSED:
      return "the client is closing";
  }
  return "unknown status";
}
