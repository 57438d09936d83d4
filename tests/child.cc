#include "tests/child.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "hold/clock.h"
#include "palisade/client.h"


namespace {

// Both ends numbered above the child's 0 to 4: a dup2 onto the same number
// would leave close-on-exec set and the child without that descriptor.
void makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  for (int i = 0; i < 2; ++i) {
    int high = fcntl(fds[i], F_DUPFD_CLOEXEC, 10);
    close(fds[i]);
    fds[i] = high;
  }
}

// Reads what is there now from the trace, waiting at most `timeout`.
void pump(Child& child, double timeout) {
  pollfd p{child.traceFd, POLLIN, 0};
  if (child.traceFd < 0 || poll(&p, 1, int(timeout * 1000)) <= 0)
    return;
  char bytes[65536];
  ssize_t n = read(child.traceFd, bytes, sizeof bytes);
  if (n <= 0)
    return closeFd(child.traceFd);
  child.partial.append(bytes, size_t(n));
  for (size_t lf; (lf = child.partial.find('\n')) != std::string::npos; child.partial.erase(0, lf + 1)) {
    std::string line = child.partial.substr(0, lf);
    size_t space = line.find(' ');
    child.lines.push_back({atof(line.c_str()), space == std::string::npos ? "" : line.substr(space + 1)});
  }
}

}  // namespace

Child spawnChild(const std::string& path, pid_t* parent, Input input, std::string_view control) {
  // Orphans of an intermediate parent come back to us, so we can reap them.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], ctl[2], tr[2];
  for (int* fds : {in, out, ctl, tr})
    makePipe(fds);
  send(ctl[1], control);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input == Input::pipe)
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  else if (input == Input::devNull || input == Input::folder)
    posix_spawn_file_actions_addopen(&actions, 0, input == Input::devNull ? "/dev/null" : "/", O_RDONLY, 0);
  else
    posix_spawn_file_actions_addclose(&actions, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_adddup2(&actions, ctl[0], 3);
  posix_spawn_file_actions_adddup2(&actions, tr[1], 4);

  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  char* envp[] = {nullptr};

  Child child;
  if (parent) {
    // No client thread runs in a test that fakes a dying parent, so fork
    // is safe here.
    pid_t middle = fork();
    if (middle == 0) {
      pid_t helper;
      if (posix_spawn(&helper, path.c_str(), &actions, nullptr, argv, envp) != 0)
        _exit(1);
      // Tell the test the helper's pid, then wait to be killed.
      (void)!write(out[1], &helper, sizeof helper);
      for (int fd : {in[1], out[1], ctl[1], tr[0]})
        close(fd);
      for (;;)
        pause();
    }
    *parent = middle;
    if (read(out[0], &child.pid, sizeof child.pid) != sizeof child.pid)
      throw std::runtime_error("intermediate parent failed");
  } else if (posix_spawn(&child.pid, path.c_str(), &actions, nullptr, argv, envp) != 0) {
    throw std::runtime_error("cannot start " + path);
  }
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {in[0], out[1], ctl[0], tr[1]})
    close(fd);
  child.input = in[1];
  child.output = out[0];
  child.control = ctl[1];
  child.traceFd = tr[0];
  return child;
}

Child openClient(const std::string& path, palisade_client** client, std::string_view control) {
  int ctl[2], tr[2];
  makePipe(ctl);
  makePipe(tr);
  send(ctl[1], control);
  // The helper's ends go to its 3 and 4, wherever ours are.
  int inherit[] = {ctl[0], tr[1]}, targets[] = {3, 4};
  palisade_options options{};
  options.helper_path = path.c_str();
  options.max_restarts = -1;
  options.inherit_fds = inherit;
  options.inherit_fd_count = 2;
  options.inherit_fd_targets = targets;
  // The test's main thread drains no dispatch queue.
  options.keep_alive_source = PALISADE_KEEP_ALIVE_CLIENT_THREAD;
  palisade_status status = palisade_open(&options, client);
  close(ctl[0]);
  close(tr[1]);
  if (status != PALISADE_OK)
    throw std::runtime_error(std::string("palisade_open: ") + palisade_status_message(status));
  Child child;
  child.pid = palisade_helper_pid(*client);
  child.control = ctl[1];
  child.traceFd = tr[0];
  return child;
}

void send(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw std::runtime_error("write to child failed");
    text.remove_prefix(size_t(n));
  }
}

void closeFd(int& fd) {
  if (fd >= 0)
    close(fd);
  fd = -1;
}

std::optional<TraceLine> waitFor(Child& child, std::string_view prefix, double timeout) {
  double deadline = monotonicSeconds() + timeout;
  for (;;) {
    for (; child.seen < child.lines.size(); ++child.seen) {
      if (child.lines[child.seen].event.starts_with(prefix))
        return child.lines[child.seen++];
    }
    double left = deadline - monotonicSeconds();
    if (left <= 0 || child.traceFd < 0)
      return std::nullopt;
    pump(child, left);
  }
}

std::vector<std::string> events(const Child& child, std::string_view prefix) {
  std::vector<std::string> found;
  for (const TraceLine& line : child.lines)
    if (line.event.starts_with(prefix))
      found.push_back(line.event);
  return found;
}

std::vector<std::string> wordsRead(const Child& child) {
  std::vector<std::string> words;
  for (const std::string& event : events(child, "read "))
    if (event != "read keepAlive")
      words.push_back(event.substr(5));
  return words;
}

std::optional<int> waitExit(Child& child, double timeout) {
  double deadline = monotonicSeconds() + timeout;
  int status = 0;
  while (waitpid(child.pid, &status, WNOHANG) != child.pid) {
    if (monotonicSeconds() > deadline) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      return std::nullopt;
    }
    if (child.traceFd < 0)
      usleep(2000);
    pump(child, 0.005);
  }
  readTrace(child);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void readTrace(Child& child) {
  while (child.traceFd >= 0)
    pump(child, 1);
}

std::string output(Child& child) {
  std::string all;
  char bytes[4096];
  for (ssize_t n; child.output >= 0 && (n = read(child.output, bytes, sizeof bytes)) > 0;)
    all.append(bytes, size_t(n));
  closeFd(child.output);
  return all;
}

double cpuSeconds(pid_t pid) {
  clockid_t clock;
  timespec t{};
  if (clock_getcpuclockid(pid, &clock) == 0)
    clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:"))
      return std::stol(line.substr(6));
  return -1;
}
