// What client_cost's modes measure a thread or the process by: context
// switches and CPU time, read before and after a window and printed as
// "key value" lines for bench/run.py.
#pragma once

#include <sys/types.h>

#include <set>
#include <vector>

#include "palisade/client.h"

namespace bench {

/// Prints "client_cost: what" and exits 1.
[[noreturn]] void die(const char* what);

/// The monotonic clock in seconds: palisade-sim's trace clock.
double now();

/// The ids of this process's threads now.
std::set<pid_t> tasks();

/// The threads that are here now and were not in `before`.
std::vector<pid_t> tasksSince(const std::set<pid_t>& before);

struct Sample {
  long voluntary = 0, involuntary = 0;  // context switches
  long long cpu = 0;                    // ns
};

/// The sum over these threads of this process; each must still run.
Sample sample(const std::vector<pid_t>& tids);

/// The whole process: every thread it has had, libdispatch's own included.
Sample processSample();

/// Opens a client with `options`, engages it and waits past the spawn and
/// the engage. Returns it; `threads` gets those palisade_open started.
palisade_client* openEngaged(const palisade_options& options, std::vector<pid_t>& threads);

/// Prints WHO_voluntary, WHO_involuntary and WHO_cpu_ns, from a to b.
void print(const char* who, const Sample& a, const Sample& b);

}  // namespace bench
