// Captures the simulated window server's trace inside a unit test.
#pragma once

#include <string>
#include <vector>

struct TraceCapture {
  TraceCapture();
  ~TraceCapture();
  /// Events traced since the last call, without their time stamps.
  std::vector<std::string> take();
  int fds[2];
};

/// Runs what is queued on the main queue, as the helper's main loop would.
void drainMainQueue();
