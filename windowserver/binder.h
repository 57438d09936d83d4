// Run-time binding of a library's entry points: the library is loaded once,
// on the first need of any of its entry points, and each entry point is
// looked up once, on its own first need. A null result is kept for good.
#pragma once

#include <dispatch/dispatch.h>

struct LibraryBinding {
  explicit LibraryBinding(const char* path) : path(path) {}
  const char* const path;
  dispatch_once_t loaded = 0;
  void* handle = nullptr;  // null when the load failed
};

struct SymbolBinding {
  explicit SymbolBinding(const char* name) : name(name) {}
  const char* const name;
  dispatch_once_t looked = 0;
  void* address = nullptr;  // null when absent
};

/// The entry point's address, or null. Thread-safe; binds at most once, and
/// once bound costs a load (it runs on every hold tick). A library that
/// failed to load yields no entry points: a null handle given to dlsym
/// would search every object already loaded.
void* bindSymbol(LibraryBinding& library, SymbolBinding& symbol);
