// The simulated helper's own protocol: its trace, its control channel, and
// that it stays a silent helper that exits 0 whatever the simulation gets.
#include <algorithm>

#include "tests/sim_session.h"

namespace {

using SimProcess = SimSession;

TEST_F(SimProcess, StartsTheTraceWithItsPid) {
  ASSERT_FALSE(child.lines.empty());
  EXPECT_EQ(child.lines.front().event, "start " + std::to_string(child.pid));
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(output(child), "");
}

TEST_F(SimProcess, MalformedControlLinesAreIgnored) {
  std::string junk = "front\nfront abc\nlive -3\nlive\nwindows 1,2,3\nwindows null x\n"
                     "absent nothing\nsetFrontStatus x\n\n\xff";
  junk += std::string(1, '\0') + "\n" + std::string(3 << 20, 'z') + "\nlive 700\n";
  send(child.control, junk);
  ASSERT_TRUE(waitFor(child, "ctl live 700"));
  for (const TraceLine& line : child.lines)
    EXPECT_TRUE(line.event == "ctl live 700" || !line.event.starts_with("ctl")) << line.event;
  command("engage");
  EXPECT_EQ(next("getFront"), "getFront -> fail");  // no front was set
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(output(child), "");
}

TEST(SimProcessDescriptors, RunsWithoutControlOrTrace) {
  ChildOptions bare;
  bare.control = bare.trace = false;
  Child child = spawnChild(PALISADE_SIM_PATH, bare);
  send(child.input, "engage\nkeepAlive\nrelease\n");
  closeFd(child.input);
  EXPECT_EQ(waitExit(child), 0);
  EXPECT_EQ(output(child), "");
}

TEST_F(SimProcess, OutlivesItsTraceReader) {
  closeFd(child.traceFd);
  command("engage");
  command("keepAlive");
  usleep(50'000);  // ticks now write to a broken pipe
  command("release");
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(output(child), "");
}

}  // namespace
