#include "windowserver/binder.h"

#include "platform/platform.h"

void* bindSymbol(LibraryBinding& library, SymbolBinding& symbol) {
  std::call_once(symbol.looked, [&] {
    std::call_once(library.loaded, [&] { library.handle = openLibrary(library.path); });
    if (library.handle)
      symbol.address = lookupSymbol(library.handle, symbol.name);
  });
  return symbol.address;
}
