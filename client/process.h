// Starting, watching and ending the helper process, and the few places where
// Linux and Apple platforms differ (pipes, SIGPIPE, child watching).
// Plain POSIX calls, safe from any thread; none of them waits except
// reapHelper.
#pragma once

#include <sys/types.h>

#include <vector>

namespace palisade_client_process {

// A pipe whose ends are close-on-exec; the write end also non-blocking and,
// on Apple platforms, exempt from SIGPIPE. False (nothing open) on failure.
bool makePipe(int fds[2], bool nonBlockingRead);

// Starts `path` with standard input from a fresh pipe, standard output and
// error on /dev/null, and each of `inherit` at the number `targets` gives it
// (unique, above 2); no other descriptor of the parent reaches it. On
// success *input is the pipe's write end and the result the pid; -1 on
// failure, with errno saying why and nothing left behind.
pid_t spawnHelper(const char* path, const std::vector<int>& inherit, const std::vector<int>& targets,
                  int* input);

// A descriptor that polls readable once `pid` has exited (Linux: a pidfd;
// Apple: a kqueue with a process filter), or -1 where none can be had: then
// poll waitpid(WNOHANG) instead.
int watchHelper(pid_t pid);

// Reaps `pid` if it has exited (wait = false) or once it exits (wait =
// true). Returns true once it is gone, with its wait status in *status, or
// -1 there when someone else reaped it (a parent that ignores SIGCHLD).
bool reapHelper(pid_t pid, bool wait, int* status);

// Keeps SIGPIPE from the calling thread (Linux: blocked in its mask; Apple
// pipes already carry F_SETNOSIGPIPE), and consumes one raised by a write
// that failed with EPIPE. Touches no process-wide disposition.
void blockSigpipeHere();
void consumeSigpipe();

}  // namespace palisade_client_process
