// The Linux build of the helper, run as parent applications run it: silent
// and exiting 0 on every path, bounded in memory, asleep when idle, and
// reading its input to the end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "tests/child.h"

namespace {

void expectCleanExit(Child& child) {
  closeFd(child.input);
  EXPECT_EQ(waitExit(child), 0);
  EXPECT_EQ(output(child), "");
}

TEST(Helper, SilentAndExitsZeroWhateverItIsGiven) {
  Child child = spawnChild(PALISADE_PATH);
  send(child.input, "engage\nkeepAlive\r\n\xff\xfe\n  keepAlive\t\nENGAGE\n\n" + std::string(10000, 'y') +
                        "\nyield\nengage\nrelease\nrelease\nyield\nkeepAlive\nengage\nunterminated");
  expectCleanExit(child);
  // None raises a read event: epoll watches neither /dev/null nor a folder,
  // and a folder's read fails, which must end the helper, not repeat.
  for (Input input : {Input::devNull, Input::folder, Input::closed}) {
    Child bare = spawnChild(PALISADE_PATH, nullptr, input);
    expectCleanExit(bare);
  }
}

TEST(Helper, FloodWithoutLineFeedKeepsMemoryFlat) {
  Child child = spawnChild(PALISADE_PATH);
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

TEST(Helper, SleepsWhenIdle) {
  Child child = spawnChild(PALISADE_PATH);
  send(child.input, "engage\nkeepAlive\nyield\nrelease\nkeepAlive\n");
  usleep(200'000);
  double before = cpuSeconds(child.pid);
  usleep(1'000'000);
  // A spinning loop would burn the whole second; an idle one nothing.
  EXPECT_LT(cpuSeconds(child.pid) - before, 0.05);
  expectCleanExit(child);
}

TEST(Helper, LinesWrittenAndClosedAtOnceAreAllReadBeforeExit) {
  Child child = spawnChild(PALISADE_SIM_PATH);
  std::string lines = "engage\n";
  size_t keepAlives = 0;
  for (int i = 0; i < 40000; ++i) {
    keepAlives += i % 3 != 0;
    lines += i % 3 ? "keepAlive\n" : "noise\n";
  }
  lines += "release\nengage\n";
  // Written from a thread while this one reads the trace, which the helper
  // fills as it reads: it would stop reading once the trace pipe is full.
  std::thread writer([&] {
    send(child.input, lines);
    closeFd(child.input);
  });
  EXPECT_EQ(waitExit(child), 0);
  writer.join();
  EXPECT_EQ(output(child), "");
  // Both holds (mode 2 set again once regular), the last ended by the end
  // of input.
  EXPECT_EQ(events(child, "uiMode"), (std::vector<std::string>{"uiMode 2 0", "uiMode 2 0", "uiMode 0 0",
                                                               "uiMode 2 0", "uiMode 2 0", "uiMode 0 0"}));
  // Every word, and nothing else, as the trace shows what was read.
  EXPECT_EQ(events(child, "read keepAlive").size(), keepAlives);
  EXPECT_EQ(wordsRead(child), (std::vector<std::string>{"engage", "release", "engage"}));
}

}  // namespace
