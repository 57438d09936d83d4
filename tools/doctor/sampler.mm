#include "tools/doctor/sampler.h"

#import <Foundation/Foundation.h>

#include <chrono>
#include <utility>

#include "tools/doctor/observe.h"

namespace {

constexpr NSTimeInterval kInterval = 0.010;  // a few of the helper's 2 ms ticks

struct Sampling {
  NSTimer* timer;
  pid_t pid = 0;
  std::chrono::steady_clock::time_point start;
  std::vector<Sample> samples;
};

Sampling& sampling() {
  static Sampling state;
  return state;
}

void takeSample() {
  Sampling& state = sampling();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - state.start).count();
  state.samples.push_back({seconds, activationPolicy(state.pid), dockSeenNow(dockWindows())});
}

}  // namespace

void startSampling(pid_t pid) {
  Sampling& state = sampling();
  state.pid = pid;
  state.start = std::chrono::steady_clock::now();
  state.samples.clear();
  takeSample();
  state.timer = [NSTimer scheduledTimerWithTimeInterval:kInterval
                                                repeats:YES
                                                  block:^(NSTimer* timer) {
                                                    (void)timer;
                                                    takeSample();
                                                  }];
  state.timer.tolerance = 0;
}

std::vector<Sample> stopSampling() {
  Sampling& state = sampling();
  [state.timer invalidate];
  state.timer = nil;
  return std::move(state.samples);
}
