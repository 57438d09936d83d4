// The command channel: LF-terminated words on standard input, one-way.
#pragma once

#include <dispatch/dispatch.h>

/// Main queue, once per readable event of `source`, a read source on
/// descriptor 0. Runs each complete line's command, in order, each finished
/// before the next line is cut. At end of input or on a failed read:
/// releases the hold and exits 0.
void handleInput(dispatch_source_t source);
