// The control grammar, one line of docs/sim.md's table at a time: each
// verb's well-formed line is taken and traced; a malformed one (a field
// missing or extra, pid 0, a number out of range or of the wrong kind) is
// refused, traced nowhere, and changes nothing, not even in part.
#include <gtest/gtest.h>

#include <sstream>

#include "sim/server.h"
#include "sim/window_server.h"
#include "tests/sim_trace.h"

namespace {

struct Row {
  const char* line;
  bool taken;
};

// The scene below: 4242 and 4343 live, 4343 front, one window, no mode set,
// every process regular.
// Each refused line would, if applied even in part, change something of it.
const Row kRows[] = {
    {"live 5151 0", false},
    {"live 5151 x", false},
    {"live 5151 -1", false},
    {"live 5151 2147483648", false},
    {"live \t5151", false},
    {"live", false},
    {"live 5151 5252", true},
    {"gone", false},
    {"gone 0", false},
    {"gone 4242 4343", false},
    {"gone 4242x", false},
    {"gone -4242", false},
    {"gone 5151", true},
    {"front", false},
    {"front 4242 4343", false},
    {"front -1", false},
    {"front 4242\r", false},
    {"front 2147483648", false},
    {"front 4242", true},
    {"front 0", true},  // none in front
    {"windows 4242,7,0,1,640", false},
    {"windows 4242,7,0,1,640,480,", false},
    {"windows 4242,7,0,1,640,480,1", false},
    {"windows 4242,7,0,1,640,480 null", false},
    {"windows null 4242,7,0,1,640,480", false},
    {"windows null", true},
    {"windows", true},
    {"windows 4242,7,0,1,640,480 4343,x,-,y,-,-", true},  // wrong kinds are records too
    {"absent", false},
    {"absent front", false},
    {"absent GetFront", false},
    {"absent getFront setFront", false},
    {"absent revoke", true},
    {"setFrontStatus", false},
    {"setFrontStatus -600 0", false},
    {"setFrontStatus 1.5", false},
    {"setFrontStatus 0x10", false},
    {"setFrontStatus 2147483648", false},
    {"setFrontStatus -600", true},
    {"uiMode", false},
    {"uiMode 4242", false},
    {"uiMode 4242 2 1", false},
    {"uiMode 0 2", false},
    {"uiMode -1 2", false},
    {"uiMode 4242 5", false},
    {"uiMode 4242 -1", false},
    {"uiMode 4242 4294967298", false},  // 2 once wrapped
    {"uiMode 4242 3", true},
    {"policy", false},
    {"policy 4242", false},
    {"policy 0 accessory", false},
    {"policy 4242 Accessory", false},
    {"policy 4242 accessory regular", false},
    {"policy 4242 agent", false},
    {"policy 4242 accessory", true},
    {"", false},
    {"Live 6161", false},
    {"live\t6161", false},
    {"dock 4242", false},
};

// Everything a control line can set, as text: the same text, the same scene.
std::string scene() {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  std::ostringstream out;
  out << "live";
  for (pid_t pid : s.live)
    out << ' ' << pid;
  out << "; front " << s.front << "; windows";
  if (!s.windows)
    out << " null";
  for (const WindowRecord& w : s.windows.value_or(std::vector<WindowRecord>{}))
    out << ' ' << int(w.ownerPID.entry) << ':' << w.ownerPID.value << ',' << int(w.number.entry) << ':'
        << w.number.value << ',' << int(w.layer.entry) << ':' << w.layer.value << ',' << int(w.alpha.entry) << ':'
        << w.alpha.value << ',' << int(w.bounds.entry) << ':' << w.bounds.value.width << 'x'
        << w.bounds.value.height;
  out << "; absent";
  for (bool absent : s.absent)
    out << ' ' << absent;
  out << "; status " << s.setFrontStatus << "; modes";
  for (auto [pid, mode] : s.presentation.modes)
    out << ' ' << pid << '=' << mode;
  out << "; accessories";
  for (pid_t pid : s.presentation.accessories)
    out << ' ' << pid;
  return out.str();
}

// The server is the process's: what the table changes is put back after.
class SimControl : public testing::Test {
 protected:
  void SetUp() override {
    Server& s = server();
    std::lock_guard lock(s.mutex);
    saved_ = {s.live, s.front, s.windows, {}, s.setFrontStatus, s.presentation};
    std::copy(std::begin(s.absent), std::end(s.absent), saved_.absent);
    s.live.insert({4242, 4343});
    s.front = 4343;
    s.windows = std::vector<WindowRecord>(1);
    s.setFrontStatus = 0;
    s.presentation.modes.clear();
    s.presentation.accessories.clear();
  }
  void TearDown() override {
    Server& s = server();
    std::lock_guard lock(s.mutex);
    s.live = saved_.live;
    s.front = saved_.front;
    s.windows = saved_.windows;
    std::copy(std::begin(saved_.absent), std::end(saved_.absent), s.absent);
    s.setFrontStatus = saved_.setFrontStatus;
    s.presentation = saved_.presentation;
  }

 private:
  struct {
    std::set<pid_t> live;
    pid_t front;
    std::optional<std::vector<WindowRecord>> windows;
    bool absent[kEntryPointCount];
    int32_t setFrontStatus;
    Presentation presentation;
  } saved_;
};

TEST_F(SimControl, EachRowTakesItsLineAndRefusesAMalformedOneWhole) {
  TraceCapture trace;
  for (const Row& row : kRows) {
    std::string before = scene();
    EXPECT_EQ(applyControl(row.line), row.taken) << '"' << row.line << '"';
    std::vector<std::string> events = trace.take();
    if (row.taken) {
      EXPECT_EQ(events.empty() ? "" : events.front(), std::string("ctl ") + row.line);
    } else {
      EXPECT_EQ(scene(), before) << '"' << row.line << '"';
      EXPECT_EQ(events, std::vector<std::string>{}) << '"' << row.line << '"';
    }
  }
}

}  // namespace
