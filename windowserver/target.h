// Something to bring to the front: a process and one of its windows.
#pragma once

#include <cstdint>

struct Target {
  int32_t pid;
  uint32_t window;  // 0 names no particular window
  bool operator==(const Target&) const = default;
};
