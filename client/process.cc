#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/event.h>
#else
#include <sys/syscall.h>
#endif

#include <algorithm>

#if defined(__APPLE__)
// A shared library cannot link environ on Apple platforms; this is its way in.
#include <crt_externs.h>
#define environ (*_NSGetEnviron())
#else
extern char** environ;
#endif

namespace palisade_client_process {

namespace {

bool setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void closeEach(const std::vector<int>& fds) {
  for (int fd : fds)
    if (fd >= 0)
      close(fd);
}

}  // namespace

bool makePipe(int fds[2], bool nonBlockingRead) {
#if defined(__APPLE__)
  // No pipe2 here: another thread's fork between these calls could inherit
  // the ends; posix_spawn with POSIX_SPAWN_CLOEXEC_DEFAULT does not.
  if (pipe(fds) != 0)
    return false;
  bool ok = fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0 &&
            fcntl(fds[1], F_SETNOSIGPIPE, 1) == 0;
#else
  if (pipe2(fds, O_CLOEXEC) != 0)
    return false;
  bool ok = true;
#endif
  ok = ok && setNonBlocking(fds[1]) && (!nonBlockingRead || setNonBlocking(fds[0]));
  if (!ok)
    closeEach({fds[0], fds[1]});
  return ok;
}

pid_t spawnHelper(const char* path, const std::vector<int>& inherit, const std::vector<int>& targets,
                  int* input) {
  int in[2];
  if (!makePipe(in, false))
    return -1;
  // Every source is first copied above every source and target number: no
  // dup2 in the child can then overwrite a source still to be copied, and a
  // dup2 to a different number always clears close-on-exec (to the same one
  // it may not).
  int floor = 3;
  for (size_t i = 0; i < inherit.size(); ++i)
    floor = std::max({floor, inherit[i] + 1, targets[i] + 1});
  std::vector<int> temps;  // [0] stdin's, then one per inherited descriptor
  temps.push_back(fcntl(in[0], F_DUPFD_CLOEXEC, floor));
  for (int fd : inherit)
    temps.push_back(fcntl(fd, F_DUPFD_CLOEXEC, floor));
  int error = errno;
  close(in[0]);
  if (std::find(temps.begin(), temps.end(), -1) != temps.end()) {
    closeEach(temps);
    close(in[1]);
    errno = error;
    return -1;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, temps[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  for (size_t i = 0; i < inherit.size(); ++i)
    posix_spawn_file_actions_adddup2(&actions, temps[i + 1], targets[i]);
  // Nothing else of the parent's, even descriptors it left inheritable.
  short flags = POSIX_SPAWN_SETSIGMASK;
#if defined(__APPLE__)
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
  for (int fd = 3; fd < floor; ++fd)
    if (std::find(targets.begin(), targets.end(), fd) == targets.end() && fcntl(fd, F_GETFD) >= 0)
      posix_spawn_file_actions_addclose(&actions, fd);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
  posix_spawn_file_actions_addclosefrom_np(&actions, floor);
#endif
#endif
  // The client's thread blocks SIGPIPE; the helper starts with no signal
  // blocked, whichever thread spawns it, and none ignored that the
  // application ignores (an ignored signal stays ignored across exec).
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, short(flags | POSIX_SPAWN_SETSIGDEF));

  char* argv[] = {const_cast<char*>(path), nullptr};
  pid_t pid = -1;
  error = posix_spawn(&pid, path, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  closeEach(temps);
  if (error != 0) {
    close(in[1]);
    errno = error;
    return -1;
  }
  *input = in[1];
  return pid;
}

int watchHelper(pid_t pid) {
#if defined(__APPLE__)
  int queue = kqueue();
  if (queue < 0)
    return -1;
  struct kevent change;
  // Never read back: the queue stays readable until the helper is reaped,
  // so a wake-up that comes before it can be reaped is not lost.
  EV_SET(&change, pid, EVFILT_PROC, EV_ADD, NOTE_EXIT, 0, nullptr);
  if (fcntl(queue, F_SETFD, FD_CLOEXEC) != 0 || kevent(queue, &change, 1, nullptr, 0, nullptr) != 0) {
    close(queue);
    return -1;
  }
  return queue;
#elif defined(SYS_pidfd_open)
  return int(syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by itself
#else
  return -1;
#endif
}

bool reapHelper(pid_t pid, bool wait, int* status) {
  for (;;) {
    pid_t reaped = waitpid(pid, status, wait ? 0 : WNOHANG);
    if (reaped == pid)
      return true;
    if (reaped == 0)
      return false;
    if (errno != EINTR) {
      *status = -1;  // ECHILD: already reaped by the parent's own code
      return true;
    }
  }
}

void blockSigpipeHere() {
#if !defined(__APPLE__)
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
}

void consumeSigpipe() {
#if !defined(__APPLE__)
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  timespec now{0, 0};
  while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
  }
#endif
}

}  // namespace palisade_client_process
