// The helper's Dock icon, judged from what the simulated window server saw:
// a regular application has one, so the helper must never be regular while
// the Dock shows, on any way into or out of a hold.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "tests/child.h"

namespace {

using Events = std::vector<std::string>;

// 800 in front, 802's window on top.
constexpr std::string_view kScene = "live 800 801 802\nfront 800\nwindows 802,40,0,1,640,480\n";

// The first moment at which the helper is regular while the Dock shows,
// with the events that led to it; "" if there is none. Judged from the
// start-up's policy call on (before it, the Info.plist decides) and after
// each event with the Dock line it caused. The moment from another
// application taking the front from the helper to the tick that takes it
// back is excused.
std::string iconInVisibleDock(const Child& child) {
  const std::string own = std::to_string(child.pid);
  bool started = false, regular = false, shown = true, front = false, stolen = false;
  const std::vector<TraceLine>& lines = child.lines;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& e = lines[i].event;
    if (e.starts_with("policy " + own + " ")) {
      started = true;
      regular = e.ends_with(" regular");
    } else if (e.starts_with("dock ")) {
      shown = e.starts_with("dock shown ");
      front = e.ends_with(" " + own);  // the Dock line names the front
      stolen &= !front;
    } else if (front && e.starts_with("ctl front ") && e != "ctl front " + own) {
      stolen = true;
    } else if (!e.starts_with("getFront ") && !e.starts_with("setFront " + own + " 0 0x400 ")) {
      stolen = false;  // anything but that tick ends the excuse
    }
    bool settled = i + 1 == lines.size() || !lines[i + 1].event.starts_with("dock ");
    if (settled && started && regular && shown && !stolen) {
      std::string context;
      for (size_t j = i >= 6 ? i - 6 : 0; j <= i; ++j)
        context += lines[j].event + "\n";
      return context;
    }
  }
  return "";
}

struct Helper {
  explicit Helper(const char* path, pid_t* parent = nullptr)
      : child(spawnChild(path, parent, Input::pipe, kScene)), own(std::to_string(child.pid)) {}
  ~Helper() {
    closeFd(child.input);
    if (waitpid(child.pid, nullptr, WNOHANG) == 0)
      waitExit(child, 5);
  }
  void say(const std::string& word) { send(child.input, word + "\n"); }
  // Waits for the next event that starts with `prefix`.
  void await(const std::string& prefix) { ASSERT_TRUE(waitFor(child, prefix)) << prefix; }
  void control(const std::string& line) {
    send(child.control, line + "\n");
    await("ctl " + line);
  }
  // Engages and waits until the helper is regular and has set mode 2
  // again: the Dock is hidden by then.
  void engage() {
    say("engage");
    await("policy " + own + " regular");
    await("uiMode 2 0");
    EXPECT_EQ(events(child, "dock").back(), "dock hidden " + own);
  }
  void release() {
    say("release");
    await("uiMode 0 0");
  }
  Child child;
  std::string own;
};

TEST(Icon, NeverInAVisibleDockOnAnyWayIntoOrOutOfAHold) {
  Helper h(PALISADE_SIM_PATH);
  h.engage();
  h.control("front 801");  // stolen, and taken back by the next tick
  h.await("dock hidden " + h.own);
  h.release();  // from holding

  h.engage();
  h.say("yield");
  h.await("policy " + h.own + " accessory");
  h.control("front 801");  // another application forward while yielded
  h.release();  // from yielded

  // The set-front fails at engage, whatever the status's sign: the helper
  // stays an accessory.
  for (const char* failed : {"setFrontStatus -5", "setFrontStatus 5"}) {
    h.control(failed);
    h.say("engage");
    h.await("windowList");
    h.release();
  }
  h.control("setFrontStatus 0");

  h.engage();
  h.control("setFrontStatus -5");
  h.release();  // the target cannot come forward: the helper hides
  h.control("setFrontStatus 0");

  h.engage();  // and no keep-alive: the silence release
  ASSERT_TRUE(waitFor(h.child, "uiMode 0 0", 10));

  h.engage();
  closeFd(h.child.input);  // the end of input
  EXPECT_EQ(waitExit(h.child), 0);
  EXPECT_EQ(iconInVisibleDock(h.child), "");
  // Every way was taken. Regular only from a successful engage; no policy
  // call where the helper is an accessory already.
  const std::string regular = "policy " + h.own + " regular", accessory = "policy " + h.own + " accessory";
  EXPECT_EQ(events(h.child, "policy"), (Events{accessory, regular, accessory, regular, accessory, regular,
                                                accessory, regular, accessory, regular, accessory}));
  EXPECT_EQ(events(h.child, "hide"), Events{"hide"});
}

TEST(Icon, NeverInAVisibleDockWhenTheParentDies) {
  pid_t parent = 0;
  Helper h(PALISADE_SIM_PATH, &parent);
  h.engage();
  kill(parent, SIGKILL);
  waitpid(parent, nullptr, 0);
  EXPECT_EQ(waitExit(h.child), 0);
  EXPECT_EQ(iconInVisibleDock(h.child), "");
  EXPECT_EQ(events(h.child, "policy").back(), "policy " + h.own + " accessory");
}

// The UI mode is each process's own, and the Dock follows the front one's
// while it is regular: yielded, the helper keeps mode 2 but is an
// accessory, so the Dock shows from the yield on, the helper front or not.
TEST(Icon, TheDockShowsFromTheYieldOn) {
  Helper h(PALISADE_SIM_PATH);
  h.engage();
  h.say("yield");
  h.await("policy " + h.own + " accessory");
  h.control("front 801");
  h.control("front " + h.own);
  h.release();
  closeFd(h.child.input);
  EXPECT_EQ(waitExit(h.child), 0);
  EXPECT_EQ(events(h.child, "dock"), (Events{"dock shown 800", "dock shown " + h.own, "dock hidden " + h.own,
                                             "dock shown " + h.own, "dock shown 801", "dock shown " + h.own,
                                             "dock shown 800"}));
  EXPECT_EQ(events(h.child, "uiMode"), (Events{"uiMode 2 0", "uiMode 2 0", "uiMode 0 0"}));
}

// Never regular, an agent's mode 2 is ignored: front, the helper leaves the
// Dock in sight. That is what the default build's policy calls are for.
TEST(Icon, AnAgentHelperLeavesTheDockShown) {
  Helper h(PALISADE_SIM_AGENT_PATH);
  h.say("engage");
  h.await("windowList");
  h.release();
  closeFd(h.child.input);
  EXPECT_EQ(waitExit(h.child), 0);
  EXPECT_EQ(events(h.child, "policy"), Events{"policy " + h.own + " accessory"});
  EXPECT_EQ(events(h.child, "dock"), (Events{"dock shown 800", "dock shown " + h.own, "dock shown 800"}));
}

}  // namespace
