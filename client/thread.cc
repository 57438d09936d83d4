// The client's thread: the one writer of the helper's input. It keeps the
// cadence, watches for a lost hold and for the helper's death, restarts it,
// and finishes a close.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "keep_alive.h"
#include "process.h"
#include "state.h"

using namespace palisade_client_words;
using namespace palisade_client_process;

namespace palisade_client_internal {

double restartWindowSeconds = 60;

namespace {

// Without a pidfd or kqueue, how often to look for the helper's death.
constexpr int kFallbackPollMs = 50;

int msUntil(double when) {
  double ms = std::ceil((when - now()) * 1000);
  return int(std::clamp(ms, 0.0, double(INT_MAX)));
}

// A write of at most PIPE_BUF bytes to a pipe is all or nothing, so false
// means none of it was written.
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

// Delivers an event with the mutex released; none once close has begun.
void deliver(palisade_client* c, std::unique_lock<std::mutex>& lock, palisade_event event, long detail) {
  if (c->closing || !c->onEvent)
    return;
  lock.unlock();
  c->onEvent(c->context, event, detail);
  lock.lock();
}

// Caller holds the mutex. A keepAlive is written only behind every queued
// word: while the input is full it is dropped, and the silence counts.
// The silence is judged before anything is written: a thread that wakes
// late (a stopped process, a Mac that slept) finds the helper already
// releasing, and a keepAlive now would only hide that.
void keepHoldAlive(palisade_client* c, std::unique_lock<std::mutex>& lock) {
  double t = now();
  if (c->wanted != State::holding || t - c->lastKeepAlive < kSilence) {
    if (takeKeepAlive(c, t) && c->pendingCount == 0 && writeInput(c, "keepAlive\n", 10))
      c->lastKeepAlive = t;
    return;
  }
  // The helper is releasing on its own, or will when it reads again; a
  // release of ours makes its state certain whichever acts first.
  long ms = std::lround((t - c->lastKeepAlive) * 1000);
  ask(c, Word::release);
  flushPending(c);
  deliver(c, lock, PALISADE_EVENT_HOLD_LOST, ms);
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
  double t = now();
  c->lastKeepAlive = t;  // its engage starts its watchdog afresh
  c->nextKeepAlive = t + c->interval;
}

// Caller holds the mutex: nothing runs any more, so nothing holds.
void giveUp(palisade_client* c) {
  c->gone = true;
  if (c->wanted != State::idle)
    stopKeepAlives(c);
  c->wanted = State::idle;
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
  // Whether a new helper runs is decided before the event, so that calls
  // made once it is seen already answer PALISADE_HELPER_GONE when no
  // restart is left or the helper can no longer be started.
  double t = now();
  while (!c->restarts.empty() && t - c->restarts.front() >= restartWindowSeconds)
    c->restarts.pop_front();
  pid_t pid = -1;
  int input = -1, watch = -1;
  if (c->maxRestarts > 0 && int(c->restarts.size()) < c->maxRestarts) {
    c->restarts.push_back(t);
    lock.unlock();  // calls meanwhile queue words; adopt() recomputes them
    pid = spawnHelper(c->path.c_str(), c->inherit, c->targets, &input);
    watch = pid > 0 ? watchHelper(pid) : -1;
    lock.lock();
  }
  if (pid < 0)
    giveUp(c);
  deliver(c, lock, PALISADE_EVENT_HELPER_EXITED, status);
  if (pid < 0)
    return;
  adopt(c, pid, input, watch);
  if (c->closing) {  // close began meanwhile: end it without a hold
    c->pendingCount = 0;
    return;
  }
  flushPending(c);
  deliver(c, lock, PALISADE_EVENT_HELPER_RESTARTED, long(pid));
}

// Mutex not held: every call now returns PALISADE_CLOSED, so the helper's
// fields are this thread's alone.
void finishClose(palisade_client* c) {
  pid_t pid = c->pid;
  if (pid > 0) {
    Word words[2];
    if (shortestPath(c->written, State::idle, words) > 0)
      writeInput(c, line(words[0]), strlen(line(words[0])));
    close(c->input);  // end of input: the helper releases and exits
    c->input = -1;
    double deadline = now() + c->closeTimeout;
    int status;
    bool reaped;
    while (!(reaped = reapHelper(pid, false, &status)) && now() < deadline) {
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

}  // namespace

void wakeThread(palisade_client* c) {
  if (c->wakePending)
    return;
  c->wakePending = true;
  (void)!write(c->wake[1], "w", 1);  // full means already awake
}

void ask(palisade_client* c, Word word) {
  State before = c->wanted;
  c->wanted = after(before, word);
  if (before == State::idle && c->wanted != State::idle)
    startKeepAlives(c, now());
  else if (before != State::idle && c->wanted == State::idle)
    stopKeepAlives(c);
  if (c->pendingCount < kMaxPending)
    c->pending[c->pendingCount++] = word;  // written even if it changes nothing
  else
    c->pendingCount = shortestPath(c->written, c->wanted, c->pending);
  wakeThread(c);
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
      if (double next = nextKeepAliveCheck(c); next > 0)
        timeout = msUntil(next);
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
      keepHoldAlive(c, lock);
    }
  }
  lock.unlock();
  finishClose(c);
}

}  // namespace palisade_client_internal

palisade_client::~palisade_client() {
  palisade_client_internal::endMainQueueBeat(this);  // before the wake-up pipe closes
  // Only a failed open gets here with a helper still running.
  if (pid > 0) {
    int status;
    kill(pid, SIGKILL);
    palisade_client_process::reapHelper(pid, true, &status);
  }
  for (int fd : {wake[0], wake[1], input, watch})
    if (fd >= 0)
      close(fd);
}
