#include "main_queue_cost.h"

#include <dispatch/dispatch.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "measure.h"
#include "palisade/client.h"

// Exported by libdispatch for run loops that drain the main queue on the
// main thread; not in its public headers.
extern "C" int _dispatch_get_main_queue_handle_4CF(void);
extern "C" void _dispatch_main_queue_callback_4CF(void* message);

namespace bench {

namespace {

// The main thread's loop, as the helper's own on Linux: dispatch_main()
// would end the thread, and an ended thread has nothing left to measure.
// `handle` is the main queue's; returns once a function it ran has set
// `stop`.
void drainMainQueue(int handle, const std::atomic<bool>& stop) {
  while (!stop) {
    pollfd wake{handle, POLLIN, 0};
    if (poll(&wake, 1, -1) < 0)
      continue;  // EINTR
    // libdispatch writes this eventfd and never reads it: reset it, or the
    // next poll returns at once and the loop spins.
    uint64_t count;
    (void)!read(handle, &count, sizeof count);
    _dispatch_main_queue_callback_4CF(nullptr);
  }
}

void countLost(void* lost, palisade_event event, long) {
  if (event == PALISADE_EVENT_HOLD_LOST)
    ++*static_cast<std::atomic<int>*>(lost);
}

// One engaged client whose keep-alives come from `source`, measured for
// `seconds` and printed under `name`.
void measure(const char* name, palisade_keep_alive_source source, const char* helper, double seconds) {
  std::atomic<int> lost{0};
  palisade_options options = {};
  options.helper_path = helper;
  options.keep_alive_source = source;
  options.on_event = countLost;
  options.context = &lost;
  std::vector<pid_t> clientTids;
  palisade_client* client = openEngaged(options, clientTids);

  // The process's totals are read innermost, so that they count none of
  // the reading of the others.
  const std::vector<pid_t> mainThread = {getpid()};
  Sample m0 = sample(mainThread), c0 = sample(clientTids), p0 = processSample();
  double t0 = now();
  usleep(useconds_t(seconds * 1e6));
  Sample p1 = processSample(), m1 = sample(mainThread), c1 = sample(clientTids);
  double span = now() - t0;
  bool held = palisade_client_state(client) == PALISADE_STATE_HOLDING && lost == 0;
  palisade_close(client, 2.0);

  std::string who = name;
  printf("%s_seconds %.3f\n%s_held %d\n", name, span, name, held);
  print((who + "_main").c_str(), m0, m1);
  print((who + "_client").c_str(), c0, c1);
  print((who + "_process").c_str(), p0, p1);
  fflush(stdout);
}

}  // namespace

int mainQueueCost(const char* helper, double seconds) {
  // Asked for before anything is queued, so no wake-up can come first.
  int handle = _dispatch_get_main_queue_handle_4CF();
  std::atomic<bool> stop{false};
  std::thread measuring([&] {
    measure("main_queue", PALISADE_KEEP_ALIVE_MAIN_QUEUE, helper, seconds);
    measure("client_thread", PALISADE_KEEP_ALIVE_CLIENT_THREAD, helper, seconds);
    dispatch_async_f(dispatch_get_main_queue(), &stop,
                     [](void* flag) { *static_cast<std::atomic<bool>*>(flag) = true; });
  });
  drainMainQueue(handle, stop);
  measuring.join();
  return 0;
}

}  // namespace bench
