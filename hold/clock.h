// The hold's clock: monotonic, in seconds. Keep-alive ages must not move
// when someone sets the wall clock during a hold.
#pragma once

#include <time.h>

inline double monotonicSeconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}
