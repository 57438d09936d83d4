#include "tools/doctor/dock_windows.h"

#include <CoreGraphics/CoreGraphics.h>
#include <gtest/gtest.h>

#include <cstdint>

namespace {

CFMutableDictionaryRef window(const char* owner, int32_t layer, CFTypeRef onScreen) {
  CFMutableDictionaryRef w = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                       &kCFTypeDictionaryValueCallBacks);
  CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, owner, kCFStringEncodingUTF8);
  CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &layer);
  CFDictionaryRef bounds = CGRectCreateDictionaryRepresentation(CGRectMake(300, 830, 840, 70));
  CFDictionarySetValue(w, kCGWindowOwnerName, name);
  CFDictionarySetValue(w, kCGWindowLayer, number);
  CFDictionarySetValue(w, kCGWindowBounds, bounds);
  if (onScreen)
    CFDictionarySetValue(w, kCGWindowIsOnscreen, onScreen);
  CFRelease(name);
  CFRelease(number);
  CFRelease(bounds);
  return w;
}

// Only the Dock's windows, in order; on screen only where marked true.
TEST(DockWindows, PicksTheDocksWindowsOutOfTheList) {
  int32_t one = 1;
  CFNumberRef notBoolean = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &one);
  CFMutableDictionaryRef unbounded = window("Dock", 20, kCFBooleanTrue);
  CFDictionaryRemoveValue(unbounded, kCGWindowBounds);
  double clear = 0;
  CFNumberRef transparent = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &clear);
  CFDictionarySetValue(unbounded, kCGWindowAlpha, transparent);
  CFRelease(transparent);
  CFTypeRef entries[] = {window("Dock", 20, kCFBooleanTrue), window("Finder", 20, kCFBooleanTrue),
                         CFSTR("not a window"),              window("Dock", -2147483624, nullptr),
                         window("Dock", 20, kCFBooleanFalse), window("Dock", 20, notBoolean),
                         unbounded};
  CFArrayRef list = CFArrayCreate(kCFAllocatorDefault, entries, 7, &kCFTypeArrayCallBacks);
  for (CFTypeRef entry : entries)
    if (CFGetTypeID(entry) == CFDictionaryGetTypeID())
      CFRelease(entry);
  CFRelease(notBoolean);

  std::vector<DockWindow> found = dockWindowsIn(list);
  CFRelease(list);
  ASSERT_EQ(found.size(), 5u);
  EXPECT_TRUE(found[0].onScreen);
  EXPECT_EQ(found[0].layer, 20);
  EXPECT_EQ(found[0].x, 300);
  EXPECT_EQ(found[0].y, 830);
  EXPECT_EQ(found[0].width, 840);
  EXPECT_EQ(found[0].height, 70);
  EXPECT_EQ(found[0].alpha, 1);
  EXPECT_FALSE(found[1].onScreen);
  EXPECT_EQ(found[1].layer, -2147483624);
  EXPECT_FALSE(found[2].onScreen);
  EXPECT_FALSE(found[3].onScreen);
  EXPECT_TRUE(found[4].onScreen);
  EXPECT_EQ(found[4].width, 0);
  EXPECT_EQ(found[4].alpha, 0);
  EXPECT_TRUE(dockWindowsIn(nullptr).empty());
}

}  // namespace
