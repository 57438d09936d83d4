#include "keep_alive.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

// A timer on the main queue that marks, each interval, that the queue ran.
// Cancelling does not wait for a handler under way, so the beat is shared
// by the client and the timer and freed by whichever lets go last; it wakes
// the client's thread through a descriptor of its own.
struct MainQueueBeat {
  std::atomic<int> owners{2};
  std::atomic<bool> ran{false};
  int wake = -1;
  dispatch_source_t timer = nullptr;
};

namespace {

// The leeway lets the system batch the timer with other wake-ups; a tenth
// of the interval, at most 50 ms, keeps the cadence far inside 3 s.
constexpr double kMaxLeewaySeconds = 0.05;

void letGo(MainQueueBeat* beat) {
  if (--beat->owners > 0)
    return;
  if (beat->wake >= 0)
    close(beat->wake);
  delete beat;
}

void beatFired(void* context) {
  auto* beat = static_cast<MainQueueBeat*>(context);
  beat->ran = true;
  (void)!write(beat->wake, "b", 1);  // full means the thread is awake already
}

MainQueueBeat* startBeat(palisade_client* c) {
  auto* beat = new MainQueueBeat;
  beat->wake = fcntl(c->wake[1], F_DUPFD_CLOEXEC, 0);
  beat->timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue());
  if (beat->wake < 0 || !beat->timer) {
    if (beat->timer)
      dispatch_release(beat->timer);
    beat->owners = 1;
    letGo(beat);
    return nullptr;  // no keep-alives: the hold is lost, as it should be when nothing can prove life
  }
  auto interval = uint64_t(c->interval * 1e9);
  auto leeway = uint64_t(std::min(c->interval / 10, kMaxLeewaySeconds) * 1e9);
  dispatch_set_context(beat->timer, beat);
  dispatch_source_set_event_handler_f(beat->timer, beatFired);
  dispatch_set_finalizer_f(beat->timer, [](void* context) { letGo(static_cast<MainQueueBeat*>(context)); });
  dispatch_source_set_timer(beat->timer, dispatch_time(DISPATCH_TIME_NOW, int64_t(interval)), interval, leeway);
  dispatch_resume(beat->timer);
  return beat;
}

void stopBeat(MainQueueBeat* beat) {
  dispatch_source_cancel(beat->timer);
  dispatch_release(beat->timer);  // the finalizer lets go of the timer's share
  letGo(beat);
}

bool takeBeat(MainQueueBeat* beat) { return beat && beat->ran.exchange(false); }

}  // namespace

bool mainQueueSourceAvailable() { return true; }

#else

struct MainQueueBeat {};

namespace {
MainQueueBeat* startBeat(palisade_client*) { return nullptr; }
void stopBeat(MainQueueBeat*) {}
bool takeBeat(MainQueueBeat*) { return false; }
}  // namespace

bool mainQueueSourceAvailable() { return false; }

#endif

void startKeepAlives(palisade_client* c, double now) {
  c->lastKeepAlive = now;  // the helper counts its silence from the engage
  c->nextKeepAlive = now + c->interval;
  c->keepAliveAsked = false;
  if (c->source == PALISADE_KEEP_ALIVE_MAIN_QUEUE && !c->beat)
    c->beat = startBeat(c);
  if (!c->activity)
    c->activity = beginAppActivity();
}

void stopKeepAlives(palisade_client* c) {
  if (c->beat)
    stopBeat(c->beat);
  c->beat = nullptr;
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
