// Holds driven end to end through the simulated helper, as a parent
// application drives them, and judged by what the window server saw.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "tests/sim_session.h"

namespace {

constexpr const char* kApp = "800";     // front before the hold
constexpr const char* kThief = "801";   // takes the front during it

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Hold : SimSession {
  Hold() {
    control("live 800 801 802");
    control("front 800");
    control("windows 802,40,0,1,640,480");
  }
  void engage() {
    command("engage");
    next("windowList");
  }
  // Ticks and process lookups, which the tests of engage and steals follow.
  bool routine(const std::string& e) const {
    return e.starts_with("getFront") || e.starts_with("pidForProcess") || e.starts_with("processForPID") ||
           e == holdFront();
  }
  // The events from now until the UI mode is restored, less the routine.
  std::vector<std::string> releaseEvents() {
    std::vector<std::string> events;
    for (std::string e; (e = next("", 10)) != "uiMode 0 0" && !e.empty();)
      if (!routine(e))
        events.push_back(e);
    return events;
  }
};

using Events = std::vector<std::string>;

TEST_F(Hold, EngageReadsTheFrontThenHidesTheDockThenTakesTheFront) {
  command("engage");
  EXPECT_EQ(next(""), "getFront -> 800");
  EXPECT_EQ(next(""), "pidForProcess -> 800");
  EXPECT_EQ(next(""), "uiMode 2 0");
  EXPECT_EQ(next(""), "processForPID " + own + " -> 0");  // once per hold
  EXPECT_EQ(next(""), "permit " + own);
  EXPECT_EQ(next(""), holdFront());
  next("windowList");
  // The timer runs; with the helper front, a tick is one front query.
  for (int tick = 0; tick < 10; ++tick)
    EXPECT_EQ(next(""), "getFront -> " + own);
  command("engage");  // ignored while engaged
  command("release");
  EXPECT_EQ(releaseEvents(), (Events{"windowList -> 1", "revoke " + own, "setFront 800 0 0x200 -> 0"}));
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(std::count_if(child.lines.begin(), child.lines.end(),
                          [](const TraceLine& line) { return line.event == "uiMode 2 0"; }),
            1);
}

TEST_F(Hold, EachStolenFrontIsTakenBackByTheFirstTickThatSeesIt) {
  engage();
  for (int steal = 0; steal < 20; ++steal) {
    control(std::string("front ") + kThief);
    EXPECT_EQ(next("getFront -> " + std::string(kThief)), "getFront -> " + std::string(kThief));
    EXPECT_EQ(next(""), holdFront()) << "steal " << steal;
    command("keepAlive");
  }
}

TEST_F(Hold, ReleaseBringsBackTheNewTopWindow) {
  engage();
  control("windows 801,41,0,1,640,480 802,40,0,1,640,480");
  command("release");
  EXPECT_EQ(releaseEvents(), (Events{"windowList -> 2", "revoke " + own, "setFront 801 41 0x200 -> 0"}));
}

TEST_F(Hold, ReleaseHidesWhenTheTargetCannotBeBroughtBack) {
  engage();
  control(std::string("gone ") + kApp);
  control("windows");
  command("release");
  EXPECT_EQ(releaseEvents(), (Events{"windowList -> 0", "revoke " + own, "hide"}));

  control(std::string("live ") + kApp);
  control(std::string("front ") + kApp);
  engage();
  control("setFrontStatus -5");
  command("release");
  EXPECT_EQ(releaseEvents(), (Events{"windowList -> 0", "revoke " + own, "setFront 800 0 0x200 -> -5", "hide"}));

  // A new top window whose owner has no valid pid: nothing to call.
  control("setFrontStatus 0");
  engage();
  control("windows 0,5,0,1,640,480");
  command("release");
  EXPECT_EQ(releaseEvents(), (Events{"windowList -> 1", "revoke " + own, "hide"}));
}

TEST_F(Hold, YieldStopsTheHoldUntilARelease) {
  engage();
  command("yield");
  EXPECT_EQ(next("revoke"), "revoke " + own);
  size_t afterYield = child.seen;
  command("yield");
  command("engage");  // still engaged: ignored
  control(std::string("front ") + kThief);
  command("release");
  next("uiMode 0 0");
  // No tick, no second revoke, no second engage: only the release's own
  // look, which leaves the thief in front and does not hide.
  Events events;
  for (size_t i = afterYield; i < child.seen; ++i)
    events.push_back(child.lines[i].event);
  EXPECT_EQ(events, (Events{"ctl front 801", "getFront -> 801", "pidForProcess -> 801", "windowList -> 1",
                            "uiMode 0 0"}));
  engage();  // a new hold after the release
  EXPECT_EQ(next("getFront"), "getFront -> " + own);
}

TEST_F(Hold, SilenceReleasesOnceAfterThreeSecondsThenANewHoldWorks) {
  engage();
  double lastKeepAlive = 0;
  for (int i = 0; i < 6; ++i) {
    lastKeepAlive = now();
    command("keepAlive");
    usleep(400'000);
  }
  auto released = waitFor(child, "uiMode 0 0", 10);
  ASSERT_TRUE(released);
  // Never early: three seconds of silence, counted from the last keepAlive.
  EXPECT_GE(released->seconds - lastKeepAlive, 3.0);
  // Once only, and the helper reads commands on.
  for (const TraceLine& line : collect(child, 0.3))
    ADD_FAILURE() << "after the silence release: " << line.event;
  // A new hold watches silence afresh: a second hang is released too.
  command("engage");
  EXPECT_EQ(next("uiMode"), "uiMode 2 0");
  EXPECT_EQ(next("uiMode", 10), "uiMode 0 0");
}

// The parent recovers after the hold fell silent (the helper stopped past
// 3 s, as in system sleep) and writes "release" and "engage" together: the
// release queued for the silent hold must not end the new one. A probing
// "engage" written once the new hold has begun runs after that queued
// release; it starts a third hold only if the new one was ended.
TEST(HoldRecovery, AQueuedSilenceReleaseEndsOnlyTheHoldThatFellSilent) {
  for (int trial = 0; trial < 5; ++trial) {
    Child child = spawnChild(PALISADE_SIM_PATH);
    send(child.control, "live 800\nfront 800\n");
    ASSERT_TRUE(waitFor(child, "ctl front 800"));
    send(child.input, "engage\n");
    ASSERT_TRUE(waitFor(child, "windowList"));
    kill(child.pid, SIGSTOP);
    usleep(3'200'000);
    send(child.input, "release\nengage\n");
    kill(child.pid, SIGCONT);
    ASSERT_TRUE(waitFor(child, "uiMode 0 0"));
    ASSERT_TRUE(waitFor(child, "uiMode 2 0"));
    send(child.input, "engage\n");
    closeFd(child.input);
    EXPECT_EQ(waitExit(child), 0);
    EXPECT_EQ(uiModes(child), (Events{"uiMode 2 0", "uiMode 0 0", "uiMode 2 0", "uiMode 0 0"})) << "trial " << trial;
  }
}

TEST_F(Hold, SilenceIsNotWatchedAfterAYield) {
  engage();
  command("yield");
  next("revoke");
  for (const TraceLine& line : collect(child, 4.0))
    ADD_FAILURE() << "after yield: " << line.event;
}

TEST_F(Hold, EndOfInputReleasesCompletelyBeforeExit) {
  engage();
  command("keepAlive");
  EXPECT_EQ(finish(), 0);
  Events tail;
  for (const TraceLine& line : child.lines)
    if (!routine(line.event))
      tail.push_back(line.event);
  EXPECT_EQ(Events(tail.end() - 4, tail.end()),
            (Events{"windowList -> 1", "revoke " + own, "setFront 800 0 0x200 -> 0", "uiMode 0 0"}));
}

TEST(HoldParent, ParentDeathReleasesCompletelyBeforeExit) {
  pid_t parent;
  Child child = spawnChild(PALISADE_SIM_PATH, {}, &parent);
  send(child.control, "live 800\nfront 800\n");
  ASSERT_TRUE(waitFor(child, "ctl front 800"));
  send(child.input, "engage\n");
  ASSERT_TRUE(waitFor(child, "windowList"));
  kill(parent, SIGKILL);
  waitpid(parent, nullptr, 0);
  EXPECT_EQ(waitExit(child), 0);
  ASSERT_GE(child.lines.size(), 2u);
  EXPECT_EQ(child.lines.back().event, "uiMode 0 0");
  EXPECT_EQ(child.lines[child.lines.size() - 2].event, "setFront 800 0 0x200 -> 0");
}

TEST(HoldUnbound, WithoutAFrontQueryEveryTickReassertsAndReleaseHasNoTarget) {
  Child child = spawnChild(PALISADE_SIM_PATH);
  auto start = waitFor(child, "start ");
  ASSERT_TRUE(start);
  std::string own = start->event.substr(6);
  send(child.control, "absent getFront\n");
  ASSERT_TRUE(waitFor(child, "ctl absent getFront"));
  send(child.input, "engage\n");
  for (int tick = 0; tick < 5; ++tick) {
    auto line = waitFor(child, "setFront");
    ASSERT_TRUE(line) << "tick " << tick;
    EXPECT_EQ(line->event, "setFront " + own + " 0 0x400 -> 0");
  }
  send(child.input, "release\n");
  closeFd(child.input);
  EXPECT_EQ(waitExit(child), 0);
  for (const TraceLine& line : child.lines) {
    EXPECT_FALSE(line.event.starts_with("getFront")) << line.event;
    EXPECT_NE(line.event, "hide");
    EXPECT_FALSE(line.event.starts_with("setFront") && line.event.ends_with("0x200 -> 0"));
  }
}

}  // namespace
