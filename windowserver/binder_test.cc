#include "windowserver/binder.h"

#include <gtest/gtest.h>

#include "sim/window_server.h"
#include "windowserver/front_process.h"

namespace {

TEST(Binder, BindsEachEntryPointOnceAndNothingFromAFailedLoad) {
  LibraryBinding framework{kFrontServicesLibrary};
  SymbolBinding present{"_SLPSGetFrontProcess"}, missing{"noSuchEntry"};
  int before = simLookups(present.name);
  void* address = bindSymbol(framework, present);
  EXPECT_NE(address, nullptr);
  EXPECT_EQ(bindSymbol(framework, present), address);
  EXPECT_EQ(simLookups(present.name) - before, 1);  // it runs on every tick
  EXPECT_EQ(bindSymbol(framework, missing), nullptr);

  // "malloc" is loaded in this process: a lookup on a null handle would find it.
  LibraryBinding failed{"/nonexistent/Framework"};
  SymbolBinding loadedElsewhere{"malloc"};
  EXPECT_EQ(bindSymbol(failed, loadedElsewhere), nullptr);
  EXPECT_EQ(failed.handle, nullptr);
}

}  // namespace
