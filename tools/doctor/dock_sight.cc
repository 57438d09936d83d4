#include "tools/doctor/dock_sight.h"

#include <cstdio>
#include <cstring>

namespace {

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", value);
  return text;
}

bool inside(const DockWindow& window, Rect display) {
  return window.x < display.x + display.width && window.x + window.width > display.x &&
         window.y < display.y + display.height && window.y + window.height > display.y;
}

}  // namespace

const char* dockSeenName(DockSeen seen) {
  return seen == DockSeen::shown ? "shown" : seen == DockSeen::hidden ? "out of sight" : "unread";
}

DockSeen dockSeen(const std::vector<DockWindow>& windows, int dockLayer, Rect display) {
  if (windows.empty())
    return DockSeen::unknown;
  for (const DockWindow& window : windows)
    // A hidden Dock may stay listed as a sliver at the screen's edge.
    if (window.onScreen && window.layer == dockLayer && window.alpha > 0 && window.width > 1 &&
        window.height > 1 && inside(window, display))
      return DockSeen::shown;
  return DockSeen::hidden;
}

std::string describeDockWindows(const std::vector<DockWindow>& windows, size_t limit) {
  if (windows.empty())
    return "none listed";
  std::string text;
  for (size_t i = 0; i < windows.size() && i < limit; i++) {
    const DockWindow& w = windows[i];
    char one[128];
    std::snprintf(one, sizeof one, "%s%s layer %d at %.0f,%.0f %.0fx%.0f", i ? "; " : "",
                  w.onScreen ? "on-screen" : "off-screen", w.layer, w.x, w.y, w.width, w.height);
    text += one;
    if (w.alpha < 1) {
      std::snprintf(one, sizeof one, " alpha %.2f", w.alpha);
      text += one;
    }
  }
  if (windows.size() > limit)
    text += "; " + std::to_string(windows.size() - limit) + " more";
  return text;
}

DockVerdict judgeDock(const char* optionsState, DockSeen holding, DockSeen before) {
  bool asked = std::strcmp(optionsState, "hidden") == 0;
  std::string options = std::string("the options say ") + optionsState;
  if (holding == DockSeen::unknown)
    return {asked, options + "; the Dock's windows were not listed, so going by the options"};
  if (before != DockSeen::shown)
    return {asked, options + "; the Dock's windows were " + dockSeenName(before) +
                       " before engage already, so they cannot tell: going by the options"};
  bool hidden = holding == DockSeen::hidden;
  std::string windows = std::string("the Dock's windows are ") + dockSeenName(holding);
  if (hidden == asked)
    return {hidden, windows + ", as " + options};
  return {hidden, windows + ", though " + options + ": going by the windows"};
}

std::string describeTimeline(const std::vector<Sample>& samples) {
  std::string text;
  for (size_t i = 0; i < samples.size(); i++) {
    const Sample& s = samples[i];
    if (i > 0 && s.policy == samples[i - 1].policy && s.dock == samples[i - 1].dock)
      continue;
    text += (text.empty() ? "" : "; ") + seconds(s.seconds) + " " + s.policy + ", Dock " + dockSeenName(s.dock);
  }
  return text.empty() ? "no samples" : text;
}

std::string regularWithDockShown(const std::vector<Sample>& samples) {
  size_t count = 0;
  double first = -1, longest = 0, runStart = -1;
  for (size_t i = 0; i < samples.size(); i++) {
    const Sample& s = samples[i];
    if (s.policy != "regular" || s.dock != DockSeen::shown) {
      runStart = -1;
      continue;
    }
    count++;
    if (first < 0)
      first = s.seconds;
    if (runStart < 0)
      runStart = s.seconds;
    // A stretch lasts until the next sample, which no longer shows it.
    double end = i + 1 < samples.size() ? samples[i + 1].seconds : s.seconds;
    if (end - runStart > longest)
      longest = end - runStart;
  }
  if (count == 0)
    return "never in " + std::to_string(samples.size()) + " samples";
  return std::to_string(count) + " of " + std::to_string(samples.size()) + " samples, first at " + seconds(first) +
         ", longest " + seconds(longest);
}
