// The command channel: LF-terminated words on standard input, one-way.
#pragma once

/// Main queue, once per readable event of descriptor 0 (`announced`), or
/// once at start-up to look. Reads once and runs each complete line's
/// command, in order, each finished before the next line is cut; never waits
/// for input. `hungUp`: the event follows the writer's hang-up and may be the
/// last one, so read on to the end. At end of input or on a failed read:
/// releases the hold and exits 0.
void handleInput(bool announced, bool hungUp);
