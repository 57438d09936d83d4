// The front-process calls over the simulated window server's process table.
#include "windowserver/front_process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "sim/window_server.h"
#include "tests/sim_trace.h"

namespace {

using Events = std::vector<std::string>;

struct FrontProcessTest : testing::Test {
  FrontProcessTest() {
    applyControl("live 5001 5002");
    applyControl("gone 5003");
    applyControl("setFrontStatus 0");
    trace.take();
  }
  TraceCapture trace;
};

TEST_F(FrontProcessTest, FrontmostIsZeroAndMakeFrontFailsWhenTheProcessCannotBeHad) {
  applyControl("front 5001");
  EXPECT_EQ(frontmostPID(), 5001);
  applyControl("front 5003");  // in front, but without a serial number
  EXPECT_EQ(frontmostPID(), 0);
  applyControl("front 0");
  EXPECT_EQ(frontmostPID(), 0);

  applyControl("front 5001");
  trace.take();
  EXPECT_EQ(makeFront(5002, 9, kRestoreFrontMode), 0);
  EXPECT_EQ(simFrontPID(), 5002);
  EXPECT_EQ(trace.take(), (Events{"processForPID 5002 -> 0", "setFront 5002 9 0x200 -> 0", "dock shown 5002"}));

  // A process without a serial number: nothing is called.
  EXPECT_NE(makeFront(5003, 0, kRestoreFrontMode), 0);
  EXPECT_EQ(trace.take(), Events{"processForPID 5003 -> -600"});
}

}  // namespace
