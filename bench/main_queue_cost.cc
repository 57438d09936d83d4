#include "main_queue_cost.h"

#include <dispatch/dispatch.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "measure.h"
#include "platform/linux/main_queue.h"
#include "palisade/client.h"


namespace bench {

namespace {

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
  std::atomic<bool> stop{false};
  std::thread measuring([&] {
    measure("main_queue", PALISADE_KEEP_ALIVE_MAIN_QUEUE, helper, seconds);
    measure("client_thread", PALISADE_KEEP_ALIVE_CLIENT_THREAD, helper, seconds);
    dispatch_async_f(dispatch_get_main_queue(), &stop,
                     [](void* flag) { *static_cast<std::atomic<bool>*>(flag) = true; });
  });
  // The main thread's loop, the helper's own on Linux: dispatch_main()
  // would end the thread, and an ended thread has nothing left to measure.
  while (!stop)
    drainMainQueueOnce();
  measuring.join();
  return 0;
}

}  // namespace bench
