// Holds driven end to end through the simulated helper, as a parent
// application drives them, and judged by what the window server saw.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hold/clock.h"
#include "palisade/client.h"
#include "tests/child.h"

namespace {

using Events = std::vector<std::string>;

// The next event that starts with `prefix`, or "" if none comes in time.
// The client's keep-alives arrive on its own clock: their "read keepAlive"
// is skipped unless asked for.
std::string next(Child& child, const std::string& prefix, double timeout = 10) {
  for (;;) {
    auto line = waitFor(child, prefix, timeout);
    if (!line || line->event != "read keepAlive" || prefix == line->event)
      return line ? line->event : "";
  }
}

// Process 800 in front and 802's window on top, after many reads' worth
// (4 KiB each) of other processes: enough that lines left to the control
// queue would still be applied when the first command is read.
const Events kScene = [] {
  Events scene;
  for (int pid = 1000; pid < 5000; ++pid)
    scene.push_back("live " + std::to_string(pid));
  for (const char* line : {"live 800 801 802", "front 800", "windows 802,40,0,1,640,480"})
    scene.push_back(line);
  return scene;
}();

std::string lines(const Events& events) {
  std::string text;
  for (const std::string& e : events)
    text += e + "\n";
  return text;
}

// The simulated helper, started in kScene, written to its control channel
// before it starts and not waited for: it must be in place for the first
// command all the same. Driven as a parent would drive it: through the
// client library, or by hand where the parent must misbehave.
struct Session {
  enum Parent { byHand, dying, viaClient };
  explicit Session(Parent parent = byHand, pid_t* parentPID = nullptr)
      : child(parent == viaClient
                  ? openClient(PALISADE_SIM_PATH, &client, lines(kScene))
                  : spawnChild(PALISADE_SIM_PATH, parent == dying ? parentPID : nullptr, Input::pipe, lines(kScene))),
        own(std::to_string(child.pid)) {}
  ~Session() {
    if (client)
      palisade_close(client, 5);
    closeFd(child.input);
    if (!client && waitpid(child.pid, nullptr, WNOHANG) == 0)  // not yet exited, nor reaped
      waitExit(child, 5);
  }
  // A word on the helper's input; with the client, which keeps the
  // keep-alive cadence itself, only engage, yield and release.
  void command(const std::string& text) {
    if (!client)
      return send(child.input, text + "\n");
    auto say = text == "engage" ? palisade_engage : text == "yield" ? palisade_yield : palisade_release;
    ASSERT_EQ(say(client), PALISADE_OK) << text;
  }
  // Ends the helper's input and reads its trace to the end; with the
  // client, through its close, which reaps the helper.
  void finish() {
    if (!client) {
      closeFd(child.input);
      EXPECT_EQ(waitExit(child), 0);
      return;
    }
    EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
    client = nullptr;
    readTrace(child);
  }
  // Applies a control line and waits until it has taken effect.
  void control(const std::string& line) {
    send(child.control, line + "\n");
    std::string event;
    while (!(event = next(child, "ctl ")).empty() && event != "ctl " + line) {
    }
    ASSERT_EQ(event, "ctl " + line);
  }
  // Engages and waits for its end: regular once front, and mode 2 again.
  void engage() {
    command("engage");
    ASSERT_EQ(next(child, "windowList"), "windowList -> 1");
    ASSERT_EQ(next(child, "policy"), "policy " + own + " regular");
    ASSERT_EQ(next(child, "uiMode"), "uiMode 2 0");
  }
  // The events of a release of the front held, less ticks and process
  // lookups: until the UI mode is restored and the Dock shows, whichever
  // is last.
  Events releaseEvents() {
    Events events;
    bool restored = false, shown = false;
    for (std::string e; !(restored && shown) && !(e = next(child, "")).empty();) {
      restored |= e == "uiMode 0 0";
      shown |= e.starts_with("dock shown ");
      if (!e.starts_with("getFront") && !e.starts_with("pidForProcess") && !e.starts_with("processForPID") &&
          e != holdFront())
        events.push_back(e);
    }
    return events;
  }
  std::string holdFront() const { return "setFront " + own + " 0 0x400 -> 0"; }

  palisade_client* client = nullptr;
  Child child;
  std::string own;  // its pid, as the trace shows it
};

// The sessions of a well-behaved parent, which embeds the client library.
struct Hold : testing::Test, Session {
  Hold() : Session(viaClient) {}
};

TEST_F(Hold, EngageTicksStealsYieldAndRelease) {
  command("engage");
  // The whole scene, many reads long, is set before the first command is
  // read, though engage was asked for at once. The front is read before the
  // UI mode changes it; the serial number is looked up once per hold.
  EXPECT_EQ(next(child, ""), "start " + own);
  size_t applied = 0;
  while (applied < kScene.size() && next(child, "ctl ") == "ctl " + kScene[applied])
    ++applied;
  ASSERT_EQ(applied, kScene.size()) << "control lines applied before the first command";
  // An accessory from start-up; front first, then regular, then mode 2 again.
  for (const std::string& e : Events{"policy " + own + " accessory", "read engage", "getFront -> 800",
                                     "pidForProcess -> 800", "uiMode 2 0", "processForPID " + own + " -> 0",
                                     "permit " + own, holdFront(), "dock shown " + own})
    EXPECT_EQ(next(child, ""), e);
  // The timer already runs while the top window is read: ticks may come first.
  EXPECT_EQ(next(child, "windowList"), "windowList -> 1");
  EXPECT_EQ(next(child, "policy"), "policy " + own + " regular");
  EXPECT_EQ(next(child, "dock"), "dock hidden " + own);
  EXPECT_EQ(next(child, "uiMode"), "uiMode 2 0");
  // Each steal is taken back by the first tick that sees it.
  for (int steal = 0; steal < 10; ++steal) {
    control("front 801");
    EXPECT_EQ(next(child, "getFront -> 801"), "getFront -> 801");
    EXPECT_EQ(next(child, ""), holdFront()) << "steal " << steal;
  }
  command("engage");  // ignored while engaged
  command("yield");
  EXPECT_EQ(next(child, "revoke"), "revoke " + own);
  EXPECT_EQ(next(child, "policy"), "policy " + own + " accessory");
  size_t afterYield = child.seen;
  command("yield");
  command("engage");  // still engaged: ignored
  control("front 801");
  command("release");
  next(child, "uiMode 0 0");
  // No tick, no second revoke, no second engage: only the release's own
  // look, which leaves the thief in front and does not hide. (The words
  // reach the helper on the client's thread, in no set order with ctl.)
  Events seen;
  for (size_t i = afterYield; i < child.seen; ++i)
    if (!child.lines[i].event.starts_with("read "))
      seen.push_back(child.lines[i].event);
  // Already an accessory: the release makes no policy call.
  EXPECT_EQ(seen, (Events{"dock shown " + own, "ctl front 801", "dock shown 801", "getFront -> 801",
                          "pidForProcess -> 801", "windowList -> 1", "uiMode 0 0"}));
  finish();
  EXPECT_EQ(events(child, "uiMode"), (Events{"uiMode 2 0", "uiMode 2 0", "uiMode 0 0"}));
  // The helper read every word asked of the client, in order, the ignored
  // ones too.
  EXPECT_EQ(wordsRead(child), (Events{"engage", "engage", "yield", "yield", "engage", "release"}));
}

TEST_F(Hold, ReleaseBringsBackTheNewTopWindowOrHides) {
  struct Case {
    Events atEngage, whileHolding, released;
  };
  // Before the front goes back, the helper is an accessory again, front.
  const std::string accessory = "policy " + own + " accessory", shown = "dock shown " + own;
  const Case cases[] = {
      // Hidden, the helper hands the front to the top window's owner, or
      // to no one.
      {{},
       {"gone 800", "windows"},
       {"read release", "windowList -> 0", "revoke " + own, accessory, shown, "hide", "dock shown 0",
        "uiMode 0 0"}},
      {{}, {"setFrontStatus -5"},
       {"read release", "windowList -> 1", "revoke " + own, accessory, shown, "setFront 800 0 0x200 -> -5", "hide",
        "dock shown 802", "uiMode 0 0"}},
      {{}, {"windows 0,5,0,1,640,480"},  // no valid owner
       {"read release", "windowList -> 1", "revoke " + own, accessory, shown, "hide", "dock shown 0",
        "uiMode 0 0"}},
      // Engaged while already front: the top window's owner, never itself.
      {{"front " + own}, {},
       {"read release", "windowList -> 1", "revoke " + own, accessory, shown, "setFront 802 40 0x200 -> 0",
        "dock shown 802", "uiMode 0 0"}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [atEngage, whileHolding, released] = cases[i];
    for (const char* line : {"live 800", "front 800", "setFrontStatus 0", "windows 802,40,0,1,640,480"})
      control(line);
    for (const std::string& line : atEngage)
      control(line);
    engage();
    for (const std::string& line : whileHolding)
      control(line);
    command("release");
    EXPECT_EQ(releaseEvents(), released) << "case " << i;
  }
}

// A parent that hangs: its keep-alives stop.
struct HungParent : testing::Test, Session {};

TEST_F(HungParent, SilenceReleasesOnceAfterThreeSecondsAndAgainInTheNextHold) {
  engage();
  double lastKeepAlive = 0;
  for (int i = 0; i < 6; ++i) {
    lastKeepAlive = monotonicSeconds();  // the trace's clock
    command("keepAlive");
    usleep(400'000);
  }
  auto released = waitFor(child, "uiMode 0 0", 10);
  ASSERT_TRUE(released);
  // Never early: three seconds of silence, counted from the last keepAlive.
  EXPECT_GE(released->seconds - lastKeepAlive, 3.0);
  EXPECT_EQ(next(child, "", 0.3), "") << "after the silence release";
  // A new hold watches silence afresh: a second hang is released too.
  command("engage");
  EXPECT_EQ(next(child, "uiMode"), "uiMode 2 0");
  EXPECT_EQ(next(child, "uiMode"), "uiMode 2 0");
  EXPECT_EQ(next(child, "uiMode"), "uiMode 0 0");
}

// The parent recovers after the hold fell silent (the helper stopped past
// 3 s, as in system sleep) and writes "release" and "engage" together: the
// release queued for the silent hold must not end the new one. A probing
// "engage" written once the new hold has begun runs after that queued
// release; it starts a third hold only if the new one was ended.
TEST(HoldRecovery, AQueuedSilenceReleaseEndsOnlyTheHoldThatFellSilent) {
  for (int trial = 0; trial < 5; ++trial) {
    Session s;
    s.engage();
    kill(s.child.pid, SIGSTOP);
    usleep(3'200'000);
    s.command("release\nengage");
    kill(s.child.pid, SIGCONT);
    ASSERT_EQ(next(s.child, "uiMode"), "uiMode 0 0");
    ASSERT_EQ(next(s.child, "uiMode"), "uiMode 2 0");
    s.command("engage");
    closeFd(s.child.input);
    EXPECT_EQ(waitExit(s.child), 0);
    EXPECT_EQ(events(s.child, "uiMode"),
              (Events{"uiMode 2 0", "uiMode 2 0", "uiMode 0 0", "uiMode 2 0", "uiMode 2 0", "uiMode 0 0"}))
        << "trial " << trial;
  }
}

// The end of input and the parent's death both release completely, then
// exit 0 without a word.
TEST(HoldEnding, EndOfInputOrParentDeathReleasesCompletelyBeforeExit) {
  for (bool parentDies : {false, true}) {
    pid_t parent = 0;
    Session s(parentDies ? Session::dying : Session::byHand, &parent);
    s.engage();
    if (parentDies) {
      // Our end of its input stays open: only the parent's death can end it.
      kill(parent, SIGKILL);
      waitpid(parent, nullptr, 0);
    } else {
      closeFd(s.child.input);
    }
    EXPECT_EQ(waitExit(s.child), 0);
    EXPECT_EQ(output(s.child), "");
    EXPECT_EQ(s.releaseEvents(),
              (Events{"windowList -> 1", "revoke " + s.own, "policy " + s.own + " accessory",
                      "dock shown " + s.own, "setFront 800 0 0x200 -> 0", "dock shown 800", "uiMode 0 0"}))
        << (parentDies ? "parent died" : "input ended");
  }
}

TEST(HoldUnbound, WithoutAFrontQueryEveryTickReassertsAndReleaseHasNoTarget) {
  Session s;
  s.control("absent getFront");
  s.command("engage");
  for (int tick = 0; tick < 5; ++tick)
    EXPECT_EQ(next(s.child, "setFront"), s.holdFront()) << "tick " << tick;
  s.command("release");
  closeFd(s.child.input);
  EXPECT_EQ(waitExit(s.child), 0);
  EXPECT_EQ(events(s.child, "getFront"), Events{});
  EXPECT_EQ(events(s.child, "hide"), Events{});
  for (const std::string& e : events(s.child, "setFront"))
    EXPECT_EQ(e, s.holdFront());  // nothing given back
}

}  // namespace
