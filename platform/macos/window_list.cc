#include "platform/macos/window_list.h"

#include <CoreGraphics/CoreGraphics.h>

#include <cstdint>

namespace {

// The CFNumber type of the width each field is read at.
CFNumberType numberType(int32_t*) { return kCFNumberSInt32Type; }
CFNumberType numberType(int64_t*) { return kCFNumberSInt64Type; }
CFNumberType numberType(double*) { return kCFNumberDoubleType; }

// The kind is checked by type ID: CFNumberGetValue returns false on a lossy
// conversion yet still stores a value, which is taken as it is.
template <class T>
WindowField<T> numberField(CFDictionaryRef window, CFStringRef key) {
  CFTypeRef value = CFDictionaryGetValue(window, key);
  if (!value)
    return {Entry::absent};
  if (CFGetTypeID(value) != CFNumberGetTypeID())
    return {Entry::wrongKind};
  T number{};
  CFNumberGetValue(static_cast<CFNumberRef>(value), numberType(&number), &number);
  return {Entry::present, number};
}

// Window numbers are 32-bit unsigned, but CoreFoundation has no unsigned
// 32-bit kind: a large one may come as a negative SInt32 or as an SInt64.
// Both fit between these bounds; a number outside them names no window, and
// cutting it down to 32 bits would name some other window.
WindowField<uint32_t> windowNumberField(CFDictionaryRef window) {
  WindowField<int64_t> wide = numberField<int64_t>(window, kCGWindowNumber);
  if (wide.entry == Entry::present && (wide.value < INT32_MIN || wide.value > UINT32_MAX))
    return {Entry::wrongKind};
  return {wide.entry, uint32_t(wide.value)};
}

WindowField<WindowSize> boundsField(CFDictionaryRef window) {
  CFTypeRef value = CFDictionaryGetValue(window, kCGWindowBounds);
  if (!value)
    return {Entry::absent};
  CGRect rect;
  if (CFGetTypeID(value) != CFDictionaryGetTypeID() ||
      !CGRectMakeWithDictionaryRepresentation(static_cast<CFDictionaryRef>(value), &rect))
    return {Entry::wrongKind};
  return {Entry::present, {CGRectGetWidth(rect), CGRectGetHeight(rect)}};
}

bool isWindowDictionary(CFTypeRef item) {
  if (!item || CFGetTypeID(item) != CFDictionaryGetTypeID())
    return false;
  bool stringKeys = true;
  CFDictionaryApplyFunction(
      static_cast<CFDictionaryRef>(item),
      [](const void* key, const void*, void* context) {
        if (!key || CFGetTypeID(key) != CFStringGetTypeID())
          *static_cast<bool*>(context) = false;
      },
      &stringKeys);
  return stringKeys;
}

WindowRecord makeRecord(CFDictionaryRef window) {
  WindowRecord record;
  record.layer = numberField<int64_t>(window, kCGWindowLayer);
  record.ownerPID = numberField<int32_t>(window, kCGWindowOwnerPID);
  record.alpha = numberField<double>(window, kCGWindowAlpha);
  record.bounds = boundsField(window);
  record.number = windowNumberField(window);
  return record;
}

}  // namespace

std::optional<std::vector<WindowRecord>> convertWindowList(CFTypeRef list) {
  if (!list || CFGetTypeID(list) != CFArrayGetTypeID())
    return std::nullopt;
  auto array = static_cast<CFArrayRef>(list);
  std::vector<WindowRecord> records;
  for (CFIndex i = 0, count = CFArrayGetCount(array); i < count; ++i) {
    CFTypeRef item = CFArrayGetValueAtIndex(array, i);
    // One entry of the wrong shape and the whole list is untrusted.
    if (!isWindowDictionary(item))
      return std::nullopt;
    records.push_back(makeRecord(static_cast<CFDictionaryRef>(item)));
  }
  return records;
}
