#include "windowserver/binder.h"

#include "platform/platform.h"

namespace {

struct Binding {
  LibraryBinding& library;
  SymbolBinding& symbol;
};

void load(void* context) {
  auto& library = *static_cast<LibraryBinding*>(context);
  library.handle = openLibrary(library.path);
}

void lookUp(void* context) {
  auto& [library, symbol] = *static_cast<Binding*>(context);
  dispatch_once_f(&library.loaded, &library, load);
  if (library.handle)
    symbol.address = lookupSymbol(library.handle, symbol.name);
}

}  // namespace

void* bindSymbol(LibraryBinding& library, SymbolBinding& symbol) {
  Binding binding{library, symbol};
  dispatch_once_f(&symbol.looked, &binding, lookUp);
  return symbol.address;
}
