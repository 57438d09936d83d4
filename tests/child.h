// Runs the helper as its parent application would: commands on a pipe to its
// standard input, and for the simulated helper control lines on descriptor 3
// and trace lines from descriptor 4.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ChildOptions {
  enum class Input { pipe, devNull, closed } input = Input::pipe;
  bool control = true;  // give it descriptor 3
  bool trace = true;    // give it descriptor 4
  std::vector<std::string> args;
  std::vector<std::string> env;
};

struct TraceLine {
  double seconds;
  std::string event;  // "setFront 123 0 0x400 -> 0"
};

struct Child {
  pid_t pid = -1;
  int input = -1;    // its standard input
  int control = -1;  // its descriptor 3
  int traceFd = -1;  // its descriptor 4
  int out = -1, err = -1;
  std::string traceBuffer;
  std::vector<TraceLine> lines;  // every trace line read so far
  size_t seen = 0;               // lines already matched by waitFor
};

/// Starts `path`. With `parent` set, the child is started by an
/// intermediate process, whose pid is stored in `*parent`, so that a test can
/// make the helper's parent die.
Child spawnChild(const std::string& path, const ChildOptions& options = {}, pid_t* parent = nullptr);

void send(int fd, std::string_view text);
void closeFd(int& fd);

/// Waits for the next trace line, after the last one matched, whose event
/// starts with `prefix`; nullopt when none arrives within `timeout` seconds.
std::optional<TraceLine> waitFor(Child& child, std::string_view prefix, double timeout = 10);

/// Reads trace lines for `seconds`, then returns those not yet matched.
std::vector<TraceLine> collect(Child& child, double seconds);

/// The UI mode changes ("uiMode 2 0") among every trace line read so far.
std::vector<std::string> uiModes(const Child& child);

/// Exit status, or nullopt (after killing it) if it has not exited in time.
std::optional<int> waitExit(Child& child, double timeout = 10);

/// Everything the child wrote to stdout and stderr (after it exited).
std::string output(Child& child);

/// CPU seconds the process has used so far; resident set in KiB.
double cpuSeconds(pid_t pid);
long residentKiB(pid_t pid);

/// Whether the helper has opened its watch on its parent (Linux: a pidfd).
bool watchesParent(pid_t pid);

