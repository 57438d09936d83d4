// The hold's decisions against the simulated window server: what a tick does
// at each keep-alive age, and what a release gives the front back to.
#include <gtest/gtest.h>

#include <string>

#include "hold/engage.h"
#include "hold/release.h"
#include "sim/window_server.h"
#include "tests/sim_trace.h"

namespace {

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
  // Runs fn on the hold queue, as the hold's own code does.
  template <class F>
  auto onQueue(F fn) {
    decltype(fn()) result;
    syncOn(hold.queue, [&] { result = fn(); });
    return result;
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
  std::vector<std::string> tickAt(double age) {
    syncOn(hold.queue, [&] { holdTick(hold, 100.0 + age); });
    drainMainQueue();
    return trace.take();
  }
};

TEST_F(TickTest, FreshTickReassertsOnlyWhenSomeoneElseIsFront) {
  EXPECT_EQ(tickAt(0.5), (std::vector<std::string>{"getFront -> " + own()}));
  applyControl("front 4242");
  trace.take();
  EXPECT_EQ(tickAt(2.999), (std::vector<std::string>{"getFront -> 4242", holdFront()}));
  EXPECT_EQ(simFrontPID(), getpid());
  // No front at all counts as someone else.
  applyControl("front 0");
  trace.take();
  EXPECT_EQ(tickAt(-5.0), (std::vector<std::string>{"getFront -> fail", holdFront()}));
  // A serial number the hold has not got is asked for again.
  syncOn(hold.queue, [&] { hold.ownSerial.reset(); });
  EXPECT_EQ(tickAt(1.0), (std::vector<std::string>{"processForPID " + own() + " -> 0", "getFront -> " + own()}));
  EXPECT_EQ(silenceReports, 0);
}

TEST_F(TickTest, SilenceFromExactlyThreeSecondsIsReportedOnce) {
  applyControl("front 4242");
  trace.take();
  EXPECT_EQ(tickAt(kSilenceThreshold), std::vector<std::string>{});
  EXPECT_EQ(silenceReports, 1);
  EXPECT_TRUE(onQueue([&] { return hold.reportedSilence; }));
  EXPECT_EQ(tickAt(10.0), std::vector<std::string>{});
  EXPECT_EQ(silenceReports, 1);

  // A keepAlive after the report: re-asserting resumes, no second report.
  noteKeepAlive(hold);
  syncOn(hold.queue, [] {});
  double stamp = onQueue([&] { return hold.lastKeepAlive; });
  EXPECT_GT(stamp, 100.0);
  syncOn(hold.queue, [&] { holdTick(hold, stamp + 0.1); });
  EXPECT_EQ(trace.take(), (std::vector<std::string>{"getFront -> 4242", holdFront()}));
  syncOn(hold.queue, [&] { holdTick(hold, stamp + 4.0); });
  drainMainQueue();
  EXPECT_EQ(silenceReports, 1);
}

// --- endHold ---------------------------------------------------------------------

struct EndHoldTest : HoldTest {
  std::optional<Target> end(bool ownIsFront, std::optional<Target> top, std::optional<Target> atBegin,
                            pid_t previous) {
    return onQueue([&] {
      hold.engaged = true;
      hold.topWindowAtBegin = atBegin;
      hold.previousFront = previous;
      auto result = endHold(hold, ownIsFront, top);
      EXPECT_FALSE(hold.engaged);
      return result;
    });
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
  EXPECT_EQ(trace.take(), std::vector<std::string>{});
}

TEST_F(EndHoldTest, CancelsAndRevokesOnlyARunningHold) {
  syncOn(hold.queue, [&] { startHold(hold, kOther); });
  EXPECT_TRUE(onQueue([&] { return hold.timer != nullptr; }));
  trace.take();

  end(true, std::nullopt, std::nullopt, kOther);
  EXPECT_TRUE(onQueue([&] { return hold.timer == nullptr; }));
  // Drain whatever a tick traced before the cancel; none may follow it.
  std::vector<std::string> events = trace.take();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "revoke " + own());
  usleep(20'000);
  EXPECT_EQ(trace.take(), std::vector<std::string>{});

  // Yielded, then released: no second revoke.
  end(true, std::nullopt, std::nullopt, kOther);
  EXPECT_EQ(trace.take(), std::vector<std::string>{});
}

}  // namespace
