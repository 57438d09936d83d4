// Runs the helper as a parent application would: through the client library,
// or by hand for the parents the client cannot play (one that hangs, writes
// raw bytes or several words at once, gives no input, or dies). The
// simulated helper gets control lines on descriptor 3 and traces to 4.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class Input { pipe, devNull, folder, closed };

struct TraceLine {
  double seconds;
  std::string event;  // "setFront 123 0 0x400 -> 0"
};

struct Child {
  pid_t pid = -1;
  int input = -1;    // its standard input
  int control = -1;  // its descriptor 3
  int traceFd = -1;  // its descriptor 4
  int output = -1;   // its stdout and stderr, together
  std::string partial;           // trace bytes not yet a line
  std::vector<TraceLine> lines;  // every trace line read so far
  size_t seen = 0;               // lines already matched by waitFor
};

/// Starts `path` with no arguments and an empty environment, `control`
/// already written to its descriptor 3. With `parent` set, the child is
/// started by an intermediate process, whose pid is stored in `*parent`, so
/// that a test can make the helper's parent die.
Child spawnChild(const std::string& path, pid_t* parent = nullptr, Input input = Input::pipe,
                 std::string_view control = {});

/// Starts `path` through the client library as an application embeds it,
/// with no restart, `control` already written to its descriptor 3; the
/// client writes its input and reaps it, so `input` and `output` stay closed.
struct palisade_client;
Child openClient(const std::string& path, palisade_client** client, std::string_view control = {});

void send(int fd, std::string_view text);
void closeFd(int& fd);

/// Waits for the next trace line, after the last one matched, whose event
/// starts with `prefix`; nullopt when none arrives within `timeout` seconds.
std::optional<TraceLine> waitFor(Child& child, std::string_view prefix, double timeout = 10);

/// The events among every trace line read so far that start with `prefix`.
std::vector<std::string> events(const Child& child, std::string_view prefix);

/// The command words the helper was traced reading so far, in order; not
/// keepAlive, which a client writes on its own clock.
std::vector<std::string> wordsRead(const Child& child);

/// Exit status, or nullopt (after killing it) if it has not exited in time;
/// then reads the trace to its end.
std::optional<int> waitExit(Child& child, double timeout = 10);

/// Reads the trace to its end, once the child has exited.
void readTrace(Child& child);

/// Everything the child wrote to stdout and stderr (after it exited).
std::string output(Child& child);


/// CPU seconds the process has used so far; resident set in KiB.
double cpuSeconds(pid_t pid);
long residentKiB(pid_t pid);
