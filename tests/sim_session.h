// A parent application's session with the simulated helper: commands on its
// input, control lines to the simulated window server, and its trace.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/child.h"

struct SimSession : testing::Test {
  SimSession() : child(spawnChild(PALISADE_SIM_PATH)) {
    auto start = waitFor(child, "start ");
    own = start ? start->event.substr(6) : "?";
  }
  ~SimSession() override {
    if (child.input >= 0 || child.control >= 0) {
      closeFd(child.input);
      closeFd(child.control);
      waitExit(child, 5);
    }
  }

  void command(const std::string& text) { send(child.input, text + "\n"); }

  // Applies a control line and waits until it has taken effect.
  void control(const std::string& line) {
    send(child.control, line + "\n");
    ASSERT_TRUE(waitFor(child, "ctl " + line)) << line;
  }

  // The next event that starts with `prefix`; fails the test if none comes.
  std::string next(const std::string& prefix, double timeout = 10) {
    auto line = waitFor(child, prefix, timeout);
    EXPECT_TRUE(line) << "no '" << prefix << "' in the trace";
    return line ? line->event : "";
  }

  // Ends the input and returns the helper's exit status.
  std::optional<int> finish() {
    closeFd(child.input);
    closeFd(child.control);
    return waitExit(child);
  }

  std::string holdFront() const { return "setFront " + own + " 0 0x400 -> 0"; }

  Child child;
  std::string own;
};
