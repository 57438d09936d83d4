// The window-server side of the Linux stand-in. There is no window server:
// the front-process library is not found, so its entry points are absent,
// there is no window list, and UI mode, policy and hiding have nothing to
// act on.
#include <dlfcn.h>

#include "platform/platform.h"

void setSystemUIMode(uint32_t, uint32_t) {}

void setActivationPolicy(ActivationPolicy) {}

void hideApplication() {}

std::optional<std::vector<WindowRecord>> copyWindowList() { return std::nullopt; }

// No process has a serial number here (procNotFound).
int32_t processForPID(pid_t, ProcessSerial*) { return -600; }
int32_t pidForProcess(const ProcessSerial*, pid_t*) { return -600; }

void* openLibrary(const char* path) { return dlopen(path, RTLD_LAZY); }
void* lookupSymbol(void* handle, const char* name) { return dlsym(handle, name); }
