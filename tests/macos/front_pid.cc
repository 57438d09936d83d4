// A tool for the macOS workflow: prints the front process's pid, read through
// the helper's own front-process binding. Given a pid, it instead waits up to
// kWait for that process to be front, prints the last front pid seen, and
// fails if it never was.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "windowserver/front_process.h"

using namespace std::chrono_literals;

constexpr auto kWait = 1s;       // what the workflow allows the helper to take the front
constexpr auto kPoll = 5ms;      // a few ticks of the helper's 2 ms re-assertion

int main(int argc, char** argv) {
  pid_t front = frontmostPID();
  if (front == 0) {
    std::fprintf(stderr,
                 "front_pid: no front process can be read; this session has no window server "
                 "(or the front-process calls could not be bound)\n");
    return 2;
  }
  if (argc > 1) {
    pid_t wanted = pid_t(std::atol(argv[1]));
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (front != wanted && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(kPoll);
      front = frontmostPID();
    }
    std::printf("%d\n", int(front));
    return front == wanted ? 0 : 1;
  }
  std::printf("%d\n", int(front));
  return 0;
}
