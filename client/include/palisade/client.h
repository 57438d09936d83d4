/*
 * palisade/client.h: start and drive the Palisade helper from a parent
 * application.
 *
 * A client owns one helper process. It starts it on a pipe, writes the
 * commands it is given, sends "keepAlive" while engaged for as long as the
 * application shows it is alive, restarts a helper that dies and brings the
 * new one back to the state last asked for, and on close leaves no helper
 * and no zombie behind.
 *
 * A keep-alive means "the application is alive": by default one goes out
 * only while the application's main dispatch queue runs, so an application
 * whose main thread hangs loses its hold within about 3 s, and the person at
 * the Mac gets the front and the Dock back. The client then writes "release"
 * itself and reports PALISADE_EVENT_HOLD_LOST.
 *
 * Threads: every call is safe from any thread. No call waits on the helper
 * (only palisade_close waits, up to its timeout). Events are delivered on the
 * client's own thread, with no lock held. The client writes from its own
 * thread; the main-queue source only marks, on the main queue, that it ran.
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
  PALISADE_HELPER_GONE = 3,      /* the helper died and no restart is left, or none could start */
  PALISADE_CLOSED = 4,           /* palisade_close has begun on this client */
} palisade_status;

/* A helper's death is reported as HELPER_EXITED once whether a new one runs
   is known: then HELPER_RESTARTED follows; otherwise (no restart left, or
   the helper could not be started again) nothing follows, and calls made
   from HELPER_EXITED on answer PALISADE_HELPER_GONE. */
typedef enum palisade_event {
  PALISADE_EVENT_HELPER_EXITED = 1,    /* detail: the wait status */
  PALISADE_EVENT_HELPER_RESTARTED = 2, /* detail: the new pid */
  PALISADE_EVENT_HOLD_LOST = 3,        /* detail: milliseconds since the last keep-alive */
} palisade_event;

/* What proves the application alive while engaged.
   MAIN_QUEUE: a keep-alive every keep_alive_interval, but only when the
     application's main dispatch queue has run in that time. A macOS run loop
     (NSApplication, CFRunLoop, UIKit) drains it; elsewhere the application
     must (dispatch_main(), or its own loop). A main thread stuck for 3 s
     ends the hold. Not available where the library was built without
     libdispatch (palisade_open answers PALISADE_INVALID_ARGUMENT).
   CLIENT_THREAD: the client's own thread sends them; only the death or stop
     of the whole process ends the hold. For a parent with no main queue,
     such as a command-line tool: a hang of its main thread keeps the Dock
     hidden and the front taken for as long as it lasts.
   MANUAL: only palisade_keep_alive sends them; call it from the loop whose
     liveness should keep the hold. */
typedef enum palisade_keep_alive_source {
  PALISADE_KEEP_ALIVE_MAIN_QUEUE = 0, /* the default */
  PALISADE_KEEP_ALIVE_CLIENT_THREAD = 1,
  PALISADE_KEEP_ALIVE_MANUAL = 2,
} palisade_keep_alive_source;

/* The helper's state as the client believes it. */
typedef enum palisade_state {
  PALISADE_STATE_IDLE = 0,    /* released, or never engaged */
  PALISADE_STATE_HOLDING = 1, /* engaged: the helper holds the front */
  PALISADE_STATE_YIELDED = 2, /* engaged, front left to others; the Dock shows,
                                 whichever application is front */
} palisade_state;

typedef struct palisade_options {
  /* Path of the helper executable. NULL: the first regular executable file
     of palisade_helper_places(): <X>.app/Contents/Helpers/palisade when the
     running executable's real path is <X>.app/Contents/MacOS/<name>, then
     `palisade` beside the running executable, then bin/palisade of the
     prefix the library was built for. PATH, the working directory and the
     environment never change where it looks. */
  const char* helper_path;
  /* Seconds between keep-alives while engaged; 0 means 0.5. Must be at
     least 0 and below 3 (the helper releases after 3 s without one); values
     below 0.01 are taken as 0.01, above 2 as 2, which leaves a late
     wake-up a second to spare. */
  double keep_alive_interval;
  /* Restarts allowed in any 60 s; 0 means 3; negative: never restart. */
  int max_restarts;
  /* Descriptors handed to the helper (palisade-sim's control and trace);
     no other descriptor of the parent reaches it. Each must be open, and
     stay open while the client lives: a restarted helper is handed them
     again. */
  const int* inherit_fds;
  int inherit_fd_count;
  /* Called on the client's thread with no lock held; it may call every
     function of this header, palisade_close included. It must not wait for
     a thread that may be in palisade_close (a dispatch_sync to the main
     queue while the main thread closes): close waits for the callback. The
     detail of HELPER_EXITED is -1 when the application's own code reaped
     the helper first (a waitpid(-1) loop, SIGCHLD ignored). May be NULL. */
  void (*on_event)(void* context, palisade_event event, long detail);
  void* context;
  /* See palisade_keep_alive_source; 0 is MAIN_QUEUE. */
  palisade_keep_alive_source keep_alive_source;
  /* The number each of inherit_fds gets in the helper, in the same order;
     NULL: the same number as in the parent. Each target must be above 2,
     below the process's descriptor limit, and no two alike. In a process with a run loop (Swift, AppKit,
     libdispatch) descriptors 3 and 4 are its own: hand over whatever
     pipe() returned and name 3 and 4 here. */
  const int* inherit_fd_targets;
} palisade_options;

/* Starts the helper. On PALISADE_OK *client is the new client; on any other
   status *client is set to NULL and nothing is left behind: a missing or
   non-executable helper_path gives PALISADE_SPAWN_FAILED, with errno set to
   the reason (ENOENT when helper_path is NULL and no place has a helper);
   bad options PALISADE_INVALID_ARGUMENT. The options are copied. */
palisade_status palisade_open(const palisade_options* options, palisade_client** client);

/* Ask the helper to hold the front, hiding the Dock ("engage"), to stop
   taking the front back ("yield": it becomes an accessory again, with no Dock
   icon, so the Dock shows from the yield on, even while the helper is still
   front; to hide it again, release, then engage), or to give the front back
   and show the Dock ("release"). Each returns at once:
   the word is written from the client's thread. A word that changes nothing
   in the current state is still PALISADE_OK. If the helper's input is full
   (a stopped helper), the words are kept, in order and bounded, and
   keep-alives are dropped until it drains. PALISADE_HELPER_GONE once no
   restart is left.
   While holding, the client watches its own keep-alives: when 3.0 s pass
   without one written (counted from the engage if none was), the helper is
   releasing on its own; the client writes "release", becomes idle and
   reports PALISADE_EVENT_HOLD_LOST. A later engage starts a new hold.
   Silence while yielded is not watched, by the helper or the client. */
palisade_status palisade_engage(palisade_client* client);
palisade_status palisade_yield(palisade_client* client);
palisade_status palisade_release(palisade_client* client);

/* Sends one "keepAlive" while engaged (from the client's thread, soon);
   does nothing while idle. Works under every source; under MANUAL it is the
   only one. Any thread, returns at once. PALISADE_HELPER_GONE and
   PALISADE_CLOSED as above. */
palisade_status palisade_keep_alive(palisade_client* client);

/* The state the client believes the helper is in: the state last asked for,
   corrected by a lost hold; idle once no restart is left. A helper stopped
   for over 3 s (a debugger) releases when it resumes, unseen by the client. */
palisade_state palisade_client_state(const palisade_client* client);

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

/* The places palisade_open looks for the helper when helper_path is NULL,
   as absolute paths in the order tried, each followed by a newline. Like
   snprintf: writes at most size bytes, NUL included, into buffer (which may
   be NULL when size is 0) and returns the length of the whole list. Any
   thread. */
size_t palisade_helper_places(char* buffer, size_t size);

/* The library's version, "MAJOR.MINOR.PATCH"; never NULL. */
const char* palisade_version(void);

#ifdef __cplusplus
}
#endif

#endif /* PALISADE_CLIENT_H */
