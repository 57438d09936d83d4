#include "windowserver/top_window.h"

#include "platform/platform.h"

namespace {

bool qualifies(const WindowRecord& w, pid_t excludedPID) {
  if (w.layer.entry != Entry::present || w.layer.value != 0)
    return false;
  if (w.ownerPID.entry != Entry::present || w.ownerPID.value == excludedPID)
    return false;
  // An alpha that is not a number says nothing about opacity; NaN is not > 0.
  if (w.alpha.entry == Entry::present && !(w.alpha.value > 0.0))
    return false;
  if (w.bounds.entry != Entry::present || !(w.bounds.value.width >= kMinimumWindowSide) ||
      !(w.bounds.value.height >= kMinimumWindowSide))
    return false;
  return w.number.entry == Entry::present;
}

}  // namespace

std::optional<Target> scanWindows(const std::vector<WindowRecord>& windows, pid_t excludedPID) {
  for (const WindowRecord& w : windows) {
    if (qualifies(w, excludedPID))
      return Target{w.ownerPID.value, w.number.value};
  }
  return std::nullopt;
}

std::optional<Target> topWindow(pid_t excludedPID) {
  std::optional<std::vector<WindowRecord>> windows = copyWindowList();
  if (!windows)
    return std::nullopt;
  return scanWindows(*windows, excludedPID);
}
