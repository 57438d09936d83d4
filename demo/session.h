// The demo's session with one client: the sim's pipes, its trace read into
// lines, the client's events, and the timeline they are printed on. All of
// it belongs to the session's thread; only notify() is called from others.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "palisade/client.h"

namespace demo {

// Pretend applications: made-up pids that name no real process.
constexpr pid_t kMail = 90001, kNotes = 90002;

constexpr double kKeepAliveInterval = 0.5;  // the client's default
constexpr double kSilenceLimit = 3.0;       // the helper releases after this without keepAlive

struct TraceLine {
  double t;
  std::string event;  // "setFront 1234 0 0x400 -> 0"
};

// What another thread told the session, stamped when it happened.
struct Event {
  double t;
  int kind;  // a palisade_event, or one of the main thread's below
  long detail;
};
constexpr int kMainThreadStalls = 100, kMainThreadResumes = 101;

struct Session {
  palisade_client* client = nullptr;
  pid_t ownPID = -1;   // the running helper, as its trace names itself
  int simEnds[2] = {-1, -1};  // the sim's control and trace ends, kept for every helper
  int control = -1, trace = -1;       // our ends of the sim's pipes
  int eventsIn = -1, eventsOut = -1;  // from other threads to the session's
  std::string partial;                // trace bytes not yet a line
  std::vector<TraceLine> lines;
  size_t seen = 0;       // lines already matched by waitFor
  size_t engagedAt = 0;  // the first trace line of the current hold
  std::vector<Event> events;
  double t0 = 0;  // the first helper's start line: the timeline's zero
};
extern Session session;

/// The monotonic clock, in seconds: the trace's clock.
double now();

/// Prints the reason, closes the client at once (its helper killed and
/// reaped) and exits 1.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Prints one line of the timeline, stamped at time t.
void say(double t, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Mail, Notes, the helper, or "pid N".
const char* nameOf(pid_t pid);

/// Starts a client on `path` with the sim's pipes, its keep-alives from the
/// main queue. Fails the demo if it cannot.
void openClient(const char* path);

/// Fails the demo unless `status` is PALISADE_OK.
void check(palisade_status status, const char* call);

/// Hands an event to the session's thread, stamped now. Any thread; never
/// waits (the pipe holds thousands).
void notify(int kind, long detail);

/// Writes one control line to the sim.
void control(const std::string& line);

/// Reads what the trace pipe has into lines; false at end of file.
bool readTrace();

/// Takes trace lines and events as they come, for `seconds`.
void idle(double seconds);

/// The next trace line, after the last one matched, that starts with
/// `prefix`; nothing if none comes within `timeout` seconds.
std::optional<TraceLine> waitFor(const std::string& prefix, double timeout);

/// Whether any trace line from index `from` on starts with `prefix`.
bool seenSince(size_t from, const std::string& prefix);

/// The first event of this kind not yet taken, waiting up to `timeout`.
std::optional<Event> waitForEvent(int kind, double timeout);

}  // namespace demo
