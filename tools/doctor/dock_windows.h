// The Dock process's windows picked out of the window server's list. Plain
// CoreFoundation, so that it is tested off a Mac as the window-list
// conversion is.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <vector>

#include "tools/doctor/dock_sight.h"

/// The windows in `list` (CGWindowListCopyWindowInfo's, or null) whose
/// owner is named "Dock", in the list's order. A window not marked on
/// screen is off screen; a layer or bounds that cannot be read is 0, an
/// alpha 1. Entries that are not dictionaries are skipped.
std::vector<DockWindow> dockWindowsIn(CFArrayRef list);
