// The simulated window server's state, shared by its entry points and
// platform calls (window_server.cc) and the control lines that set the
// scene (control.cc).
#pragma once

#include <unistd.h>

#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/window_record.h"
#include "sim/presentation.h"

// The simulated framework's entry points, as control lines name them.
inline constexpr const char* kEntryNames[] = {"getFront", "setFront", "permit", "revoke"};
inline constexpr int kEntryPointCount = 4;

struct Server {
  std::mutex mutex;
  std::set<pid_t> live{getpid()};
  pid_t front = 0;
  std::optional<std::vector<WindowRecord>> windows{std::in_place};
  bool absent[kEntryPointCount] = {};
  int lookups[kEntryPointCount] = {};
  int32_t setFrontStatus = 0;
  Presentation presentation;
};

/// The process's one server, never destroyed. Lock its mutex to use it.
Server& server();
