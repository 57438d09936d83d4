/*
 * palisade/client.h: start and drive the Palisade helper from a parent
 * application.
 *
 * A client owns one helper process. It starts it on a pipe, writes the
 * commands it is given, sends "keepAlive" on its own thread while engaged,
 * restarts a helper that dies and brings the new one back to the state last
 * asked for, and on close leaves no helper and no zombie behind.
 *
 * Threads: every call is safe from any thread. No call waits on the helper
 * (only palisade_close waits, up to its timeout). Events are delivered on the
 * client's own thread, with no lock held.
 *
 * Signals: the library never raises SIGPIPE in the parent and changes no
 * process-wide signal disposition.
 */
#ifndef PALISADE_CLIENT_H
#define PALISADE_CLIENT_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct palisade_client palisade_client; /* opaque */

typedef enum palisade_status {
  PALISADE_OK = 0,
  PALISADE_INVALID_ARGUMENT = 1, /* a null pointer or an option out of range */
  PALISADE_SPAWN_FAILED = 2,     /* the helper could not be started */
  PALISADE_HELPER_GONE = 3,      /* the helper died and no restart is left */
  PALISADE_CLOSED = 4,           /* palisade_close has begun on this client */
} palisade_status;

typedef enum palisade_event {
  PALISADE_EVENT_HELPER_EXITED = 1,    /* detail: the wait status */
  PALISADE_EVENT_HELPER_RESTARTED = 2, /* detail: the new pid */
} palisade_event;

typedef struct palisade_options {
  /* Path of the helper executable. Required. */
  const char* helper_path;
  /* Seconds between keep-alives while engaged; 0 means 0.5. Must be at
     least 0 and below 3 (the helper releases after 3 s without one); values
     below 0.01 are taken as 0.01. */
  double keep_alive_interval;
  /* Restarts allowed in any 60 s; 0 means 3; negative: never restart. */
  int max_restarts;
  /* Descriptors handed to the helper at the same numbers (palisade-sim's
     control and trace, 3 and 4); no other descriptor of the parent reaches
     it. Each must be open and above 2, and stay open while the client
     lives: a restarted helper is handed them again. */
  const int* inherit_fds;
  int inherit_fd_count;
  /* Called on the client's thread with no lock held; it may call
     palisade_engage, palisade_yield, palisade_release and palisade_close.
     The detail of HELPER_EXITED is -1 when the application's own code
     reaped the helper first (a waitpid(-1) loop, SIGCHLD ignored). May be
     NULL. */
  void (*on_event)(void* context, palisade_event event, long detail);
  void* context;
} palisade_options;

/* Starts the helper. On PALISADE_OK *client is the new client; on any other
   status *client is set to NULL and nothing is left behind: a missing or
   non-executable helper_path gives PALISADE_SPAWN_FAILED, bad options
   PALISADE_INVALID_ARGUMENT. The options are copied. */
palisade_status palisade_open(const palisade_options* options, palisade_client** client);

/* Ask the helper to hold the front ("engage"), to stop taking the front back
   while keeping the Dock hidden ("yield"), or to give the front back and show
   the Dock ("release"). Each returns at once: the word is written from the
   client's thread. A word that changes nothing in the current state is
   still PALISADE_OK. If the helper's input is full (a stopped helper), the
   words are kept, in order and bounded, and keep-alives are dropped until it
   drains. PALISADE_HELPER_GONE once no restart is left. */
palisade_status palisade_engage(palisade_client* client);
palisade_status palisade_yield(palisade_client* client);
palisade_status palisade_release(palisade_client* client);

/* Releases if engaged, closes the helper's input (the helper releases and
   exits 0), waits up to timeout_seconds for it to exit, then kills it. Reaps
   it, stops the client's thread and frees the client: no helper, thread or
   descriptor of it is left. Returns PALISADE_OK, also for a client whose
   helper is gone. Called from an event callback, it returns at once and the
   client's thread finishes the close after the callback. NULL is
   PALISADE_INVALID_ARGUMENT. Once close has begun no event is delivered
   but one already under way, which close waits for. Calls from
   other threads while close runs return PALISADE_CLOSED; a call after close
   has returned uses freed memory, as with any freed handle. */
palisade_status palisade_close(palisade_client* client, double timeout_seconds);

/* The running helper's pid, or 0 when none runs. */
pid_t palisade_helper_pid(const palisade_client* client);

/* A short English description of a status; never NULL. */
const char* palisade_status_message(palisade_status status);

#ifdef __cplusplus
}
#endif

#endif /* PALISADE_CLIENT_H */
