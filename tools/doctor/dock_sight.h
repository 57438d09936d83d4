// What the doctor makes of the Dock: its own windows as the window server
// lists them, beside the presentation options the active application asked
// for, and the helper's activation policy sampled over a run. Portable, so
// that what it concludes is tested away from a Mac.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct DockWindow {
  bool onScreen;
  int layer;
  double x, y, width, height;
  double alpha;  // 0 is invisible, wherever it is
};

struct Rect {
  double x, y, width, height;
};

enum class DockSeen { shown, hidden, unknown };

/// "shown", "out of sight" or "unread".
const char* dockSeenName(DockSeen seen);

/// Shown when one of the Dock's windows at `dockLayer` is on screen, not
/// transparent, with an area inside `display`; hidden when the Dock's
/// windows were listed and none is; unknown when none was listed (no Dock
/// process, or no list).
DockSeen dockSeen(const std::vector<DockWindow>& windows, int dockLayer, Rect display);

/// The windows in one line, the first `limit` of them, for a table cell.
std::string describeDockWindows(const std::vector<DockWindow>& windows, size_t limit);

/// Whether the Dock was out of sight while holding, and why. The options
/// (`optionsState`: "hidden", "autohide" or "shown") are only a request;
/// the windows decide where they were read, and differ from the options,
/// and the Dock was in sight before engage (else they cannot tell).
struct DockVerdict {
  bool hidden;
  std::string text;
};
DockVerdict judgeDock(const char* optionsState, DockSeen holding, DockSeen before);

/// One sample of the helper as seen from beside it.
struct Sample {
  double seconds;      // since the helper was started
  std::string policy;  // "regular", "accessory", "prohibited", "not an application"
  DockSeen dock;
};

/// The samples as a line of changes: "0.000 s accessory, Dock shown; ...".
std::string describeTimeline(const std::vector<Sample>& samples);

/// When the helper was regular while the Dock's windows were in sight, the
/// moment its icon can show in a visible Dock: "never in N samples", or how
/// many, from when, and the longest stretch.
std::string regularWithDockShown(const std::vector<Sample>& samples);
