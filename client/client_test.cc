// What the C program against palisade-sim (tests/client_c_check.c) and the
// demo cannot see: the word paths, option limits, failed starts, the
// descriptors a helper gets, every word a stopped helper reads, one that
// stops reading, and close from a callback. /bin/cat and shell scripts stand
// in for the helper.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    numbers.insert(std::stoi(entry.path().filename()));
  return numbers;
}

std::string linkOf(const std::string& path) {
  std::error_code error;
  return std::filesystem::read_symlink(path, error);
}

// Looks without reaping: a zombie the client failed to reap must stay seen.
bool noChildLeft() {
  siginfo_t info;
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

bool ended(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

constexpr const char* kCat = "/bin/cat";

palisade_options optionsFor(const char* path = kCat, double interval = 0, const int* fds = nullptr, int count = 0) {
  return {path, interval, 0, fds, count, nullptr, nullptr};
}

// A shell script as the helper, at a fresh temporary path.
std::string script(const std::string& body) {
  char path[] = "/tmp/palisade-client-XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path, 0700);
  return path;
}

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
  const palisade_options cases[] = {
      optionsFor(nullptr), optionsFor(kCat, -0.1), optionsFor(kCat, 3), optionsFor(kCat, NAN),
      optionsFor(kCat, 0, nullptr, -1), optionsFor(kCat, 0, nullptr, 1), optionsFor(kCat, 0, &standard, 1),
      optionsFor(kCat, 0, &closed, 1),
      // Cannot start: missing, not executable, a folder.
      optionsFor("/nonexistent/palisade"), optionsFor("/etc/passwd"), optionsFor("/tmp"),
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    palisade_client* client = reinterpret_cast<palisade_client*>(&fds);
    EXPECT_EQ(palisade_open(&cases[i], &client), i < 8 ? PALISADE_INVALID_ARGUMENT : PALISADE_SPAWN_FAILED) << i;
    EXPECT_EQ(client, nullptr) << i;
  }
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(entries("/proc/self/task"), threads);
  EXPECT_TRUE(noChildLeft());

  // The limits themselves: just below 3 s, an open descriptor above 2.
  const palisade_options limits = optionsFor(kCat, 2.999, &open, 1);
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&limits, &client), PALISADE_OK);
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
  palisade_options options = optionsFor(kCat, 0, &inherit, 1);
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

TEST(Write, AStoppedHelperGetsWholeWordsInOrderThenKeepAlivesAgain) {
  char log[] = "/tmp/palisade-client-XXXXXX";
  close(mkstemp(log));
  std::string path = script(std::string("exec cat >") + log);
  palisade_options options = optionsFor(path.c_str(), 0.01);
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
  pid_t pid = palisade_helper_pid(client);
  // Words that leave it yielded, until its input is full (the queue
  // overflowing and collapsing meanwhile); then holding is asked for and the
  // queue overflows again: the words kept must lead from yielded, where the
  // written ones end.
  kill(pid, SIGSTOP);
  int input = open(("/proc/" + std::to_string(pid) + "/fd/0").c_str(), O_RDONLY | O_NONBLOCK), queued = 0;
  for (int i = 0; i < 100000 && queued < fcntl(input, F_GETPIPE_SZ) - 64; ++i) {
    palisade_engage(client), palisade_yield(client);
    ioctl(input, FIONREAD, &queued);
  }
  close(input);
  ASSERT_GT(queued, 0);
  palisade_release(client);
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(palisade_engage(client), PALISADE_OK);
  kill(pid, SIGCONT);
  // What it read, replayed line by line: ends holding, with keep-alives after.
  const std::map<std::string, Word> words = {{"engage", Word::engage}, {"yield", Word::yield}, {"release", Word::release}};
  std::string bad;
  auto replayed = [&] {
    std::ifstream in(log);
    State state = State::idle;
    bool keptAlive = false;
    for (std::string line; std::getline(in, line) && !in.eof();) {  // whole lines only
      if (!words.count(line) && line != "keepAlive")
        bad = line;
      keptAlive = line == "keepAlive" && (keptAlive || state == State::holding);
      state = words.count(line) ? after(state, words.at(line)) : state;
    }
    return state == State::holding && keptAlive;
  };
  EXPECT_TRUE(eventually(replayed));
  EXPECT_EQ(bad, "");
  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  unlink(log);
  unlink(path.c_str());
}

TEST(Write, AHelperThatStoppedReadingNeitherSignalsNorOutlivesClose) {
  // Reads one line, then closes its input and lives on: the next write,
  // a keep-alive or the release at close, gets EPIPE.
  std::string path = script("read word\nexec 0<&-\nexec sleep 60");
  palisade_options options = optionsFor(path.c_str());
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
  unlink(path.c_str());
}

struct CallbackRun {
  palisade_client* client = nullptr;
  std::atomic<int> releaseStatus{-1}, closeStatus{-1};
};

TEST(Close, FromACallbackReturnsAtOnceAndTheClientThreadFinishesIt) {
  std::set<int> fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
  CallbackRun run;
  palisade_options options = optionsFor();
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
