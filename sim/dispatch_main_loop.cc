// The simulated helper's main loop on Apple platforms, which have no
// application object to run without AppKit: libdispatch drains the main
// queue itself, and dispatch_main() never returns.
#include <dispatch/dispatch.h>

#include "platform/platform.h"

void runMainLoop() { dispatch_main(); }
