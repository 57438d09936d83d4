// The C API: options, calls that record what the parent asks for and wake
// the client's thread, and close.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <system_error>

#include "helper_search.h"
#include "keep_alive.h"
#include "process.h"
#include "state.h"
#include "version.h"

#define PALISADE_EXPORT __attribute__((visibility("default")))

using namespace palisade_client_internal;
using namespace palisade_client_process;

void (*palisade_client_internal::afterThreadStarts)() = nullptr;

namespace {

constexpr double kDefaultInterval = 0.5;
constexpr double kMinInterval = 0.01;  // shorter would keep the client's thread busy writing
constexpr double kMaxInterval = 2.0;   // leaves a third of the silence for a late wake-up
constexpr int kDefaultRestarts = 3;
// The longest close we honour (NaN and negative mean none at all).
constexpr double kMaxCloseTimeout = 1e7;

// Runs `act` under the mutex while the client takes calls.
template <typename Act>
palisade_status call(palisade_client* c, Act act) {
  if (!c)
    return PALISADE_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> lock(c->mutex);
  if (c->closing)
    return PALISADE_CLOSED;
  if (c->gone)
    return PALISADE_HELPER_GONE;
  act();
  return PALISADE_OK;
}

palisade_status command(palisade_client* c, Word word) {
  return call(c, [&] { ask(c, word); });
}

// C callers may pass any int where the header says enum; C++ may not look at
// one outside the enum's range, so the value is read as the int it is.
template <typename Enum>
int valueOf(const Enum& value) {
  static_assert(sizeof(Enum) == sizeof(int));
  int number;
  memcpy(&number, &value, sizeof number);
  return number;
}

bool validSource(const palisade_keep_alive_source& source) {
  switch (valueOf(source)) {
    case PALISADE_KEEP_ALIVE_MAIN_QUEUE:
      return mainQueueSourceAvailable();
    case PALISADE_KEEP_ALIVE_CLIENT_THREAD:
    case PALISADE_KEEP_ALIVE_MANUAL:
      return true;
  }
  return false;
}

bool validOptions(const palisade_options* o) {
  double interval = o->keep_alive_interval;
  if (std::isnan(interval) || interval < 0 || interval >= kSilence)
    return false;
  if (!validSource(o->keep_alive_source))
    return false;
  if (o->inherit_fd_count < 0 || (o->inherit_fd_count > 0 && !o->inherit_fds))
    return false;
  const int* targets = o->inherit_fd_targets ? o->inherit_fd_targets : o->inherit_fds;
  long limit = sysconf(_SC_OPEN_MAX);  // no descriptor can have a number past it
  for (int i = 0; i < o->inherit_fd_count; ++i) {
    if (fcntl(o->inherit_fds[i], F_GETFD) < 0 || targets[i] <= 2 || targets[i] >= limit)
      return false;
    if (std::find(targets, targets + i, targets[i]) != targets + i)
      return false;
  }
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
    c->path = options->helper_path ? options->helper_path : findHelper();
    if (c->path.empty()) {  // none found, or "" named: no such file
      errno = ENOENT;
      return PALISADE_SPAWN_FAILED;
    }
    c->interval = kDefaultInterval;
    if (options->keep_alive_interval > 0)
      c->interval = std::clamp(options->keep_alive_interval, kMinInterval, kMaxInterval);
    c->maxRestarts = options->max_restarts != 0 ? options->max_restarts : kDefaultRestarts;
    c->source = options->keep_alive_source;
    c->inherit.assign(options->inherit_fds, options->inherit_fds + options->inherit_fd_count);
    const int* targets = options->inherit_fd_targets ? options->inherit_fd_targets : options->inherit_fds;
    c->targets.assign(targets, targets + options->inherit_fd_count);
    c->onEvent = options->on_event;
    c->context = options->context;
    if (!makePipe(c->wake, true))
      return PALISADE_SPAWN_FAILED;
    if (c->source == PALISADE_KEEP_ALIVE_MAIN_QUEUE && !makeMainQueueBeat(c.get())) {
      errno = ENOMEM;
      return PALISADE_SPAWN_FAILED;
    }
    int input = -1;
    pid_t pid = spawnHelper(c->path.c_str(), c->inherit, c->targets, &input);
    if (pid < 0)
      return PALISADE_SPAWN_FAILED;
    c->pid = pid;
    c->input = input;
    c->watch = watchHelper(pid);
    {
      // Tests stall the opening thread the moment the lock is released, so
      // nothing can come between the unlock and the stall.
      struct StallAfterUnlock {
        ~StallAfterUnlock() {
          if (afterThreadStarts)
            afterThreadStarts();
        }
      } stall;
      // The caller's pointer is set before the thread can deliver an event:
      // a callback for a helper that died at once may use it.
      std::lock_guard<std::mutex> lock(c->mutex);
      c->thread = std::thread(run, c.get());
      *client = c.release();
    }
    return PALISADE_OK;
  } catch (const std::system_error& error) {  // no thread: the destructor undid the rest
    errno = error.code().value();
    return PALISADE_SPAWN_FAILED;
  } catch (...) {  // no memory
    errno = ENOMEM;
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

PALISADE_EXPORT palisade_status palisade_keep_alive(palisade_client* client) {
  return call(client, [&] {
    if (client->wanted != State::idle) {
      client->keepAliveAsked = true;
      wakeThread(client);
    }
  });
}

PALISADE_EXPORT palisade_state palisade_client_state(const palisade_client* client) {
  if (!client)
    return PALISADE_STATE_IDLE;
  std::lock_guard<std::mutex> lock(client->mutex);
  switch (client->wanted) {
    case State::holding:
      return PALISADE_STATE_HOLDING;
    case State::yielded:
      return PALISADE_STATE_YIELDED;
    case State::idle:
      break;
  }
  return PALISADE_STATE_IDLE;
}

PALISADE_EXPORT palisade_status palisade_close(palisade_client* client, double timeout_seconds) {
  if (!client)
    return PALISADE_INVALID_ARGUMENT;
  {
    std::lock_guard<std::mutex> lock(client->mutex);
    if (client->closing)
      return PALISADE_CLOSED;
    client->closing = true;
    stopKeepAlives(client);
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
  switch (valueOf(status)) {
    case PALISADE_OK:
      return "ok";
    case PALISADE_INVALID_ARGUMENT:
      return "invalid argument";
    case PALISADE_SPAWN_FAILED:
      return "the helper could not be started";
    case PALISADE_HELPER_GONE:
      return "the helper died and no restart is left";
    case PALISADE_CLOSED:
      return "the client is closed or closing";
  }
  return "unknown status";
}

PALISADE_EXPORT size_t palisade_helper_places(char* buffer, size_t size) {
  std::string list;
  try {
    for (const std::string& place : helperPlaces())
      list += place + "\n";
  } catch (...) {  // no memory: an empty list, as the buffer says
    list.clear();
  }
  if (size > 0) {
    size_t n = std::min(list.size(), size - 1);
    memcpy(buffer, list.data(), n);
    buffer[n] = '\0';
  }
  return list.size();
}

PALISADE_EXPORT const char* palisade_version(void) { return PALISADE_VERSION; }
