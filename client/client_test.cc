// What the C program against palisade-sim (tests/client_c_check.c) cannot
// see: the word paths, option checks, failed starts, the descriptors a helper
// gets, and close from a callback. /bin/cat stands in for the helper: like
// it, it reads its input until the end, then exits.
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

constexpr const char* kCat = "/bin/cat";

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

bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

palisade_options catOptions() { return {kCat, 0, 0, nullptr, 0, nullptr, nullptr}; }

TEST(Words, ShortestPathReachesEveryStateInTheFewestWords) {
  const State states[] = {State::idle, State::holding, State::yielded};
  const Word words[] = {Word::engage, Word::yield, Word::release};
  for (State from : states) {
    for (State to : states) {
      // The fewest words, found by trying every sequence of up to two.
      int fewest = from == to ? 0 : 3;
      for (Word a : words) {
        if (after(from, a) == to)
          fewest = std::min(fewest, 1);
        for (Word b : words)
          if (after(after(from, a), b) == to)
            fewest = std::min(fewest, 2);
      }
      Word path[2];
      int n = shortestPath(from, to, path);
      State reached = from;
      for (int i = 0; i < n; ++i)
        reached = after(reached, path[i]);
      EXPECT_EQ(reached, to) << int(from) << " to " << int(to);
      EXPECT_EQ(n, fewest) << int(from) << " to " << int(to);
    }
  }
}

TEST(Open, RejectsBadOptionsAndLeavesNoClient) {
  int open = fcntl(1, F_DUPFD_CLOEXEC, 3), closed = fcntl(1, F_DUPFD_CLOEXEC, 3), standard = 2;
  close(closed);
  struct Case {
    const char* name;
    std::function<void(palisade_options&)> change;
  } cases[] = {
      {"no path", [](palisade_options& o) { o.helper_path = nullptr; }},
      {"negative interval", [](palisade_options& o) { o.keep_alive_interval = -0.1; }},
      {"interval of 3 s", [](palisade_options& o) { o.keep_alive_interval = 3; }},
      {"NaN interval", [](palisade_options& o) { o.keep_alive_interval = NAN; }},
      {"negative count", [](palisade_options& o) { o.inherit_fd_count = -1; }},
      {"count without fds", [](palisade_options& o) { o.inherit_fd_count = 1; }},
      {"standard descriptor", [&](palisade_options& o) { o.inherit_fds = &standard, o.inherit_fd_count = 1; }},
      {"closed descriptor", [&](palisade_options& o) { o.inherit_fds = &closed, o.inherit_fd_count = 1; }},
  };
  for (const Case& c : cases) {
    palisade_options options = catOptions();
    c.change(options);
    palisade_client* client = reinterpret_cast<palisade_client*>(&options);
    EXPECT_EQ(palisade_open(&options, &client), PALISADE_INVALID_ARGUMENT) << c.name;
    EXPECT_EQ(client, nullptr) << c.name;
  }
  palisade_options options = catOptions();
  EXPECT_EQ(palisade_open(nullptr, nullptr), PALISADE_INVALID_ARGUMENT);
  EXPECT_EQ(palisade_open(&options, nullptr), PALISADE_INVALID_ARGUMENT);
  EXPECT_EQ(palisade_close(nullptr, 5), PALISADE_INVALID_ARGUMENT);
  // The limits themselves: just below 3 s, an open descriptor above 2.
  options.keep_alive_interval = 2.999;
  options.inherit_fds = &open;
  options.inherit_fd_count = 1;
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  close(open);
}

TEST(Open, AHelperThatCannotStartLeavesNothingBehind) {
  char plainFile[] = "/tmp/palisade-client-XXXXXX";
  int file = mkstemp(plainFile);
  ASSERT_GE(file, 0);
  close(file);
  std::set<int> fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
  for (const char* path : {"/nonexistent/palisade", static_cast<const char*>(plainFile), "/tmp"}) {
    palisade_options options = catOptions();
    options.helper_path = path;
    palisade_client* client = reinterpret_cast<palisade_client*>(&options);
    EXPECT_EQ(palisade_open(&options, &client), PALISADE_SPAWN_FAILED) << path;
    EXPECT_EQ(client, nullptr) << path;
  }
  unlink(plainFile);
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(entries("/proc/self/task"), threads);
  EXPECT_TRUE(noChildLeft());
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
  palisade_options options = catOptions();
  options.inherit_fds = &inherit;
  options.inherit_fd_count = 1;
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
  std::string helper = "/proc/" + std::to_string(palisade_helper_pid(client));

  // Once the loader has closed what it opens, exactly these stay.
  EXPECT_TRUE(eventually([&] { return entries(helper + "/fd") == std::set<int>{0, 1, 2, 20}; }));
  EXPECT_EQ(linkOf(helper + "/fd/1"), "/dev/null");
  EXPECT_EQ(linkOf(helper + "/fd/2"), "/dev/null");
  EXPECT_EQ(linkOf(helper + "/fd/20"), linkOf("/proc/self/fd/20"));
  // Our end of its input: no later child may hold it, no write may block.
  std::string input = linkOf(helper + "/fd/0");
  int ours = -1;
  for (int fd : entries("/proc/self/fd"))
    if (linkOf("/proc/self/fd/" + std::to_string(fd)) == input)
      ours = fd;
  ASSERT_GE(ours, 0) << input;
  EXPECT_TRUE(fcntl(ours, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(ours, F_GETFL) & O_NONBLOCK);

  pid_t pid = palisade_helper_pid(client);
  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  EXPECT_TRUE(kill(pid, 0) == -1 && errno == ESRCH);
  EXPECT_TRUE(noChildLeft());
  for (int fd : {below, above, shared[0], shared[1], 20})
    close(fd);
}

TEST(Write, AHelperThatStoppedReadingNeitherSignalsNorOutlivesClose) {
  // Closes its input and lives on: every write gets EPIPE, and the end of
  // input does not end it.
  char script[] = "/tmp/palisade-client-XXXXXX";
  int file = mkstemp(script);
  ASSERT_GE(file, 0);
  const char text[] = "#!/bin/sh\nexec 0<&-\nexec sleep 60\n";
  ASSERT_EQ(write(file, text, sizeof text - 1), ssize_t(sizeof text - 1));
  fchmod(file, 0700);
  close(file);
  palisade_options options = catOptions();
  options.helper_path = script;
  options.keep_alive_interval = 0.01;
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
  pid_t pid = palisade_helper_pid(client);
  EXPECT_TRUE(eventually([&] { return !entries("/proc/" + std::to_string(pid) + "/fd").count(0); }));
  signal(SIGPIPE, SIG_DFL);  // whatever the runner left: a raised SIGPIPE ends us
  EXPECT_EQ(palisade_engage(client), PALISADE_OK);
  usleep(100000);  // room for the engage and some keep-alives to be written
  EXPECT_EQ(palisade_close(client, 0.2), PALISADE_OK);
  EXPECT_TRUE(kill(pid, 0) == -1 && errno == ESRCH);
  EXPECT_TRUE(noChildLeft());
  unlink(script);
}

struct CallbackRun {
  palisade_client* client = nullptr;
  std::atomic<int> releaseStatus{-1}, closeStatus{-1}, restarts{0};
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
      ++run->restarts;
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
  EXPECT_EQ(run.restarts, 1);
}

}  // namespace
