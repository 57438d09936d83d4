// What the C program against palisade-sim (tests/client_c_check.c) and the
// demo cannot see: the word paths, option limits, failed starts, the
// descriptors a helper gets, every word a stopped helper reads, one that
// stops reading, the restart budget, and close from a callback. /bin/cat and
// shell scripts stand in for the helper.
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
#include "state.h"
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

// O_RDONLY or O_WRONLY, from a /proc fdinfo file.
int accessMode(const std::string& fdinfo) {
  std::ifstream info(fdinfo);
  for (std::string line; std::getline(info, line);)
    if (line.rfind("flags:", 0) == 0)
      return std::stoi(line.substr(6), nullptr, 8) & O_ACCMODE;
  return -1;
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

double processCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

constexpr const char* kCat = "/bin/cat";

// The test's main thread drains no dispatch queue: the client's thread
// keeps the hold alive.
palisade_options optionsFor(const char* path = kCat, double interval = 0, const int* fds = nullptr, int count = 0,
                            palisade_keep_alive_source source = PALISADE_KEEP_ALIVE_CLIENT_THREAD,
                            const int* targets = nullptr) {
  return {path, interval, 0, fds, count, nullptr, nullptr, source, targets};
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
  int two[] = {open, 1}, repeated[] = {5, 5}, low[] = {5, 2};
  const auto unknown = palisade_keep_alive_source(3);
  std::set<int> fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
  const palisade_options cases[] = {
      optionsFor(nullptr), optionsFor(kCat, -0.1), optionsFor(kCat, 3), optionsFor(kCat, NAN),
      optionsFor(kCat, 0, nullptr, -1), optionsFor(kCat, 0, nullptr, 1), optionsFor(kCat, 0, &standard, 1),
      optionsFor(kCat, 0, &closed, 1), optionsFor(kCat, 0, nullptr, 0, unknown),
      optionsFor(kCat, 0, two, 2, PALISADE_KEEP_ALIVE_MANUAL, repeated),
      optionsFor(kCat, 0, two, 2, PALISADE_KEEP_ALIVE_MANUAL, low),
      // Cannot start: missing, not executable, a folder.
      optionsFor("/nonexistent/palisade"), optionsFor("/etc/passwd"), optionsFor("/tmp"),
  };
  const int reasons[] = {ENOENT, EACCES, EACCES};
  for (size_t i = 0; i < std::size(cases); ++i) {
    palisade_client* client = reinterpret_cast<palisade_client*>(&fds);
    errno = 0;
    bool invalid = i < std::size(cases) - std::size(reasons);
    EXPECT_EQ(palisade_open(&cases[i], &client), invalid ? PALISADE_INVALID_ARGUMENT : PALISADE_SPAWN_FAILED) << i;
    EXPECT_EQ(client, nullptr) << i;
    if (!invalid)
      EXPECT_EQ(errno, reasons[i - (std::size(cases) - std::size(reasons))]) << i;
  }
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(entries("/proc/self/task"), threads);
  EXPECT_TRUE(noChildLeft());

  // The limits themselves: just below 3 s, an open descriptor above 2, the
  // main-queue source (this build has libdispatch).
  const palisade_options limits = optionsFor(kCat, 2.999, &open, 1, PALISADE_KEEP_ALIVE_MAIN_QUEUE);
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&limits, &client), PALISADE_OK);
  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  close(open);

  // Every status explains itself in its own words; so does the library.
  std::set<std::string> messages;
  for (int status = PALISADE_OK; status <= PALISADE_CLOSED; ++status)
    messages.insert(palisade_status_message(palisade_status(status)));
  messages.insert(palisade_status_message(palisade_status(99)));
  EXPECT_EQ(messages.size(), 6u);
  unsigned major, minor, patch;
  char end;
  EXPECT_EQ(sscanf(palisade_version(), "%u.%u.%u%c", &major, &minor, &patch, &end), 3) << palisade_version();
}

TEST(Open, TheHelperGetsItsInputTheInheritedDescriptorsAndNothingElse) {
  // Left inheritable on purpose, one below the inherited numbers and one
  // above: neither may reach the helper.
  int below = fcntl(1, F_DUPFD, 3), above = fcntl(1, F_DUPFD, 40);
  int shared[2];
  ASSERT_EQ(pipe2(shared, O_CLOEXEC), 0);
  ASSERT_EQ(dup3(shared[0], 20, O_CLOEXEC), 20);
  ASSERT_EQ(dup3(shared[1], 21, O_CLOEXEC), 21);
  ASSERT_LT(below, 20);
  // Swapped: each target is the other's source, and must not be
  // overwritten before it is copied.
  int inherit[] = {20, 21}, targets[] = {21, 20};
  std::set<int> before = entries("/proc/self/fd");
  palisade_options options = optionsFor(kCat, 0, inherit, 2, PALISADE_KEEP_ALIVE_CLIENT_THREAD, targets);
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
  pid_t pid = palisade_helper_pid(client);
  std::string helper = "/proc/" + std::to_string(pid);

  // Once the loader has closed what it opens, exactly these stay.
  EXPECT_TRUE(eventually([&] { return entries(helper + "/fd") == std::set<int>{0, 1, 2, 20, 21}; }));
  EXPECT_EQ(linkOf(helper + "/fd/1"), "/dev/null");
  EXPECT_EQ(linkOf(helper + "/fd/2"), "/dev/null");
  // A pipe's two ends share one name; their modes tell them apart.
  EXPECT_EQ(linkOf(helper + "/fd/20"), linkOf("/proc/self/fd/20"));
  EXPECT_EQ(accessMode(helper + "/fdinfo/20"), O_WRONLY);
  EXPECT_EQ(accessMode(helper + "/fdinfo/21"), O_RDONLY);
  // Ours, its input's write end above all: no later child of ours may get them.
  for (int fd : entries("/proc/self/fd"))
    EXPECT_TRUE(before.count(fd) || fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;  // -1 for the listing's own

  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  EXPECT_TRUE(ended(pid));
  for (int fd : {below, above, shared[0], shared[1], 20, 21})
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
  // Releases, which leave it idle, until its input is full; then engage and
  // yield, which cannot be written, and enough words to overflow the queue.
  // The words kept must lead to yielded from idle, where the written ones
  // end, not from where the unwritten ones would have.
  kill(pid, SIGSTOP);
  int input = open(("/proc/" + std::to_string(pid) + "/fd/0").c_str(), O_RDONLY | O_NONBLOCK), queued = 0;
  for (int i = 0; i < 100000 && queued < fcntl(input, F_GETPIPE_SZ); ++i) {
    palisade_release(client);
    ioctl(input, FIONREAD, &queued);
  }
  close(input);
  ASSERT_GT(queued, 0);
  palisade_engage(client), palisade_yield(client);
  ASSERT_EQ(palisade_client_state(client), PALISADE_STATE_YIELDED);
  usleep(100000);  // the thread, awake every 10 ms, tries and fails to write them
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(palisade_engage(client), PALISADE_OK);  // ignored while yielded
  ASSERT_EQ(palisade_client_state(client), PALISADE_STATE_YIELDED);
  kill(pid, SIGCONT);
  // What it read, replayed line by line: ends yielded, with keep-alives
  // after, since they go on while yielded.
  const std::map<std::string, Word> words = {{"engage", Word::engage}, {"yield", Word::yield}, {"release", Word::release}};
  std::string bad;
  auto replayed = [&] {
    std::ifstream in(log);
    State state = State::idle;
    bool keptAlive = false;
    for (std::string line; std::getline(in, line) && !in.eof();) {  // whole lines only
      if (!words.count(line) && line != "keepAlive")
        bad = line;
      keptAlive = line == "keepAlive" && (keptAlive || state == State::yielded);
      state = words.count(line) ? after(state, words.at(line)) : state;
    }
    return state == State::yielded && keptAlive;
  };
  EXPECT_TRUE(eventually(replayed));
  EXPECT_EQ(bad, "");

  // Yielded, keep-alives every 10 ms: the client's thread sleeps between
  // them. A second of a spinning thread would cost most of a second.
  double before = processCpuSeconds();
  sleep(1);
  EXPECT_LT(processCpuSeconds() - before, 0.2);
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

// What the client's thread reported, and what a call made from inside the
// exit event answered.
struct Reported {
  palisade_client* client = nullptr;
  std::atomic<int> exits{0}, restarts{0};
  std::atomic<long> exitDetail{0};
  std::atomic<int> engageInExit{-1};
};

void record(void* context, palisade_event event, long detail) {
  auto* reported = static_cast<Reported*>(context);
  if (event == PALISADE_EVENT_HELPER_EXITED) {
    reported->exitDetail = detail;
    reported->engageInExit = palisade_engage(reported->client);
    ++reported->exits;
  } else if (event == PALISADE_EVENT_HELPER_RESTARTED) {
    ++reported->restarts;
  }
}

TEST(Restart, NoRestartLeftIsDecidedBeforeTheExitIsReported) {
  // SIGCHLD ignored: the kernel reaps the helper before the client can.
  auto previous = signal(SIGCHLD, SIG_IGN);
  Reported reported;
  palisade_options options = optionsFor();
  options.max_restarts = -1;  // never, not the default
  options.on_event = record;
  options.context = &reported;
  ASSERT_EQ(palisade_open(&options, &reported.client), PALISADE_OK);
  ASSERT_EQ(palisade_engage(reported.client), PALISADE_OK);
  kill(palisade_helper_pid(reported.client), SIGKILL);
  EXPECT_TRUE(eventually([&] { return reported.exits == 1; }));
  EXPECT_EQ(reported.exitDetail, -1);
  EXPECT_EQ(reported.engageInExit, PALISADE_HELPER_GONE);
  EXPECT_EQ(palisade_keep_alive(reported.client), PALISADE_HELPER_GONE);
  EXPECT_EQ(palisade_helper_pid(reported.client), 0);
  EXPECT_EQ(palisade_client_state(reported.client), PALISADE_STATE_IDLE);
  EXPECT_EQ(palisade_close(reported.client, 5), PALISADE_OK);
  EXPECT_EQ(reported.restarts, 0);
  signal(SIGCHLD, previous);
}

TEST(Restart, TheBudgetRenewsOnceItsWindowHasPassed) {
  palisade_client_internal::restartWindowSeconds = 0.3;
  Reported reported;
  palisade_options options = optionsFor();
  options.max_restarts = 1;
  options.on_event = record;
  options.context = &reported;
  ASSERT_EQ(palisade_open(&options, &reported.client), PALISADE_OK);
  for (int restart = 1; restart <= 2; ++restart) {
    kill(palisade_helper_pid(reported.client), SIGKILL);
    EXPECT_TRUE(eventually([&] { return reported.restarts == restart; })) << restart;
    EXPECT_EQ(reported.engageInExit, PALISADE_OK) << restart;
    usleep(400000);  // past the window: the first restart no longer counts
  }
  EXPECT_EQ(palisade_close(reported.client, 5), PALISADE_OK);
  palisade_client_internal::restartWindowSeconds = 60;
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
