// The application's run loop, as far as the demo needs one.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/// Drains the main queue on the calling thread, which must be the main
/// thread, and ends that thread there; the process lives on in the others.
/// Never returns.
__attribute__((noreturn)) void drainMainQueue(void);

#ifdef __cplusplus
}
#endif
