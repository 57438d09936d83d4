#include "tools/doctor/dock_windows.h"

#include <CoreGraphics/CoreGraphics.h>

#include <cstdint>

namespace {

bool isDock(CFDictionaryRef info) {
  CFTypeRef owner = CFDictionaryGetValue(info, kCGWindowOwnerName);
  return owner && CFGetTypeID(owner) == CFStringGetTypeID() &&
         CFStringCompare(static_cast<CFStringRef>(owner), CFSTR("Dock"), 0) == kCFCompareEqualTo;
}

DockWindow dockWindow(CFDictionaryRef info) {
  DockWindow window{};
  window.alpha = 1;  // unless it says otherwise
  double alpha;
  CFTypeRef opacity = CFDictionaryGetValue(info, kCGWindowAlpha);
  if (opacity && CFGetTypeID(opacity) == CFNumberGetTypeID() &&
      CFNumberGetValue(static_cast<CFNumberRef>(opacity), kCFNumberDoubleType, &alpha))
    window.alpha = alpha;
  int32_t layer = 0;
  CFTypeRef number = CFDictionaryGetValue(info, kCGWindowLayer);
  if (number && CFGetTypeID(number) == CFNumberGetTypeID() &&
      CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt32Type, &layer))
    window.layer = layer;
  // The key is there only for a window on screen.
  CFTypeRef onScreen = CFDictionaryGetValue(info, kCGWindowIsOnscreen);
  window.onScreen = onScreen && CFGetTypeID(onScreen) == CFBooleanGetTypeID() &&
                    CFBooleanGetValue(static_cast<CFBooleanRef>(onScreen));
  CFTypeRef bounds = CFDictionaryGetValue(info, kCGWindowBounds);
  CGRect rect;
  if (bounds && CFGetTypeID(bounds) == CFDictionaryGetTypeID() &&
      CGRectMakeWithDictionaryRepresentation(static_cast<CFDictionaryRef>(bounds), &rect)) {
    window.x = rect.origin.x;
    window.y = rect.origin.y;
    window.width = CGRectGetWidth(rect);
    window.height = CGRectGetHeight(rect);
  }
  return window;
}

}  // namespace

std::vector<DockWindow> dockWindowsIn(CFArrayRef list) {
  std::vector<DockWindow> found;
  if (!list)
    return found;
  for (CFIndex i = 0, count = CFArrayGetCount(list); i < count; i++) {
    CFTypeRef item = CFArrayGetValueAtIndex(list, i);
    if (item && CFGetTypeID(item) == CFDictionaryGetTypeID() && isDock(static_cast<CFDictionaryRef>(item)))
      found.push_back(dockWindow(static_cast<CFDictionaryRef>(item)));
  }
  return found;
}
