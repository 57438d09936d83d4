// The window server's on-screen list, as CoreGraphics returns it, turned into
// the records the portable scan reads. macOS only.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <vector>

#include "platform/window_record.h"

/// Converts `list` (an array of string-keyed dictionaries) into records, in
/// order; nullopt when `list` is null, not an array, or any element is not a
/// string-keyed dictionary. Any thread; reads `list`, never retains or
/// releases it.
std::optional<std::vector<WindowRecord>> convertWindowList(CFTypeRef list);
