// Run-time binding of a library's entry points: the library is loaded once,
// on the first need of any of its entry points, and each entry point is
// looked up once, on its own first need. A null result is kept for good.
#pragma once

#include <mutex>

struct LibraryBinding {
  explicit LibraryBinding(const char* path) : path(path) {}
  const char* const path;
  std::once_flag loaded;
  void* handle = nullptr;  // null when the load failed
};

struct SymbolBinding {
  explicit SymbolBinding(const char* name) : name(name) {}
  const char* const name;
  std::once_flag looked;
  void* address = nullptr;  // null when absent
};

/// The entry point's address, or null. Thread-safe; binds at most once.
/// A library that failed to load yields no entry points: a null handle given
/// to dlsym would search every object already loaded.
void* bindSymbol(LibraryBinding& library, SymbolBinding& symbol);
