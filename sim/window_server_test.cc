// The simulated server's window list, as control lines set it: the numbers
// in each record, read whatever their kind and however they are written.
#include "sim/window_server.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

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
  // integer goes and a value out of range make the field of the wrong
  // kind; "-" leaves it absent.
  w = onlyWindow("windows 7x,9.5,-,0.5x,1e999,5");
  EXPECT_EQ(w.ownerPID.entry, Entry::wrongKind);
  EXPECT_EQ(w.number.entry, Entry::wrongKind);
  EXPECT_EQ(w.layer.entry, Entry::absent);
  EXPECT_EQ(w.alpha.entry, Entry::wrongKind);
  EXPECT_EQ(w.bounds.entry, Entry::wrongKind);

  // A record of another length is no record: the list stays as it was.
  EXPECT_FALSE(applyControl("windows 1,2,3,4,5"));
  EXPECT_EQ(copyWindowList()->front().ownerPID.entry, Entry::wrongKind);
}

}  // namespace
