#include "windowserver/front_process.h"

#include "platform/platform.h"
#include "windowserver/binder.h"

namespace {

using GetFrontFn = int32_t (*)(ProcessSerial*);
using SetFrontFn = int32_t (*)(ProcessSerial*, uint32_t window, uint32_t mode);
using PermittedFn = int32_t (*)(ProcessSerial*);

// Not done: the call could not be made (procNotFound).
constexpr int32_t kNotDone = -600;

LibraryBinding frontServices{kFrontServicesLibrary};
SymbolBinding getFront{"_SLPSGetFrontProcess"};
SymbolBinding setFront{"_SLPSSetFrontProcessWithOptions"};
SymbolBinding addPermitted{"SLPSAddToPermittedFrontPSNList"};
SymbolBinding removePermitted{"SLPSRemoveFromPermittedFrontPSNList"};

template <class Fn>
Fn bound(SymbolBinding& symbol) {
  return reinterpret_cast<Fn>(bindSymbol(frontServices, symbol));
}

void changePermitted(SymbolBinding& symbol, pid_t pid) {
  auto change = bound<PermittedFn>(symbol);
  ProcessSerial psn{};
  if (change && processForPID(pid, &psn) == 0)
    change(&psn);
}

}  // namespace

pid_t frontmostPID() {
  auto get = bound<GetFrontFn>(getFront);
  if (!get)
    return 0;
  ProcessSerial psn{};
  if (get(&psn) != 0)
    return 0;
  pid_t pid = 0;
  if (pidForProcess(&psn, &pid) != 0)
    return 0;
  return pid;
}

int32_t makeFront(pid_t pid, uint32_t window, uint32_t mode) {
  auto set = bound<SetFrontFn>(setFront);
  if (!set)
    return kNotDone;
  ProcessSerial psn{};
  if (processForPID(pid, &psn) != 0)
    return kNotDone;
  return set(&psn, window, mode);
}

void permitFront(pid_t pid) { changePermitted(addPermitted, pid); }
void revokeFront(pid_t pid) { changePermitted(removePermitted, pid); }
