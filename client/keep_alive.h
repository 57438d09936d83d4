// Where keep-alives come from while engaged: the application's main dispatch
// queue, the client's own thread, or palisade_keep_alive calls. No function
// here waits; each runs with the client's mutex held, or where nothing else
// can touch the client (open, the destructor).
#pragma once

#include "state.h"

namespace palisade_client_internal {

// Whether this build can prove the main queue alive (it has libdispatch).
bool mainQueueSourceAvailable();

// The main-queue source's timer, one for the client's life, paused while
// idle: made at open (false if it cannot be), ended by the client's
// destructor, after which no handler touches the client.
bool makeMainQueueBeat(palisade_client* c);
void endMainQueueBeat(palisade_client* c);

// On leaving idle, and on returning to it (close included): runs or pauses
// the source, and on Apple platforms holds or ends the process activity
// that keeps App Nap from throttling the application meanwhile.
void startKeepAlives(palisade_client* c, double now);
void stopKeepAlives(palisade_client* c);

// The client's thread: true when a keepAlive is due now. Consumes what made
// it due, so each proof of life is written once.
bool takeKeepAlive(palisade_client* c, double now);

// When the client's thread must look again for keep-alives or a lost hold
// (an absolute time on now()'s clock), or 0 when nothing is timed.
double nextKeepAliveCheck(const palisade_client* c);

}  // namespace palisade_client_internal
