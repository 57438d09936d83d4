#include "keep_alive.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "activity.h"

// libdispatch is part of every Apple system; elsewhere the build says
// whether it has it (the Swift package on Linux does not).
#if defined(__APPLE__) || defined(PALISADE_CLIENT_DISPATCH)
#include <dispatch/dispatch.h>
#define HAVE_MAIN_QUEUE 1
#endif

namespace palisade_client_internal {

#if HAVE_MAIN_QUEUE

// A timer on the main queue that marks, each interval, that the queue ran,
// and wakes the client's thread to write the keep-alive. Cancelling does not
// wait for a handler under way, so the beat is shared by the client and the
// timer and freed by whichever lets go last; the client disconnects the
// wake-up under the beat's mutex before its descriptors close.
struct MainQueueBeat {
  std::atomic<int> owners{2};
  std::atomic<bool> ran{false};
  std::mutex mutex;
  int wake = -1;  // the client's wake-up pipe; -1 once the client is gone
  dispatch_source_t timer = nullptr;
  bool running = false;  // resumed; the client's mutex guards it
};

namespace {

// The leeway lets the system batch the timer with other wake-ups; a tenth
// of the interval, at most 50 ms, keeps the cadence far inside 3 s.
constexpr double kMaxLeewaySeconds = 0.05;

void letGo(MainQueueBeat* beat) {
  if (--beat->owners == 0)
    delete beat;
}

void beatFired(void* context) {
  auto* beat = static_cast<MainQueueBeat*>(context);
  beat->ran = true;
  std::lock_guard<std::mutex> lock(beat->mutex);
  if (beat->wake >= 0)
    (void)!write(beat->wake, "b", 1);  // full means the thread is awake already
}

bool takeBeat(MainQueueBeat* beat) { return beat && beat->ran.exchange(false); }

}  // namespace

bool mainQueueSourceAvailable() { return true; }

bool makeMainQueueBeat(palisade_client* c) {
  dispatch_source_t timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue());
  if (!timer)
    return false;
  auto* beat = new MainQueueBeat;
  beat->wake = c->wake[1];
  beat->timer = timer;
  dispatch_set_context(timer, beat);
  dispatch_source_set_event_handler_f(timer, beatFired);
  dispatch_set_finalizer_f(timer, [](void* context) { letGo(static_cast<MainQueueBeat*>(context)); });
  c->beat = beat;  // inactive until the first engage
  return true;
}

void endMainQueueBeat(palisade_client* c) {
  MainQueueBeat* beat = std::exchange(c->beat, nullptr);
  if (!beat)
    return;
  {
    std::lock_guard<std::mutex> lock(beat->mutex);
    beat->wake = -1;
  }
  // A paused or never-started source must run to be cancelled and freed.
  if (!beat->running)
    dispatch_resume(beat->timer);
  dispatch_source_cancel(beat->timer);
  dispatch_release(beat->timer);  // the finalizer lets go of the timer's share
  letGo(beat);
}

namespace {

void runBeat(MainQueueBeat* beat, double interval) {
  if (!beat || beat->running)
    return;
  // Counted afresh from the engage, like the helper's silence.
  auto nanoseconds = uint64_t(interval * 1e9);
  auto leeway = uint64_t(std::min(interval / 10, kMaxLeewaySeconds) * 1e9);
  dispatch_source_set_timer(beat->timer, dispatch_time(DISPATCH_TIME_NOW, int64_t(nanoseconds)), nanoseconds,
                            leeway);
  beat->ran = false;
  beat->running = true;
  dispatch_resume(beat->timer);
}

void pauseBeat(MainQueueBeat* beat) {
  if (!beat || !beat->running)
    return;
  beat->running = false;
  dispatch_suspend(beat->timer);
}

}  // namespace

#else

struct MainQueueBeat {};

namespace {
void runBeat(MainQueueBeat*, double) {}
void pauseBeat(MainQueueBeat*) {}
bool takeBeat(MainQueueBeat*) { return false; }
}  // namespace

bool mainQueueSourceAvailable() { return false; }
bool makeMainQueueBeat(palisade_client*) { return false; }
void endMainQueueBeat(palisade_client*) {}

#endif

void startKeepAlives(palisade_client* c, double now) {
  c->lastKeepAlive = now;  // the helper counts its silence from the engage
  c->nextKeepAlive = now + c->interval;
  c->keepAliveAsked = false;
  runBeat(c->beat, c->interval);
  if (!c->activity)
    c->activity = beginAppActivity();
}

void stopKeepAlives(palisade_client* c) {
  pauseBeat(c->beat);
  endAppActivity(c->activity);
  c->activity = nullptr;
  c->keepAliveAsked = false;
}

bool takeKeepAlive(palisade_client* c, double now) {
  bool due = std::exchange(c->keepAliveAsked, false);
  due = takeBeat(c->beat) || due;
  if (c->source == PALISADE_KEEP_ALIVE_CLIENT_THREAD && now >= c->nextKeepAlive) {
    c->nextKeepAlive = now + c->interval;
    due = true;
  }
  return due && c->wanted != State::idle;
}

double nextKeepAliveCheck(const palisade_client* c) {
  double next = 0;
  if (c->wanted == State::holding)
    next = c->lastKeepAlive + kSilence;
  if (c->wanted != State::idle && c->source == PALISADE_KEEP_ALIVE_CLIENT_THREAD)
    next = next > 0 ? std::min(next, c->nextKeepAlive) : c->nextKeepAlive;
  return next;
}

}  // namespace palisade_client_internal
