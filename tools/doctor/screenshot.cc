#include "tools/doctor/screenshot.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>

extern char** environ;

std::string screenshot(const std::string& file, double limit, const std::function<void()>& meanwhile) {
  using Clock = std::chrono::steady_clock;
  // -x: no camera sound.
  const char* argv[] = {"/usr/sbin/screencapture", "-x", file.c_str(), nullptr};
  pid_t pid = 0;
  int error = posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ);
  if (error != 0)
    return std::string("screencapture did not start: ") + strerror(error);
  auto start = Clock::now();
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(pid, &status, WNOHANG)) == 0 || (reaped < 0 && errno == EINTR)) {
    if (std::chrono::duration<double>(Clock::now() - start).count() >= limit) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return "screencapture took over " + std::to_string(int(limit)) + " s: killed";
    }
    meanwhile();
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "screencapture failed (wait status " + std::to_string(status) + ")";
  struct stat written;
  if (stat(file.c_str(), &written) != 0 || written.st_size == 0)
    return "screencapture wrote no picture (no screen-recording permission?)";
  return "";
}
