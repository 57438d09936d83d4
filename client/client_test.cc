// What the C program against palisade-sim (tests/client_c_check.c) and the
// demo cannot see: the word paths, option limits, failed starts, the
// descriptors a helper gets, a helper that stops reading, and close from a
// callback. /bin/cat stands in for the helper: it reads its input to the end.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <set>
#include <string>

#include "palisade/client.h"
#include "words.h"

using namespace palisade_client_words;

namespace {

// Waits up to 10 s for `done`; never judges how long it took.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i)
    usleep(5000);
  return done();
}

// The numbered entries of a /proc folder: open descriptors, or threads.
std::set<int> entries(const std::string& folder) {
  std::set<int> numbers;
  DIR* dir = opendir(folder.c_str());
  for (dirent* entry; dir && (entry = readdir(dir));)
    if (entry->d_name[0] != '.')
      numbers.insert(atoi(entry->d_name));
  if (dir)
    closedir(dir);
  return numbers;
}

std::string linkOf(const std::string& path) {
  char target[256] = {};
  return readlink(path.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

// Looks without reaping: a zombie the client failed to reap must stay seen.
bool noChildLeft() {
  siginfo_t info;
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

bool ended(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

palisade_options catOptions() { return {"/bin/cat", 0, 0, nullptr, 0, nullptr, nullptr}; }

// Compared with every sequence of up to two words: the path used after a
// restart, at close and when the queue overflows must be the shortest.
TEST(Words, ShortestPathReachesEveryStateInTheFewestWords) {
  const State states[] = {State::idle, State::holding, State::yielded};
  const Word words[] = {Word::engage, Word::yield, Word::release};
  for (State from : states)
    for (State to : states) {
      int fewest = from == to ? 0 : 3;
      for (Word a : words)
        for (Word b : words)
          fewest = std::min(fewest, after(from, a) == to ? 1 : after(after(from, a), b) == to ? 2 : 3);
      Word path[2];
      int n = shortestPath(from, to, path);
      State reached = from;
      for (int i = 0; i < n; ++i)
        reached = after(reached, path[i]);
      EXPECT_TRUE(reached == to && n == fewest) << int(from) << " to " << int(to) << ": " << n;
    }
}

TEST(Open, RejectsBadOptionsAndFailedStartsLeavingNothingBehind) {
  int open = fcntl(1, F_DUPFD_CLOEXEC, 3), closed = fcntl(1, F_DUPFD_CLOEXEC, 3), standard = 2;
  close(closed);
  std::set<int> fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
  const struct {
    palisade_status expected;
    std::function<void(palisade_options&)> change;
  } cases[] = {
      {PALISADE_INVALID_ARGUMENT, [](palisade_options& o) { o.helper_path = nullptr; }},
      {PALISADE_INVALID_ARGUMENT, [](palisade_options& o) { o.keep_alive_interval = -0.1; }},
      {PALISADE_INVALID_ARGUMENT, [](palisade_options& o) { o.keep_alive_interval = 3; }},
      {PALISADE_INVALID_ARGUMENT, [](palisade_options& o) { o.keep_alive_interval = NAN; }},
      {PALISADE_INVALID_ARGUMENT, [](palisade_options& o) { o.inherit_fd_count = -1; }},
      {PALISADE_INVALID_ARGUMENT, [](palisade_options& o) { o.inherit_fd_count = 1; }},
      {PALISADE_INVALID_ARGUMENT, [&](palisade_options& o) { o.inherit_fds = &standard, o.inherit_fd_count = 1; }},
      {PALISADE_INVALID_ARGUMENT, [&](palisade_options& o) { o.inherit_fds = &closed, o.inherit_fd_count = 1; }},
      {PALISADE_SPAWN_FAILED, [](palisade_options& o) { o.helper_path = "/nonexistent/palisade"; }},
      {PALISADE_SPAWN_FAILED, [](palisade_options& o) { o.helper_path = "/etc/passwd"; }},  // not executable
      {PALISADE_SPAWN_FAILED, [](palisade_options& o) { o.helper_path = "/tmp"; }},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    palisade_options options = catOptions();
    cases[i].change(options);
    palisade_client* client = reinterpret_cast<palisade_client*>(&options);
    EXPECT_EQ(palisade_open(&options, &client), cases[i].expected) << "case " << i;
    EXPECT_EQ(client, nullptr) << "case " << i;
  }
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(entries("/proc/self/task"), threads);
  EXPECT_TRUE(noChildLeft());

  // The limits themselves: just below 3 s, an open descriptor above 2.
  palisade_options options = catOptions();
  options.keep_alive_interval = 2.999;
  options.inherit_fds = &open;
  options.inherit_fd_count = 1;
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  close(open);
}

TEST(Open, TheHelperGetsItsInputTheInheritedDescriptorAndNothingElse) {
  // Left inheritable on purpose, one below the inherited number and one
  // above: neither may reach the helper.
  int below = fcntl(1, F_DUPFD, 3), above = fcntl(1, F_DUPFD, 40);
  int shared[2];
  ASSERT_EQ(pipe2(shared, O_CLOEXEC), 0);
  ASSERT_EQ(dup3(shared[0], 20, O_CLOEXEC), 20);
  ASSERT_LT(below, 20);
  int inherit = 20;
  std::set<int> before = entries("/proc/self/fd");
  palisade_options options = catOptions();
  options.inherit_fds = &inherit;
  options.inherit_fd_count = 1;
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
  pid_t pid = palisade_helper_pid(client);
  std::string helper = "/proc/" + std::to_string(pid);

  // Once the loader has closed what it opens, exactly these stay.
  EXPECT_TRUE(eventually([&] { return entries(helper + "/fd") == std::set<int>{0, 1, 2, 20}; }));
  EXPECT_EQ(linkOf(helper + "/fd/1"), "/dev/null");
  EXPECT_EQ(linkOf(helper + "/fd/2"), "/dev/null");
  EXPECT_EQ(linkOf(helper + "/fd/20"), linkOf("/proc/self/fd/20"));
  // Ours, its input's write end above all: no later child of ours may get them.
  for (int fd : entries("/proc/self/fd"))
    EXPECT_TRUE(before.count(fd) || fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;  // -1 for the listing's own

  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  EXPECT_TRUE(ended(pid));
  for (int fd : {below, above, shared[0], shared[1], 20})
    close(fd);
}

TEST(Write, AHelperThatStoppedReadingNeitherSignalsNorOutlivesClose) {
  // Reads one line, then closes its input and lives on: the next write,
  // a keep-alive or the release at close, gets EPIPE.
  char path[] = "/tmp/palisade-client-XXXXXX";
  int file = mkstemp(path);
  const char text[] = "#!/bin/sh\nread word\nexec 0<&-\nexec sleep 60\n";
  ASSERT_EQ(write(file, text, sizeof text - 1), ssize_t(sizeof text - 1));
  fchmod(file, 0700);
  close(file);
  palisade_options options = catOptions();
  options.helper_path = path;
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
  pid_t pid = palisade_helper_pid(client);
  signal(SIGPIPE, SIG_DFL);  // whatever the runner left: a raised SIGPIPE ends us
  EXPECT_EQ(palisade_engage(client), PALISADE_OK);
  // Its input gone means the engage was written and read.
  EXPECT_TRUE(eventually([&] { return !entries("/proc/" + std::to_string(pid) + "/fd").count(0); }));
  EXPECT_EQ(palisade_close(client, 0.2), PALISADE_OK);
  EXPECT_TRUE(ended(pid));
  EXPECT_TRUE(noChildLeft());
  unlink(path);
}

struct CallbackRun {
  palisade_client* client = nullptr;
  std::atomic<int> releaseStatus{-1}, closeStatus{-1};
};

TEST(Close, FromACallbackReturnsAtOnceAndTheClientThreadFinishesIt) {
  std::set<int> fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
  CallbackRun run;
  palisade_options options = catOptions();
  options.context = &run;
  // On the client's thread with no lock held: a call back into the client
  // must not deadlock, and close must not wait for this very thread.
  options.on_event = [](void* context, palisade_event event, long) {
    auto* run = static_cast<CallbackRun*>(context);
    if (event == PALISADE_EVENT_HELPER_EXITED) {
      run->releaseStatus = palisade_release(run->client);
    } else {
      run->closeStatus = palisade_close(run->client, 5);
    }
  };
  ASSERT_EQ(palisade_open(&options, &run.client), PALISADE_OK);
  ASSERT_EQ(palisade_engage(run.client), PALISADE_OK);
  ASSERT_EQ(kill(palisade_helper_pid(run.client), SIGKILL), 0);

  EXPECT_TRUE(eventually([&] { return run.closeStatus == PALISADE_OK; }));
  EXPECT_EQ(run.releaseStatus, PALISADE_OK);
  // The restarted helper ended, reaped, and the thread gone with the client.
  EXPECT_TRUE(eventually(noChildLeft));
  EXPECT_TRUE(eventually([&] { return entries("/proc/self/task") == threads; }));
  EXPECT_EQ(entries("/proc/self/fd"), fds);
}

}  // namespace
