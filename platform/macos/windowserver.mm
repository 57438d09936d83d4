// The window-server side on macOS: the on-screen window list converted into
// records, process serial numbers, and the dynamic loader. Which window
// counts is decided by the portable scan, not here.
#include <ApplicationServices/ApplicationServices.h>
#include <dlfcn.h>

#include "platform/platform.h"

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
  // Read wide, so neither a 32- nor a 64-bit number is converted lossily;
  // window IDs are 32-bit unsigned.
  WindowField<int64_t> number = numberField<int64_t>(window, kCGWindowNumber);
  record.number = {number.entry, uint32_t(number.value)};
  return record;
}

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

}  // namespace

std::optional<std::vector<WindowRecord>> copyWindowList() {
  CFArrayRef list = CGWindowListCopyWindowInfo(
      kCGWindowListOptionOnScreenOnly | kCGWindowListExcludeDesktopElements, kCGNullWindowID);
  std::optional<std::vector<WindowRecord>> records = convertWindowList(list);
  if (list)
    CFRelease(list);
  return records;
}

// Deprecated since 10.9, but still the only way between pids and the serial
// numbers the front-process calls take.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"

int32_t processForPID(pid_t pid, ProcessSerial* psn) {
  ProcessSerialNumber number{};
  OSStatus status = GetProcessForPID(pid, &number);
  *psn = {number.highLongOfPSN, number.lowLongOfPSN};
  return status;
}

int32_t pidForProcess(const ProcessSerial* psn, pid_t* pid) {
  ProcessSerialNumber number{psn->high, psn->low};
  return GetProcessPID(&number, pid);
}

#pragma clang diagnostic pop

void* openLibrary(const char* path) { return dlopen(path, RTLD_LAZY); }
void* lookupSymbol(void* handle, const char* name) { return dlsym(handle, name); }
