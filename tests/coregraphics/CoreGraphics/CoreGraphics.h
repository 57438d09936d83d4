// Tests only: the CoreGraphics names the window-list conversion, the
// doctor's reading of the Dock's windows and their tests use, over the open-source CoreFoundation, so that both run off a Mac. A
// rectangle travels as a dictionary of X, Y, Width and Height, as it does
// from the window server.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cmath>

typedef double CGFloat;
struct CGPoint { CGFloat x, y; };
struct CGSize { CGFloat width, height; };
struct CGRect { CGPoint origin; CGSize size; };

// Each key's value is its name. CFSTR is an expression statement here, so
// it is evaluated in a function.
#define PALISADE_CG_KEY(name) inline const CFStringRef name = [] { return CFSTR(#name); }();
PALISADE_CG_KEY(kCGWindowNumber)
PALISADE_CG_KEY(kCGWindowLayer)
PALISADE_CG_KEY(kCGWindowOwnerPID)
PALISADE_CG_KEY(kCGWindowAlpha)
PALISADE_CG_KEY(kCGWindowBounds)
PALISADE_CG_KEY(kCGWindowOwnerName)
PALISADE_CG_KEY(kCGWindowIsOnscreen)
#undef PALISADE_CG_KEY

inline CGRect CGRectMake(CGFloat x, CGFloat y, CGFloat width, CGFloat height) {
  return {{x, y}, {width, height}};
}

// Standardised, as CoreGraphics reads them: never negative.
inline CGFloat CGRectGetWidth(CGRect rect) { return std::fabs(rect.size.width); }
inline CGFloat CGRectGetHeight(CGRect rect) { return std::fabs(rect.size.height); }

inline CFDictionaryRef CGRectCreateDictionaryRepresentation(CGRect rect) {
  CGFloat values[] = {rect.origin.x, rect.origin.y, rect.size.width, rect.size.height};
  CFTypeRef numbers[4];
  for (int i = 0; i < 4; ++i)
    numbers[i] = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &values[i]);
  const void* keys[] = {CFSTR("X"), CFSTR("Y"), CFSTR("Width"), CFSTR("Height")};
  CFDictionaryRef dict = CFDictionaryCreate(kCFAllocatorDefault, keys, numbers, 4,
                                            &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  for (CFTypeRef number : numbers)
    CFRelease(number);
  return dict;
}

// False, leaving *rect alone, unless all four are numbers.
inline bool CGRectMakeWithDictionaryRepresentation(CFDictionaryRef dict, CGRect* rect) {
  CFStringRef keys[] = {CFSTR("X"), CFSTR("Y"), CFSTR("Width"), CFSTR("Height")};
  CGFloat values[4];
  for (int i = 0; i < 4; ++i) {
    CFTypeRef value = CFDictionaryGetValue(dict, keys[i]);
    if (!value || CFGetTypeID(value) != CFNumberGetTypeID())
      return false;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &values[i]);
  }
  *rect = CGRectMake(values[0], values[1], values[2], values[3]);
  return true;
}
