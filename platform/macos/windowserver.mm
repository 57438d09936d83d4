// The window-server side on macOS: the on-screen window list, process serial
// numbers, and the dynamic loader. Which window counts is decided by the
// portable scan, not here.
#include <ApplicationServices/ApplicationServices.h>
#include <dlfcn.h>

#include "platform/macos/window_list.h"
#include "platform/platform.h"

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
