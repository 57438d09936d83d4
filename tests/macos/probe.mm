// A probe for the macOS workflow, run beside the helper as a second process:
// which process is front, read through the helper's own front-process
// binding, and whether the active application's presentation options hide
// the Dock.
//
//   palisade_probe [--send WORD] [--front PID] [--dock hidden|shown] [--within SECONDS]
//
// --send first writes WORD and LF to descriptor 3, the helper's input that
// the caller holds open, so that the time counts from the command. It then
// reads until the front is PID and the Dock is as asked, or the time is up
// (10 s unless given), and prints one line:
//
//   front=PID dock=hidden|autohide|shown options=0xHEX seconds=S|-
//
// seconds: when PID was first seen front ("-": not asked for, or never).
// Exit status 0 when what was asked for held, 1 when it did not or the word
// could not be sent, 2 when no front process can be read: a runner with no
// window-server session.
#import <AppKit/AppKit.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "windowserver/front_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr auto kPoll = std::chrono::milliseconds(5);  // a few of the helper's 2 ms ticks
constexpr Seconds kSessionWait{1};  // for a first front, before calling the session headless
constexpr int kCommandFd = 3;

const char* dockState(NSApplicationPresentationOptions options) {
  if (options & NSApplicationPresentationHideDock)
    return "hidden";
  if (options & NSApplicationPresentationAutoHideDock)
    return "autohide";
  return "shown";
}

// Lets AppKit take in whatever the window server has sent, then waits.
void awaitNextPoll() {
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true);
  std::this_thread::sleep_for(kPoll);
}

pid_t firstFront() {
  auto deadline = Clock::now() + kSessionWait;
  pid_t front;
  while ((front = frontmostPID()) == 0 && Clock::now() < deadline)
    awaitNextPoll();
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
    // Connects to the window server, which the presentation options come from.
    [NSApplication sharedApplication];
    if (firstFront() == 0) {
      std::fprintf(stderr, "palisade_probe: no front process can be read: this session has no window "
                           "server (or the front-process calls could not be bound)\n");
      return 2;
    }
    signal(SIGPIPE, SIG_IGN);  // a helper already gone is a failed write, not our end
    if (word && dprintf(kCommandFd, "%s\n", word) < 0) {
      std::perror("palisade_probe: sending to descriptor 3");
      return 1;
    }

    auto start = Clock::now();
    double seconds = -1;
    pid_t front;
    NSApplicationPresentationOptions options;
    bool held;
    for (;;) {
      front = frontmostPID();
      options = NSApp.currentSystemPresentationOptions;
      if (seconds < 0 && wantedFront != 0 && front == wantedFront)
        seconds = Seconds(Clock::now() - start).count();
      held = (wantedFront == 0 || front == wantedFront) &&
             (!wantedDock || std::strcmp(dockState(options), wantedDock) == 0);
      if (held || Clock::now() - start >= within)
        break;
      awaitNextPoll();
    }
    std::printf("front=%d dock=%s options=0x%lx", int(front), dockState(options), (unsigned long)options);
    if (seconds < 0)
      std::printf(" seconds=-\n");
    else
      std::printf(" seconds=%.3f\n", seconds);
    return held ? 0 : 1;
  }
}
