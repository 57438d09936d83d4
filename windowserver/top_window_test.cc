#include "windowserver/top_window.h"

#include <gtest/gtest.h>

#include <cmath>

#include "sim/window_server.h"

namespace {

constexpr pid_t kSelf = 77;

WindowRecord window(pid_t pid, uint32_t number, double width = 800, double height = 600) {
  WindowRecord w;
  w.layer = {Entry::present, 0};
  w.ownerPID = {Entry::present, pid};
  w.bounds = {Entry::present, {width, height}};
  w.number = {Entry::present, number};
  return w;
}

std::optional<Target> scan(std::vector<WindowRecord> windows) { return scanWindows(windows, kSelf); }

TEST(TopWindow, FirstQualifyingWindowOfAnotherProcessWins) {
  EXPECT_EQ(scan({}), std::nullopt);
  EXPECT_EQ(scan({window(10, 1), window(11, 2)}), (Target{10, 1}));
  EXPECT_EQ(scan({window(kSelf, 1), window(11, 2)}), (Target{11, 2}));
  WindowRecord menu = window(10, 1);
  menu.layer.value = 25;
  EXPECT_EQ(scan({menu, window(11, 2)}), (Target{11, 2}));
}

TEST(TopWindow, RecordsOfTheWrongShapeAreSkipped) {
  WindowRecord empty, noLayer = window(10, 1), layerNotNumber = window(10, 2), noOwner = window(10, 3),
                      noNumber = window(10, 4), numberNotNumber = window(10, 5);
  noLayer.layer.entry = Entry::absent;
  layerNotNumber.layer.entry = Entry::wrongKind;
  noOwner.ownerPID.entry = Entry::absent;
  noNumber.number.entry = Entry::absent;
  numberNotNumber.number.entry = Entry::wrongKind;
  EXPECT_EQ(scan({empty, noLayer, layerNotNumber, noOwner, noNumber, numberNotNumber, window(12, 9)}),
            (Target{12, 9}));
}

TEST(TopWindow, TransparentWindowsAreSkippedUnlessAlphaSaysNothing) {
  auto withAlpha = [](Entry entry, double alpha) {
    WindowRecord w = window(10, 1);
    w.alpha = {entry, alpha};
    return scan({w, window(11, 2)});
  };
  EXPECT_EQ(withAlpha(Entry::present, 0.0), (Target{11, 2}));
  EXPECT_EQ(withAlpha(Entry::present, -1.0), (Target{11, 2}));
  EXPECT_EQ(withAlpha(Entry::present, std::nan("")), (Target{11, 2}));
  EXPECT_EQ(withAlpha(Entry::present, 0.01), (Target{10, 1}));
  EXPECT_EQ(withAlpha(Entry::absent, 0.0), (Target{10, 1}));
  EXPECT_EQ(withAlpha(Entry::wrongKind, 0.0), (Target{10, 1}));
}

TEST(TopWindow, SmallOrShapelessBoundsAreSkipped) {
  EXPECT_EQ(scan({window(10, 1, 50, 50)}), (Target{10, 1}));
  EXPECT_EQ(scan({window(10, 1, 49.9, 600), window(11, 2)}), (Target{11, 2}));
  EXPECT_EQ(scan({window(10, 1, 600, 49.9), window(11, 2)}), (Target{11, 2}));
  EXPECT_EQ(scan({window(10, 1, std::nan(""), 600), window(11, 2)}), (Target{11, 2}));
  WindowRecord noBounds = window(10, 1), unconvertible = window(10, 3);
  noBounds.bounds.entry = Entry::absent;
  unconvertible.bounds.entry = Entry::wrongKind;
  EXPECT_EQ(scan({noBounds, unconvertible, window(11, 2)}), (Target{11, 2}));
}

TEST(TopWindow, NoListMeansNoWindow) {
  applyControl("windows 10,1,0,1,800,600");
  EXPECT_EQ(topWindow(kSelf), (Target{10, 1}));
  applyControl("windows null");
  EXPECT_EQ(topWindow(kSelf), std::nullopt);
}

}  // namespace
