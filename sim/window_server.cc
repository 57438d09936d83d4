// The simulated window server's entry points and the platform seam's
// window-server calls, each traced as it happens.
#include "sim/window_server.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"
#include "sim/server.h"
#include "sim/trace.h"
#include "windowserver/front_process.h"
#include "windowserver/top_window.h"

namespace {

constexpr int32_t kProcNotFound = -600;

// The symbols of the simulated framework's entry points, in kEntryNames' order.
constexpr const char* kEntrySymbols[] = {
    "_SLPSGetFrontProcess", "_SLPSSetFrontProcessWithOptions",
    "SLPSAddToPermittedFrontPSNList", "SLPSRemoveFromPermittedFrontPSNList"};

// A process's serial number is its pid in the low word.
pid_t pidOf(const ProcessSerial* psn) { return pid_t(psn->low); }

// --- The simulated framework's entry points ----------------------------------

int32_t simGetFront(ProcessSerial* psn) {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  if (s.front == 0) {
    trace("getFront -> fail");
    return kProcNotFound;
  }
  *psn = {0, uint32_t(s.front)};
  trace("getFront -> %d", s.front);
  return 0;
}

int32_t simSetFront(ProcessSerial* psn, uint32_t window, uint32_t mode) {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  pid_t pid = pidOf(psn);
  int32_t status = s.setFrontStatus;
  if (status == 0 && !s.live.count(pid))
    status = kProcNotFound;
  if (status == 0)
    s.front = pid;
  trace("setFront %d %u 0x%x -> %d", pid, window, mode, status);
  showFront(s.presentation, s.front);
  return status;
}

int32_t simPermit(ProcessSerial* psn) {
  trace("permit %d", pidOf(psn));
  return 0;
}

int32_t simRevoke(ProcessSerial* psn) {
  trace("revoke %d", pidOf(psn));
  return 0;
}

void* const kEntryAddresses[] = {
    reinterpret_cast<void*>(simGetFront), reinterpret_cast<void*>(simSetFront),
    reinterpret_cast<void*>(simPermit), reinterpret_cast<void*>(simRevoke)};

}  // namespace

Server& server() {
  static Server* const instance = new Server();
  return *instance;
}

int simLookups(std::string_view symbol) {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  for (int i = 0; i < kEntryPointCount; ++i) {
    if (symbol == kEntrySymbols[i])
      return s.lookups[i];
  }
  return 0;
}

pid_t simFrontPID() {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  return s.front;
}

// --- The platform seam --------------------------------------------------------

// The helper sets its own mode and policy; the Dock changes only if it is
// front.
void setSystemUIMode(uint32_t mode, uint32_t options) {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  trace("uiMode %u %u", mode, options);
  setUIMode(s.presentation, getpid(), mode);
  showFront(s.presentation, s.front);
}

void setActivationPolicy(ActivationPolicy policy) {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  bool accessory = policy == ActivationPolicy::accessory;
  trace("policy %d %s", getpid(), accessory ? "accessory" : "regular");
  setAccessory(s.presentation, getpid(), accessory);
  showFront(s.presentation, s.front);
}

// A hidden front application hands the front on, as macOS does: to the
// owner of the topmost window of another live process, by the rules that
// pick the window to give back at release, or to no one.
void hideApplication() {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  trace("hide");
  if (s.front != getpid())
    return;
  // Only the windows of live processes; the scan judges the rest, an owner
  // that was not read included.
  std::vector<WindowRecord> live;
  for (const WindowRecord& w : s.windows.value_or(std::vector<WindowRecord>{})) {
    if (s.live.count(w.ownerPID.value))
      live.push_back(w);
  }
  std::optional<Target> next = scanWindows(live, getpid());
  s.front = next ? next->pid : 0;
  showFront(s.presentation, s.front);
}

std::optional<std::vector<WindowRecord>> copyWindowList() {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  if (s.windows)
    trace("windowList -> %zu", s.windows->size());
  else
    trace("windowList -> null");
  return s.windows;
}

int32_t processForPID(pid_t pid, ProcessSerial* psn) {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  int32_t status = s.live.count(pid) ? 0 : kProcNotFound;
  if (status == 0)
    *psn = {0, uint32_t(pid)};
  trace("processForPID %d -> %d", pid, status);
  return status;
}

int32_t pidForProcess(const ProcessSerial* psn, pid_t* pid) {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  if (psn->high != 0 || !s.live.count(pidOf(psn))) {
    trace("pidForProcess -> fail");
    return kProcNotFound;
  }
  *pid = pidOf(psn);
  trace("pidForProcess -> %d", *pid);
  return 0;
}

void* openLibrary(const char* path) {
  if (strcmp(path, kFrontServicesLibrary) == 0)
    return kSimFrameworkHandle;
  return dlopen(path, RTLD_LAZY);
}

void* lookupSymbol(void* handle, const char* name) {
  if (handle != kSimFrameworkHandle)
    return dlsym(handle, name);
  Server& s = server();
  std::lock_guard lock(s.mutex);
  for (int i = 0; i < kEntryPointCount; ++i) {
    if (strcmp(name, kEntrySymbols[i]) == 0) {
      ++s.lookups[i];
      return s.absent[i] ? nullptr : kEntryAddresses[i];
    }
  }
  return nullptr;
}
