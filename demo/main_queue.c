/* The demo's main thread drains the main queue for good. In C because
   dispatch_main() ends the thread with pthread_exit, whose unwinding may not
   cross the C++ call of a function libdispatch declares nothrow: the C++
   runtime would call std::terminate. */
#include <dispatch/dispatch.h>

#include "main_queue.h"

void drainMainQueue(void) { dispatch_main(); }
