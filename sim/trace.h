// The simulation's event trace: one line per event, "SECONDS EVENT ARGS",
// written with a single write() so lines from different threads never mix.
#pragma once

/// Starts tracing to `fd`; -1 stops. Any thread.
void traceTo(int fd);

/// Writes one event line, prefixed by the monotonic time with 6 decimals.
/// A closed or broken trace descriptor turns tracing off.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
