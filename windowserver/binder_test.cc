#include "windowserver/binder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sim/window_server.h"
#include "windowserver/front_process.h"

namespace {

using Entry = int (*)();

TEST(Binder, BindsPresentAndCachesAbsentEntryPoints) {
  LibraryBinding library{TEST_LIBRARY_PATH};
  SymbolBinding present{"palisadeTestEntry"}, missing{"noSuchEntry"};
  auto entry = reinterpret_cast<Entry>(bindSymbol(library, present));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry(), 42);
  EXPECT_EQ(bindSymbol(library, missing), nullptr);
  EXPECT_EQ(bindSymbol(library, missing), nullptr);
  EXPECT_EQ(bindSymbol(library, present), reinterpret_cast<void*>(entry));
}

TEST(Binder, FailedLoadBindsNothingFromElsewhere) {
  // "malloc" is loaded in this process: a lookup on a null handle would find it.
  LibraryBinding library{"/nonexistent/Framework"};
  SymbolBinding loadedElsewhere{"malloc"};
  EXPECT_EQ(bindSymbol(library, loadedElsewhere), nullptr);
  EXPECT_EQ(library.handle, nullptr);
}

TEST(Binder, ConcurrentFirstNeedsLookUpOnce) {
  LibraryBinding framework{kFrontServicesLibrary};
  SymbolBinding symbol{"_SLPSGetFrontProcess"};
  int before = simLookups(symbol.name);
  std::atomic<bool> go{false};
  std::vector<void*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen)
    threads.emplace_back([&] {
      while (!go) {
      }
      slot = bindSymbol(framework, symbol);
    });
  go = true;
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(simLookups(symbol.name) - before, 1);
  for (void* address : seen) {
    EXPECT_NE(address, nullptr);
    EXPECT_EQ(address, seen[0]);
  }
}

}  // namespace
