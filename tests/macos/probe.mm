// A probe for the macOS workflow, run beside a helper as a second process:
// which process is front and whether the active application's presentation
// options hide the Dock, seen as palisade-doctor sees them.
//
//   palisade_probe [--send WORD] [--front PID] [--dock hidden|shown] [--within SECONDS]
//
// --send first writes WORD and LF to descriptor 3, the helper's input that
// the caller holds open, so that the time counts from the command. It then
// watches until the front is PID and the Dock is as asked, or the time is up
// (10 s unless given), and prints one line:
//
//   front=PID dock=hidden|autohide|shown options=0xHEX seconds=S|-
//
// seconds: when PID was first seen front ("-": not asked for, or never).
// Exit status 0 when what was asked for held; 1 when it did not, the word
// could not be sent, or the front could not be read (the reason goes to
// stderr); 2 only when this process has no window-server session.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "tools/doctor/observe.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kPoll = 0.005;  // a few of the helper's 2 ms ticks
constexpr Seconds kFirstFrontWait{1};  // for the session's first answer
constexpr int kCommandFd = 3;

// Up to kFirstFrontWait for a front: with a session, one that cannot be read
// is a fault of its own (an entry point the system no longer has), not a
// headless runner.
FrontReading firstFront() {
  auto deadline = Clock::now() + kFirstFrontWait;
  FrontReading front;
  while ((front = readFront()).pid == 0 && Clock::now() < deadline)
    takeEvents(kPoll);
  return front;
}

}  // namespace

int main(int argc, char** argv) {
  const char* word = nullptr;
  const char* wantedDock = nullptr;
  pid_t wantedFront = 0;
  Seconds within{10};
  for (int i = 1; i < argc; i += 2) {
    std::string_view option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value && option == "--send")
      word = value;
    else if (value && option == "--front")
      wantedFront = pid_t(std::atol(value));
    else if (value && option == "--dock")
      wantedDock = value;
    else if (value && option == "--within")
      within = Seconds(std::atof(value));
    else {
      std::fprintf(stderr, "usage: palisade_probe [--send WORD] [--front PID] [--dock hidden|shown] "
                           "[--within SECONDS]\n");
      return 1;
    }
  }

  @autoreleasepool {
    if (!startObserving()) {
      std::fprintf(stderr, "palisade_probe: this process has no window-server session\n");
      return 2;
    }
    FrontReading first = firstFront();
    if (first.pid == 0) {
      std::fprintf(stderr, "palisade_probe: the front process cannot be read: %s\n", first.failure);
      return 1;
    }
    signal(SIGPIPE, SIG_IGN);  // a helper already gone is a failed write, not our end
    if (word && dprintf(kCommandFd, "%s\n", word) < 0) {
      std::perror("palisade_probe: sending to descriptor 3");
      return 1;
    }

    auto start = Clock::now();
    double seconds = -1;
    FrontReading front;
    uint64_t options;
    bool held;
    for (;;) {
      front = readFront();
      options = presentationOptions();
      if (seconds < 0 && wantedFront != 0 && front.pid == wantedFront)
        seconds = Seconds(Clock::now() - start).count();
      held = (wantedFront == 0 || front.pid == wantedFront) &&
             (!wantedDock || std::strcmp(dockState(options), wantedDock) == 0);
      if (held || Clock::now() - start >= within)
        break;
      takeEvents(kPoll);
    }
    std::printf("front=%d dock=%s options=0x%llx", int(front.pid), dockState(options), (unsigned long long)options);
    if (seconds < 0)
      std::printf(" seconds=-\n");
    else
      std::printf(" seconds=%.3f\n", seconds);
    if (front.pid == 0)
      std::fprintf(stderr, "palisade_probe: the front process could not be read at the end: %s\n", front.failure);
    return held ? 0 : 1;
  }
}
