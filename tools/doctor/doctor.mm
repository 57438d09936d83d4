// palisade-doctor: on the Mac where the Dock does not hide, starts the
// helper, engages and releases it while watching from beside it, and prints
// what it saw as one table to paste into a report.
//
//   palisade-doctor [--screenshots DIR] [HELPER]
//
// HELPER: the helper executable to check; without one, the helper the
// client library finds when given no path. --screenshots saves the screen
// while holding and after release as DIR/holding.png and DIR/released.png.
// Exit status 0 when every check passed, 1 when one failed (its row says
// no), 2 when this process has no window-server session and nothing could
// be checked, 64 on a usage error.
// The workflow's activation experiment (tests/macos/activation.sh) reads the
// rows by their names: rename one there too.
#import <Foundation/Foundation.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "palisade/client.h"
#include "tools/doctor/dock_sight.h"
#include "tools/doctor/helper_run.h"
#include "tools/doctor/observe.h"
#include "tools/doctor/report.h"
#include "tools/doctor/sampler.h"
#include "tools/doctor/screenshot.h"
#include "windowserver/front_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// A cold start loads AppKit and the private framework before the first tick.
constexpr double kEngageWait = 10;
constexpr double kReleaseWait = 5;
constexpr double kExitWait = 10;
constexpr double kScreenshotWait = 10;
// The client's default; the helper lets go after 3 s without one.
constexpr double kKeepAliveInterval = 0.5;
constexpr double kPoll = 0.005;  // a few of the helper's 2 ms ticks
constexpr size_t kOutputShown = 300;
constexpr size_t kDockWindowsShown = 6;
constexpr int kUsage = 64;  // sysexits' EX_USAGE

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", value);
  return text;
}

// The front, what the active application asked of the Dock, and what the
// Dock's own windows show.
struct Sight {
  FrontReading front;
  uint64_t options;
  std::vector<DockWindow> windows;
  DockSeen seen;
};

Sight look() {
  std::vector<DockWindow> windows = dockWindows();
  DockSeen seen = dockSeenNow(windows);
  return {readFront(), presentationOptions(), std::move(windows), seen};
}

std::string dockWindowsRow(const Sight& sight) {
  return std::string(dockSeenName(sight.seen)) + ": " + describeDockWindows(sight.windows, kDockWindowsShown);
}

// Saved under `directory` when one was given; a hold is kept alive meanwhile.
void saveScreen(HelperRun& run, const char* directory, const char* name, bool holding, Report& report) {
  if (!directory)
    return;
  std::string file = std::string(directory) + "/" + name + ".png";
  double lastKeepAlive = -kKeepAliveInterval;
  auto start = Clock::now();
  std::string failed = screenshot(file, kScreenshotWait, [&] {
    if (holding && since(start) - lastKeepAlive >= kKeepAliveInterval) {
      sendWord(run, "keepAlive");
      lastKeepAlive = since(start);
    }
    takeEvents(kPoll);
  });
  add(report, std::string("screenshot ") + (holding ? "while holding" : "after release"),
      failed.empty() ? file : failed);
}

std::string describe(const FrontReading& front) {
  return front.pid ? describeProcess(front.pid) : std::string("unreadable: ") + front.failure;
}

std::string dock(const Sight& sight) {
  char text[48];
  std::snprintf(text, sizeof text, "%s (options 0x%llx)", dockState(sight.options),
                (unsigned long long)sight.options);
  return text;
}

std::string systemDescription() {
  NSString* versionString = NSProcessInfo.processInfo.operatingSystemVersionString;  // held while read
  const char* version = versionString.UTF8String;
  utsname names{};
  uname(&names);
  return std::string(version ? version : "unknown") + ", " + names.machine;
}

// The helper's embedded Info.plist, which says whether it was built as an agent.
std::string bundleInfo(const std::string& path) {
  @autoreleasepool {
    NSString* file = [NSString stringWithUTF8String:path.c_str()];
    if (!file)
      return "unread: the path is not UTF-8";
    NSURL* url = [NSURL fileURLWithPath:file];
    NSDictionary* info = CFBridgingRelease(CFBundleCopyInfoDictionaryForURL((__bridge CFURLRef)url));
    if (!info)
      return "none embedded";
    id agent = info[@"LSUIElement"];
    bool isAgent = [agent respondsToSelector:@selector(boolValue)] && [agent boolValue];
    NSString* text = [NSString stringWithFormat:@"%@ %@, LSUIElement %s", info[@"CFBundleIdentifier"] ?: @"(no identifier)",
                                                info[@"CFBundleShortVersionString"] ?: @"(no version)",
                                                isAgent ? "yes" : "no"];
    const char* utf8 = text.UTF8String;
    return utf8 ? utf8 : "";
  }
}

// Bound here from the library the helper loads, so what holds here holds there.
void checkCalls(Report& report) {
  std::string missing;
  for (FrontCall call : frontCalls())
    if (!call.bound)
      missing += (missing.empty() ? "" : ", ") + std::string(call.name);
  add(report, "private calls bound", missing.empty() ? "all 4" : "missing: " + missing,
      missing.empty() ? Mark::yes : Mark::no);
}

// Engages, keeping the hold alive, until the helper is front with the Dock
// hidden or the time is up.
void engage(HelperRun& run, const Sight& before, Report& report) {
  auto start = Clock::now();
  bool sent = sendWord(run, "engage");
  double toFront = -1, lastKeepAlive = 0;
  Sight now{};
  for (;;) {
    now = look();
    double elapsed = since(start);
    if (toFront < 0 && now.front.pid == run.pid)
      toFront = elapsed;
    bool hidden = judgeDock(dockState(now.options), now.seen, before.seen).hidden;
    if (!sent || (now.front.pid == run.pid && hidden) || elapsed >= kEngageWait)
      break;
    if (elapsed - lastKeepAlive >= kKeepAliveInterval) {
      sent = sendWord(run, "keepAlive");
      lastKeepAlive = elapsed;
    }
    takeEvents(kPoll);
  }
  std::string gone = sent ? "" : "; the helper stopped reading its input";
  if (toFront >= 0)
    add(report, "took the front", "yes, " + seconds(toFront) + " after engage" + gone, Mark::yes);
  else
    add(report, "took the front", "no: front at the end, " + describe(now.front) + gone, Mark::no);
  DockVerdict verdict = judgeDock(dockState(now.options), now.seen, before.seen);
  add(report, "Dock hidden", (verdict.hidden ? "yes: " : "no: ") + verdict.text + "; options " + dock(now),
      verdict.hidden ? Mark::yes : Mark::no);
  add(report, "Dock's windows while holding", dockWindowsRow(now));
  add(report, "helper's policy while engaged", activationPolicy(run.pid));
  add(report, "helper owns the menu bar while engaged", ownsMenuBar(run.pid));
}

// Releases and waits for the front and the Dock to be as before engage.
void release(HelperRun& run, const Sight& before, Report& report) {
  auto start = Clock::now();
  bool sent = sendWord(run, "release");
  Sight now{};
  auto restored = [&] { return before.front.pid != 0 && now.front.pid == before.front.pid; };
  // By the windows where they were read both times, else by the options.
  auto dockBack = [&] {
    if (before.seen != DockSeen::unknown && now.seen != DockSeen::unknown)
      return now.seen == before.seen;
    return std::strcmp(dockState(now.options), dockState(before.options)) == 0;
  };
  for (;;) {
    now = look();
    if (!sent || (restored() && dockBack()) || since(start) >= kReleaseWait)
      break;
    takeEvents(kPoll);
  }
  std::string after = describe(now.front);
  add(report, "front after release",
      restored() ? after + ", as before engage" : after + "; before engage: " + describe(before.front),
      restored() ? Mark::yes : Mark::no);
  add(report, "Dock after release",
      std::string(dockSeenName(now.seen)) + ", options " + dock(now) +
          (dockBack() ? ", as before engage" : "; not as before engage"),
      dockBack() ? Mark::yes : Mark::no);
  add(report, "Dock's windows after release", dockWindowsRow(now));
}

// Ends its input, which ends it, and reports how it ended and what it wrote.
void finish(HelperRun& run, Report& report) {
  closeInput(run);
  auto start = Clock::now();
  int status = 0;
  bool exited;
  while (!(exited = reapHelper(run, status)) && since(start) < kExitWait)
    takeEvents(0.05);
  std::vector<Sample> samples = stopSampling();
  add(report, "helper's policy, every 10 ms", describeTimeline(samples));
  add(report, "helper regular with the Dock on screen", regularWithDockShown(samples));
  size_t total = 0;
  std::string output = helperOutput(run, kOutputShown, total);
  std::string wrote = total == 0 ? "wrote nothing" : "wrote " + std::to_string(total) + " bytes";
  if (!exited) {
    killHelper(run);
    add(report, "helper's exit", "still running " + seconds(kExitWait) + " after its input closed: killed; " + wrote,
        Mark::no);
  } else if (WIFEXITED(status)) {
    bool clean = WEXITSTATUS(status) == 0 && total == 0;
    add(report, "helper's exit", "exit " + std::to_string(WEXITSTATUS(status)) + ", " + wrote,
        clean ? Mark::yes : Mark::no);
  } else {
    add(report, "helper's exit", std::string("killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
                                     strsignal(WTERMSIG(status)) + "), " + wrote, Mark::no);
  }
  if (total > 0)
    add(report, "helper's output", output + (total > output.size() ? " ..." : ""));
}

void examine(const char* given, const char* screenshots, Report& report) {
  std::string why;
  std::string path = given ? given : searchedHelper(why);
  if (path.empty()) {
    add(report, "helper", why, Mark::no);
    return;
  }
  add(report, "helper", path + (given ? "" : " (found by the client's search)"));
  add(report, "helper's Info.plist", bundleInfo(path));
  checkCalls(report);
  Sight before = look();
  add(report, "front before engage", describe(before.front) + ", Dock " + dock(before),
      before.front.pid ? Mark::info : Mark::no);
  add(report, "Dock's windows before engage", dockWindowsRow(before));
  HelperRun run;
  if (!startHelper(path.c_str(), run, why)) {
    add(report, "helper started", why, Mark::no);
    return;
  }
  startSampling(run.pid);
  engage(run, before, report);
  saveScreen(run, screenshots, "holding", true, report);
  release(run, before, report);
  saveScreen(run, screenshots, "released", false, report);
  finish(run, report);
}

}  // namespace

int main(int argc, char** argv) {
  const char* screenshots = nullptr;
  int first = 1;
  if (argc >= 3 && std::strcmp(argv[1], "--screenshots") == 0) {
    screenshots = argv[2];
    first = 3;
  }
  const char* helper = first < argc ? argv[first] : nullptr;
  struct stat folder;
  if (argc > first + 1 || (helper && (helper[0] == '-' || helper[0] == '\0')) ||
      (screenshots && (stat(screenshots, &folder) != 0 || !S_ISDIR(folder.st_mode)))) {
    std::fprintf(stderr, "usage: palisade-doctor [--screenshots DIR] [HELPER] (DIR an existing folder)\n");
    return kUsage;
  }
  @autoreleasepool {
    if (!startObserving()) {
      std::printf("palisade-doctor: no window-server session here, so nothing was checked: run it in "
                  "Terminal at the Mac, as the user whose Dock does not hide\n");
      return 2;
    }
    signal(SIGPIPE, SIG_IGN);  // a helper gone is a failed write, reported, not our end
    Report report;
    add(report, "doctor", palisade_version());
    add(report, "macOS", systemDescription());
    examine(helper, screenshots, report);
    print(report);
    return report.failed ? 1 : 0;
  }
}
