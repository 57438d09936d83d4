// The helper's activation policy and the Dock's windows, sampled every
// 10 ms from the helper's start to its exit, so that a moment when it was
// regular with the Dock in sight shows. Main thread only.
#pragma once

#include <sys/types.h>

#include <vector>

#include "tools/doctor/dock_sight.h"

/// Takes a first sample of `pid` now, then one every 10 ms for as long as
/// this process takes events (takeEvents), until stopSampling.
void startSampling(pid_t pid);

/// Stops and returns the samples taken since startSampling.
std::vector<Sample> stopSampling();
