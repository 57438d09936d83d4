// client_cost mainqueue HELPER SECONDS: what keep-alives from the main queue
// cost the application's main thread while engaged, beside keep-alives from
// the client's own thread, whose cost to it is only that of draining an idle
// queue. For each source in turn, an engaged client on HELPER for SECONDS:
//   SOURCE_seconds, SOURCE_held (1: holding at the end, no hold lost), and
//   SOURCE_main_*, SOURCE_client_*, SOURCE_process_* with _voluntary,
//   _involuntary (context switches) and _cpu_ns: the main thread, the
//   threads palisade_open started, and every thread of the process
//   (libdispatch's, which fire the main queue's timers, included).
// SOURCE is main_queue, then client_thread.
#pragma once

namespace bench {

/// Runs the measure above on the calling thread, which must be the main
/// thread: it drains the main queue meanwhile. Returns the exit status.
int mainQueueCost(const char* helper, double seconds);

}  // namespace bench
