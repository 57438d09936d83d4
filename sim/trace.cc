#include "sim/trace.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "hold/clock.h"

namespace {

std::atomic<int> traceFd{-1};

}  // namespace

void traceTo(int fd) { traceFd.store(fd); }

void trace(const char* format, ...) {
  int fd = traceFd.load(std::memory_order_relaxed);
  if (fd < 0)
    return;
  char line[4096];
  int n = snprintf(line, sizeof line, "%.6f ", monotonicSeconds());
  va_list args;
  va_start(args, format);
  n += vsnprintf(line + n, sizeof line - size_t(n) - 1, format, args);
  va_end(args);
  if (n > int(sizeof line) - 2)
    n = int(sizeof line) - 2;  // cut, but still one line
  line[n++] = '\n';
  ssize_t written;
  do {
    written = write(fd, line, size_t(n));
  } while (written < 0 && errno == EINTR);
  if (written < 0 && errno != EAGAIN)
    traceFd.store(-1);  // reader gone: carry on untraced
}
