#include "tools/doctor/dock_sight.h"

#include <gtest/gtest.h>

namespace {

constexpr int kDockLayer = 20;
constexpr Rect kDisplay{0, 0, 1440, 900};
constexpr DockWindow kBar{true, kDockLayer, 300, 830, 840, 70, 1};
constexpr DockWindow kWallpaper{true, -2147483624, 0, 0, 1440, 900, 1};

DockWindow with(DockWindow window, bool onScreen, double y, double height) {
  window.onScreen = onScreen;
  window.y = y;
  window.height = height;
  return window;
}

TEST(DockSight, OnlyTheBarInSightCountsAsShown) {
  EXPECT_EQ(dockSeen({kWallpaper, kBar}, kDockLayer, kDisplay), DockSeen::shown);
  EXPECT_EQ(dockSeen({kWallpaper, with(kBar, false, 830, 70)}, kDockLayer, kDisplay), DockSeen::hidden);
  // Slid off the bottom edge, or left as a sliver there.
  EXPECT_EQ(dockSeen({with(kBar, true, 900, 70)}, kDockLayer, kDisplay), DockSeen::hidden);
  EXPECT_EQ(dockSeen({with(kBar, true, 899, 1)}, kDockLayer, kDisplay), DockSeen::hidden);
  EXPECT_EQ(dockSeen({kWallpaper}, kDockLayer, kDisplay), DockSeen::hidden);
  DockWindow transparent = kBar;
  transparent.alpha = 0;
  EXPECT_EQ(dockSeen({transparent}, kDockLayer, kDisplay), DockSeen::hidden);
  // Described as listed: an alpha only where the window is not opaque.
  EXPECT_EQ(describeDockWindows({kBar, transparent, kWallpaper}, 2),
            "on-screen layer 20 at 300,830 840x70; on-screen layer 20 at 300,830 840x70 alpha 0.00; 1 more");
  EXPECT_EQ(dockSeen({}, kDockLayer, kDisplay), DockSeen::unknown);
}

TEST(DockSight, TheWindowsOverruleTheOptionsAndSaySo) {
  DockVerdict ignored = judgeDock("hidden", DockSeen::shown, DockSeen::shown);
  EXPECT_FALSE(ignored.hidden);
  EXPECT_NE(ignored.text.find("though the options say hidden: going by the windows"), std::string::npos)
      << ignored.text;
  DockVerdict unasked = judgeDock("shown", DockSeen::hidden, DockSeen::shown);
  EXPECT_TRUE(unasked.hidden);
  EXPECT_NE(unasked.text.find("going by the windows"), std::string::npos) << unasked.text;
  DockVerdict agreed = judgeDock("hidden", DockSeen::hidden, DockSeen::shown);
  EXPECT_TRUE(agreed.hidden);
  EXPECT_EQ(agreed.text.find("going by"), std::string::npos) << agreed.text;
}

// Unread windows, or a Dock already out of sight before engage (autohide),
// leave only the options to go by.
TEST(DockSight, TheOptionsDecideWhenTheWindowsCannotTell) {
  EXPECT_TRUE(judgeDock("hidden", DockSeen::unknown, DockSeen::unknown).hidden);
  EXPECT_FALSE(judgeDock("shown", DockSeen::unknown, DockSeen::shown).hidden);
  DockVerdict autohide = judgeDock("autohide", DockSeen::hidden, DockSeen::hidden);
  EXPECT_FALSE(autohide.hidden);
  EXPECT_NE(autohide.text.find("before engage already"), std::string::npos) << autohide.text;
}

TEST(DockSight, RegularWithTheDockShownIsCountedAndTimed) {
  std::vector<Sample> samples = {{0.00, "accessory", DockSeen::shown}, {0.01, "regular", DockSeen::shown},
                                 {0.02, "regular", DockSeen::shown},   {0.05, "regular", DockSeen::hidden},
                                 {0.06, "accessory", DockSeen::shown}, {0.07, "regular", DockSeen::shown},
                                 {0.08, "regular", DockSeen::unknown}};
  EXPECT_EQ(regularWithDockShown(samples), "3 of 7 samples, first at 0.010 s, longest 0.040 s");
  samples[1].dock = samples[2].dock = samples[5].dock = DockSeen::hidden;
  EXPECT_EQ(regularWithDockShown(samples), "never in 7 samples");
  EXPECT_EQ(describeTimeline(samples),
            "0.000 s accessory, Dock shown; 0.010 s regular, Dock out of sight; 0.060 s accessory, Dock shown; "
            "0.070 s regular, Dock out of sight; 0.080 s regular, Dock unread");
}

}  // namespace
