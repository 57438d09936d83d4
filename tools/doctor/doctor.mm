// palisade-doctor: on the Mac where the Dock does not hide, starts the
// helper, engages and releases it while watching from beside it, and prints
// what it saw as one table to paste into a report.
//
//   palisade-doctor [HELPER]
//
// HELPER: the helper executable to check; without one, the helper the
// client library finds when given no path. Exit status 0 when every check
// passed, 1 when one failed (its row says no), 2 when this process has no
// window-server session and nothing could be checked, 64 on a usage error.
// The workflow's activation experiment (tests/macos/activation.sh) reads the
// rows by their names: rename one there too.
#import <Foundation/Foundation.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "palisade/client.h"
#include "tools/doctor/helper_run.h"
#include "tools/doctor/observe.h"
#include "windowserver/front_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// A cold start loads AppKit and the private framework before the first tick.
constexpr double kEngageWait = 10;
constexpr double kReleaseWait = 5;
constexpr double kExitWait = 10;
// The client's default; the helper lets go after 3 s without one.
constexpr double kKeepAliveInterval = 0.5;
constexpr double kPoll = 0.005;  // a few of the helper's 2 ms ticks
constexpr size_t kOutputShown = 300;
constexpr int kUsage = 64;  // sysexits' EX_USAGE

enum class Mark { info, yes, no };

struct Row {
  std::string check;
  std::string result;
  Mark mark;
};

struct Report {
  std::vector<Row> rows;
  bool failed = false;
};

void add(Report& report, std::string check, std::string result, Mark mark = Mark::info) {
  report.failed = report.failed || mark == Mark::no;
  report.rows.push_back({std::move(check), std::move(result), mark});
}

// A table cell on one line: a '|' or a line break would end it early.
std::string cell(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char escaped[8];
    if (c == '|')
      out += "\\|";
    else if (c == '\n')
      out += "\\n";
    else if (c < 0x20 || c == 0x7f) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else
      out += char(c);
  }
  return out;
}

void print(const Report& report) {
  std::printf("| check | result | ok |\n|---|---|---|\n");
  for (const Row& row : report.rows)
    std::printf("| %s | %s | %s |\n", row.check.c_str(), cell(row.result).c_str(),
                row.mark == Mark::yes ? "yes" : row.mark == Mark::no ? "no" : "");
  std::printf("\npalisade-doctor: %s\n", report.failed ? "FAIL (see the rows marked no)" : "pass");
}

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", value);
  return text;
}

struct Sight {
  FrontReading front;
  uint64_t options;
};

Sight look() { return {readFront(), presentationOptions()}; }

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
void engage(HelperRun& run, Report& report) {
  auto start = Clock::now();
  bool sent = sendWord(run, "engage");
  double toFront = -1, lastKeepAlive = 0;
  Sight now{};
  for (;;) {
    now = look();
    double elapsed = since(start);
    if (toFront < 0 && now.front.pid == run.pid)
      toFront = elapsed;
    bool hidden = std::strcmp(dockState(now.options), "hidden") == 0;
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
  bool hidden = std::strcmp(dockState(now.options), "hidden") == 0;
  add(report, "Dock hidden", (hidden ? "yes: " : "no: ") + dock(now), hidden ? Mark::yes : Mark::no);
  add(report, "helper's policy while engaged", activationPolicy(run.pid));
}

// Releases and waits for the front and the Dock to be as before engage.
void release(HelperRun& run, const Sight& before, Report& report) {
  auto start = Clock::now();
  bool sent = sendWord(run, "release");
  Sight now{};
  auto restored = [&] { return before.front.pid != 0 && now.front.pid == before.front.pid; };
  auto dockBack = [&] { return std::strcmp(dockState(now.options), dockState(before.options)) == 0; };
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
  add(report, "Dock after release", dock(now) + (dockBack() ? ", as before engage" : "; not as before engage"),
      dockBack() ? Mark::yes : Mark::no);
}

// Ends its input, which ends it, and reports how it ended and what it wrote.
void finish(HelperRun& run, Report& report) {
  closeInput(run);
  auto start = Clock::now();
  int status = 0;
  bool exited;
  while (!(exited = reapHelper(run, status)) && since(start) < kExitWait)
    takeEvents(0.05);
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

void examine(const char* given, Report& report) {
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
  HelperRun run;
  if (!startHelper(path.c_str(), run, why)) {
    add(report, "helper started", why, Mark::no);
    return;
  }
  engage(run, report);
  release(run, before, report);
  finish(run, report);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && (argv[1][0] == '-' || argv[1][0] == '\0'))) {
    std::fprintf(stderr, "usage: palisade-doctor [HELPER]\n");
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
    examine(argc == 2 ? argv[1] : nullptr, report);
    print(report);
    return report.failed ? 1 : 0;
  }
}
