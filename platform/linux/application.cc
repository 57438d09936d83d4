// Linux has no application object and no process activities: nothing to
// create or declare at start-up. The simulation replaces this file.
#include "platform/platform.h"

void startApplication() {}

void commandRead(const char*) {}
