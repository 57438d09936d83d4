#include "tools/doctor/helper_run.h"

#include <errno.h>
#include <fcntl.h>
#include <libproc.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "palisade/client.h"

extern char** environ;

namespace {

// Long enough for the client's helper to end at the close of its input.
constexpr double kSearchCloseSeconds = 5;

void closeFd(int& fd) {
  if (fd >= 0)
    close(fd);
  fd = -1;
}

}  // namespace

std::string searchedHelper(std::string& why) {
  palisade_options options{};
  options.helper_path = nullptr;  // the client's own search
  options.max_restarts = -1;
  options.keep_alive_source = PALISADE_KEEP_ALIVE_CLIENT_THREAD;  // never engaged: no main queue needed
  palisade_client* client = nullptr;
  palisade_status status = palisade_open(&options, &client);
  if (status != PALISADE_OK) {
    why = status == PALISADE_SPAWN_FAILED && errno == ENOENT
              ? "the client's search found no helper: give its path"
              : std::string("the client could not start one (") + palisade_status_message(status) +
                    "): give its path";
    return "";
  }
  char path[PROC_PIDPATHINFO_MAXSIZE];
  pid_t pid = palisade_helper_pid(client);
  int length = pid > 0 ? proc_pidpath(pid, path, sizeof path) : 0;
  palisade_close(client, kSearchCloseSeconds);
  if (length <= 0) {
    why = "the client started a helper whose path could not be read: give its path";
    return "";
  }
  return std::string(path, size_t(length));
}

bool startHelper(const char* path, HelperRun& run, std::string& why) {
  int input[2];
  char outputName[] = "/tmp/palisade-doctor.XXXXXX";
  if (pipe(input) != 0) {
    why = std::string("no pipe: ") + strerror(errno);
    return false;
  }
  run.input = input[1];
  run.output = mkstemp(outputName);
  if (run.output < 0) {
    why = std::string("no file for its output: ") + strerror(errno);
    close(input[0]);
    closeFd(run.input);
    return false;
  }
  unlink(outputName);
  fcntl(run.input, F_SETFD, FD_CLOEXEC);
  fcntl(run.output, F_SETFD, FD_CLOEXEC);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, run.output, 1);
  posix_spawn_file_actions_adddup2(&actions, run.output, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Descriptors 0 to 2 and nothing else of ours, no signal blocked and none
  // ignored (the doctor ignores SIGPIPE), as the client starts it.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes,
                           short(POSIX_SPAWN_CLOEXEC_DEFAULT | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  char* argv[] = {const_cast<char*>(path), nullptr};
  int error = posix_spawn(&run.pid, path, &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  if (error != 0) {
    why = std::string("it could not be started: ") + strerror(error);
    run.pid = 0;
    closeFd(run.input);
    closeFd(run.output);
    return false;
  }
  return true;
}

bool sendWord(HelperRun& run, const char* word) {
  std::string line = std::string(word) + "\n";
  ssize_t written;
  while ((written = write(run.input, line.data(), line.size())) < 0 && errno == EINTR) {
  }
  return written == ssize_t(line.size());
}

void closeInput(HelperRun& run) { closeFd(run.input); }

bool reapHelper(HelperRun& run, int& status) {
  pid_t reaped;
  while ((reaped = waitpid(run.pid, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  return reaped == run.pid;
}

void killHelper(HelperRun& run) {
  kill(run.pid, SIGKILL);
  int status;
  while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
  }
}

std::string helperOutput(const HelperRun& run, size_t limit, size_t& total) {
  off_t end = lseek(run.output, 0, SEEK_END);
  total = end > 0 ? size_t(end) : 0;
  std::string text(total < limit ? total : limit, '\0');
  ssize_t got = text.empty() ? 0 : pread(run.output, text.data(), text.size(), 0);
  text.resize(got > 0 ? size_t(got) : 0);
  return text;
}
