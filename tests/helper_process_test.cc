// The Linux build of the helper, run as a parent application runs it: it is
// silent, exits 0 on every path and keeps its memory bounded.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/child.h"

namespace {

Child start(ChildOptions options = {}, pid_t* parent = nullptr) {
  options.control = options.trace = false;
  return spawnChild(PALISADE_PATH, options, parent);
}

void expectCleanExit(Child& child) {
  closeFd(child.input);
  EXPECT_EQ(waitExit(child), 0);
  EXPECT_EQ(output(child), "");
}

TEST(Helper, ExitsSilentlyAtOnceWhenInputEnds) {
  Child child = start();
  expectCleanExit(child);
}

TEST(Helper, ExitsAtOnceWithAnEmptyOrNoInput) {
  // Neither raises a read event: /dev/null cannot be watched by epoll.
  for (auto input : {ChildOptions::Input::devNull, ChildOptions::Input::closed}) {
    ChildOptions options;
    options.input = input;
    Child child = start(options);
    EXPECT_EQ(waitExit(child), 0);
    EXPECT_EQ(output(child), "");
  }
}

TEST(Helper, ArgumentsAndEnvironmentChangeNothing) {
  ChildOptions options;
  options.args = {"--help", "-v", "release"};
  options.env = {"PALISADE=1", "LANG=xx_XX.UTF-8"};
  Child child = start(options);
  send(child.input, "engage\nkeepAlive\n");
  expectCleanExit(child);
}

TEST(Helper, SessionWithNoiseEndsCleanly) {
  Child child = start();
  send(child.input,
       "engage\nkeepAlive\r\n\xff\xfe\n  keepAlive\t\nENGAGE\n\n" + std::string(10000, 'y') +
           "\nyield\nengage\nrelease\nrelease\nyield\nkeepAlive\nengage\nunterminated");
  expectCleanExit(child);
}

TEST(Helper, LinesWrittenAndClosedAtOnceAreAllReadBeforeExit) {
  Child child = spawnChild(PALISADE_SIM_PATH);
  std::string lines = "engage\n";
  for (int i = 0; i < 40000; ++i)
    lines += i % 3 ? "keepAlive\n" : "noise\n";
  lines += "release\nengage\n";
  send(child.input, lines);
  closeFd(child.input);
  EXPECT_EQ(waitExit(child), 0);
  // Both holds, the last ended by the end of input.
  EXPECT_EQ(uiModes(child), (std::vector<std::string>{"uiMode 2 0", "uiMode 0 0", "uiMode 2 0", "uiMode 0 0"}));
}

TEST(Helper, FloodWithoutLineFeedKeepsMemoryFlat) {
  Child child = start();
  send(child.input, "engage\n");
  std::string flood(1 << 20, 'x');
  send(child.input, flood);
  long before = residentKiB(child.pid);
  for (int i = 0; i < 16; ++i)
    send(child.input, flood);
  long after = residentKiB(child.pid);
  EXPECT_LT(after - before, 4096) << before << " KiB before, " << after << " KiB after 16 MiB";
  send(child.input, "\nrelease\n");
  expectCleanExit(child);
}

TEST(Helper, ExitsWhenItsParentDies) {
  for (const char* session : {"", "engage\nkeepAlive\n"}) {
    pid_t parent;
    Child child = start({}, &parent);
    send(child.input, session);
    // Killed earlier, the parent would be gone before the helper learnt who it was.
    for (int i = 0; i < 5000 && !watchesParent(child.pid); ++i)
      usleep(1000);
    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    // Our end of its input stays open: only the parent's death can end it.
    EXPECT_EQ(waitExit(child), 0) << session;
    EXPECT_EQ(output(child), "");
  }
}

TEST(Helper, SleepsWhenIdle) {
  Child child = start();
  send(child.input, "engage\nkeepAlive\nyield\nrelease\nkeepAlive\n");
  usleep(200'000);
  double before = cpuSeconds(child.pid);
  usleep(1'000'000);
  // A spinning loop would burn the whole second; an idle one nothing.
  EXPECT_LT(cpuSeconds(child.pid) - before, 0.05);
  expectCleanExit(child);
}

}  // namespace
