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

// A copy: the entry points take a mutable serial number they leave unchanged.
void changePermitted(SymbolBinding& symbol, ProcessSerial psn) {
  if (auto change = bound<PermittedFn>(symbol))
    change(&psn);
}

}  // namespace

bool frontProcess(ProcessSerial* psn) {
  auto get = bound<GetFrontFn>(getFront);
  return get && get(psn) == 0;
}

pid_t frontmostPID() {
  ProcessSerial psn{};
  pid_t pid = 0;
  if (!frontProcess(&psn) || pidForProcess(&psn, &pid) != 0)
    return 0;
  return pid;
}

int32_t makeFront(const ProcessSerial& psn, uint32_t window, uint32_t mode) {
  auto set = bound<SetFrontFn>(setFront);
  ProcessSerial copy = psn;  // taken mutable, left unchanged
  return set ? set(&copy, window, mode) : kNotDone;
}

int32_t makeFront(pid_t pid, uint32_t window, uint32_t mode) {
  ProcessSerial psn{};
  if (processForPID(pid, &psn) != 0)
    return kNotDone;
  return makeFront(psn, window, mode);
}

void permitFront(const ProcessSerial& psn) { changePermitted(addPermitted, psn); }
void revokeFront(const ProcessSerial& psn) { changePermitted(removePermitted, psn); }

std::array<FrontCall, 4> frontCalls() {
  std::array<FrontCall, 4> calls{};
  SymbolBinding* symbols[] = {&getFront, &setFront, &addPermitted, &removePermitted};
  for (size_t i = 0; i < calls.size(); ++i)
    calls[i] = {symbols[i]->name, bindSymbol(frontServices, *symbols[i]) != nullptr};
  return calls;
}
