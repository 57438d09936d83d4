// The hold's decisions against the simulated window server: what a tick does
// at each keep-alive age, and what a release gives the front back to.
#include <gtest/gtest.h>

#include <string>

#include "hold/engage.h"
#include "hold/release.h"
#include "sim/window_server.h"
#include "tests/sim_trace.h"

namespace {

using Events = std::vector<std::string>;
constexpr pid_t kOther = 4242;
constexpr pid_t kThird = 4343;

std::string own() { return std::to_string(getpid()); }
std::string holdFront() { return "setFront " + own() + " 0 0x400 -> 0"; }

struct HoldTest : testing::Test {
  HoldTest() {
    applyControl("live 4242 4343");
    applyControl("setFrontStatus 0");
    applyControl("windows");
    applyControl("front " + own());
    trace.take();
  }
  TraceCapture trace;
  FrontHold hold;
};

// --- holdTick ----------------------------------------------------------------

int silenceReports = 0;

struct TickTest : HoldTest {
  TickTest() {
    silenceReports = 0;
    hold.onParentSilent = [](uint64_t) { ++silenceReports; };
    syncOn(hold.queue, [&] {
      hold.lastKeepAlive = 100.0;
      ownSerial(hold);  // as the start of a hold does
    });
    trace.take();
  }
  Events tickAt(double age) {
    syncOn(hold.queue, [&] { holdTick(hold, 100.0 + age); });
    drainMainQueue();
    return trace.take();
  }
};

TEST_F(TickTest, FreshTickReassertsOnlyWhenSomeoneElseIsFront) {
  EXPECT_EQ(tickAt(0.5), (Events{"getFront -> " + own()}));
  applyControl("front 4242");
  trace.take();
  EXPECT_EQ(tickAt(2.999), (Events{"getFront -> 4242", holdFront(), "dock shown " + own()}));  // not yet silence
  EXPECT_EQ(simFrontPID(), getpid());
  // No front at all counts as someone else.
  applyControl("front 0");
  trace.take();
  EXPECT_EQ(tickAt(-5.0), (Events{"getFront -> fail", holdFront(), "dock shown " + own()}));
  // A serial number the hold has not got is asked for again.
  syncOn(hold.queue, [&] { hold.ownSerial.reset(); });
  EXPECT_EQ(tickAt(1.0), (Events{"processForPID " + own() + " -> 0", "getFront -> " + own()}));
  EXPECT_EQ(silenceReports, 0);
}

TEST_F(TickTest, SilenceFromExactlyThreeSecondsIsReportedOnce) {
  applyControl("front 4242");
  trace.take();
  EXPECT_EQ(tickAt(kSilenceThreshold), Events{});
  EXPECT_EQ(silenceReports, 1);
  EXPECT_EQ(tickAt(10.0), Events{});
  EXPECT_EQ(silenceReports, 1);
}

// --- endHold ---------------------------------------------------------------------

struct EndHoldTest : HoldTest {
  std::optional<Target> end(bool ownIsFront, std::optional<Target> top, std::optional<Target> atBegin,
                            pid_t previous) {
    std::optional<Target> result;
    syncOn(hold.queue, [&] {
      hold.engaged = true;
      hold.topWindowAtBegin = atBegin;
      hold.previousFront = previous;
      result = endHold(hold, ownIsFront, top);
      EXPECT_FALSE(hold.engaged);
    });
    return result;
  }
};

TEST_F(EndHoldTest, DecisionTable) {
  const Target top{kOther, 7}, sameNumberOtherOwner{kThird, 7}, otherWindow{kOther, 8};
  // Someone else is front: leave the front alone.
  EXPECT_EQ(end(false, top, top, kThird), std::nullopt);
  EXPECT_EQ(end(false, std::nullopt, std::nullopt, 0), std::nullopt);
  // A window on top now, none at engage: that window.
  EXPECT_EQ(end(true, top, std::nullopt, kThird), top);
  // The top window changed: the new one, even with a previous front.
  EXPECT_EQ(end(true, otherWindow, top, kThird), otherWindow);
  // Unchanged (window numbers compared, owners ignored): the previous front.
  EXPECT_EQ(end(true, sameNumberOtherOwner, top, kThird), (Target{kThird, 0}));
  // Unchanged, and we were front at engage: the top window.
  EXPECT_EQ(end(true, top, top, 0), top);
  // Nothing on top: the previous front, or nothing at all.
  EXPECT_EQ(end(true, std::nullopt, top, kThird), (Target{kThird, 0}));
  EXPECT_EQ(end(true, std::nullopt, std::nullopt, 0), std::nullopt);
  // No hold was running, so nothing was cancelled or revoked.
  EXPECT_EQ(trace.take(), Events{});
}

}  // namespace
