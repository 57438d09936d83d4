// The client's one state object, shared by the C API (api.cc), the client's
// thread (thread.cc) and the keep-alive sources (keep_alive.cc).
#pragma once

#include <time.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "palisade/client.h"
#include "words.h"

namespace palisade_client_internal {

using palisade_client_words::State;
using palisade_client_words::Word;

constexpr double kSilence = 3.0;  // the helper releases after this long without a keepAlive
// Words kept while the helper's input is full; past this the queue collapses
// to the shortest path to the wanted state. 64 of at most 8 bytes also fit
// one atomic pipe write on every platform (PIPE_BUF is at least 512).
constexpr int kMaxPending = 64;
static_assert(kMaxPending * 8 <= 512);

// The span in which at most max_restarts restarts are allowed: 60 s. A
// variable only so that the tests can shorten it.
extern double restartWindowSeconds;
// Called by palisade_open once the client's thread runs, as it releases
// the client's lock: only the tests set it, to stall the opening thread there.
extern void (*afterThreadStarts)();

// The helper's own clock: a keep-alive's age is measured as its watchdog
// measures it (on macOS this clock also counts a system sleep).
inline double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct MainQueueBeat;

}  // namespace palisade_client_internal

struct palisade_client {
  using State = palisade_client_internal::State;
  using Word = palisade_client_internal::Word;

  // Fixed at open.
  std::string path;
  double interval = 0.5;
  int maxRestarts = 3;
  palisade_keep_alive_source source = PALISADE_KEEP_ALIVE_MAIN_QUEUE;
  std::vector<int> inherit, targets;  // the parent's descriptors, the helper's numbers
  void (*onEvent)(void*, palisade_event, long) = nullptr;
  void* context = nullptr;
  int wake[2] = {-1, -1};  // the thread's wake-up pipe
  std::thread thread;

  mutable std::mutex mutex;  // guards this group
  State wanted = State::idle;   // what the parent last asked for, corrected by a lost hold
  State written = State::idle;  // where the words already written take the helper
  Word pending[palisade_client_internal::kMaxPending];  // words not yet written, in order
  int pendingCount = 0;
  double lastKeepAlive = 0;      // the last keepAlive written, or the engage
  double nextKeepAlive = 0;      // the client-thread source's next one
  bool keepAliveAsked = false;   // palisade_keep_alive since the last one written
  palisade_client_internal::MainQueueBeat* beat = nullptr;  // the main-queue source; paused while idle
  void* activity = nullptr;      // Apple platforms: keeps App Nap away while engaged
  bool wakePending = false;
  bool closing = false;
  bool closedFromCallback = false;  // the thread finishes the close and frees
  double closeTimeout = 0;
  bool gone = false;  // died with no restart left
  std::deque<double> restarts;

  // The running helper: written only by the client's thread after open;
  // pid is read from any thread.
  std::atomic<pid_t> pid{0};
  int input = -1;  // its standard input, non-blocking
  int watch = -1;  // readable once it exits; -1: poll waitpid
  bool inputBroken = false;

  ~palisade_client();
};

namespace palisade_client_internal {

// Caller holds the mutex. The parent asks for `word`: the wanted state
// moves, the word is queued for the client's thread (or the queue collapses
// to the shortest path once full), keep-alives start or stop with the
// engagement, and the thread is woken.
void ask(palisade_client* c, Word word);

// The client's thread: writes, keeps the cadence, watches the hold and the
// helper, restarts it, and finishes a close.
void run(palisade_client* c);

// Caller holds the mutex: wakes the client's thread.
void wakeThread(palisade_client* c);

}  // namespace palisade_client_internal
