// The simulated server as control lines set it: the numbers in each window
// record, read whatever their kind and however they are written, and the
// Dock, which follows the front process's own UI mode.
#include "sim/window_server.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/sim_trace.h"

namespace {

WindowRecord onlyWindow(const char* line) {
  EXPECT_TRUE(applyControl(line));
  std::optional<std::vector<WindowRecord>> windows = copyWindowList();
  EXPECT_TRUE(windows && windows->size() == 1);
  return windows && windows->size() == 1 ? windows->front() : WindowRecord{};
}

TEST(SimWindowServer, RecordsReadEachFieldAtItsKind) {
  WindowRecord w = onlyWindow("windows 7,9,-3,0.25,640.5,1e2");
  EXPECT_EQ(w.ownerPID.entry, Entry::present);
  EXPECT_EQ(w.ownerPID.value, 7);
  EXPECT_EQ(w.number.value, 9u);
  EXPECT_EQ(w.layer.value, -3);
  EXPECT_EQ(w.alpha.entry, Entry::present);
  EXPECT_EQ(w.alpha.value, 0.25);
  EXPECT_EQ(w.bounds.entry, Entry::present);
  EXPECT_EQ(w.bounds.value.width, 640.5);
  EXPECT_EQ(w.bounds.value.height, 100);

  // Only a whole token is a number: trailing text, a fraction where an
  // integer goes, a value out of range and leading blanks make the field
  // of the wrong kind; "-" leaves it absent.
  w = onlyWindow("windows 7x,9.5,-,0.5x,1e999,5");
  EXPECT_EQ(w.ownerPID.entry, Entry::wrongKind);
  EXPECT_EQ(w.number.entry, Entry::wrongKind);
  EXPECT_EQ(w.layer.entry, Entry::absent);
  EXPECT_EQ(w.alpha.entry, Entry::wrongKind);
  EXPECT_EQ(w.bounds.entry, Entry::wrongKind);
  w = onlyWindow("windows \t7,\v9,\f-3,\r0.5,\t640,\t480");
  for (Entry entry : {w.ownerPID.entry, w.number.entry, w.layer.entry, w.alpha.entry, w.bounds.entry})
    EXPECT_EQ(entry, Entry::wrongKind);
}

// Every mode but 0 keeps the Dock out of sight while its process is front
// (1 and 4 let it slide in only at the pointer), unless that process is an
// accessory; a mode above 4 is refused. The Dock line names each new front.
TEST(SimWindowServer, TheDockFollowsTheFrontProcessModeAndPolicy) {
  TraceCapture trace;
  applyControl("live 4242 4343");
  applyControl("front 0");
  trace.take();
  const std::pair<const char*, std::vector<std::string>> steps[] = {
      // control line → what the trace shows after its ctl line
      {"uiMode 4242 1", {}},  // not front: nothing to see
      {"front 4242", {"dock hidden 4242"}},
      {"uiMode 4242 0", {"dock shown 4242"}},
      {"uiMode 4242 4", {"dock hidden 4242"}},
      {"uiMode 4242 5", {}},  // refused: still 4
      {"policy 4242 accessory", {"dock shown 4242"}},  // its mode is ignored
      {"uiMode 4242 2", {}},
      {"policy 4242 regular", {"dock hidden 4242"}},
      {"uiMode 4343 3", {}},
      {"front 4343", {"dock hidden 4343"}},  // hidden by its own mode too
      {"uiMode 4343 0", {"dock shown 4343"}},
      {"policy 4343 accessory", {}},
      {"front 0", {"dock shown 0"}},
      {"front 4242", {"dock hidden 4242"}},
      {"uiMode 4242 0", {"dock shown 4242"}},  // as every test starts
      {"policy 4343 regular", {}},
  };
  const std::string ownPolicy = "policy " + std::to_string(getpid()) + " regular";
  for (const auto& [line, shown] : steps) {
    bool refused = !applyControl(line);
    std::vector<std::string> events = trace.take();
    if (!refused)
      events.erase(events.begin());  // its ctl line
    EXPECT_EQ(events, shown) << line;
    EXPECT_EQ(refused, std::string(line) == "uiMode 4242 5") << line;
  }
  // The helper's policy is its own to set.
  EXPECT_FALSE(applyControl(ownPolicy));
}

// Hidden while front, the helper hands the front to the owner of the top
// window the release would pick, among live processes; else to no one.
TEST(SimWindowServer, HidingTheFrontHelperHandsTheFrontOn) {
  TraceCapture trace;
  const std::string own = std::to_string(getpid());
  applyControl("live 4242 4343");
  applyControl("gone 4444");
  const std::pair<std::string, pid_t> scenes[] = {
      // on top: the helper's own window, a small one, one of a process
      // gone, then 4242's
      {"windows " + own + ",1,0,1,640,480 4343,2,0,1,40,40 4444,3,0,1,640,480 4242,4,0,1,640,480", 4242},
      {"windows 4444,3,0,1,640,480", 0},
      {"windows", 0},
  };
  for (const auto& [windows, next] : scenes) {
    applyControl(windows);
    applyControl("front " + own);
    trace.take();
    hideApplication();
    EXPECT_EQ(simFrontPID(), next) << windows;
    EXPECT_EQ(trace.take(), (std::vector<std::string>{"hide", "dock shown " + std::to_string(next)})) << windows;
  }
  // Not front: the front stays where it is.
  applyControl("windows 4242,4,0,1,640,480");
  applyControl("front 4343");
  hideApplication();
  EXPECT_EQ(simFrontPID(), 4343);
}

}  // namespace
