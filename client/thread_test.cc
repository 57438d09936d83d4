// What the C program against palisade-sim (tests/client_c_check.c) cannot
// see of the client's thread: every word a stopped helper reads, one that
// stops reading, restarts and their budget, and close from a callback or
// racing a restart.
#include "test_support.h"
#include "words.h"

using namespace palisade_client_test;
using namespace palisade_client_words;
using palisade_client_internal::now;

namespace {

TEST(Write, AStoppedHelperGetsWholeWordsInOrderThenKeepAlivesAgain) {
  LoggingHelper helper;
  palisade_options options = optionsFor(helper.path.c_str(), 0.01);
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
    State state = State::idle;
    bool keptAlive = false;
    for (const std::string& line : helper.lines()) {
      if (!words.count(line) && line != "keepAlive")
        bad = line;
      keptAlive = line == "keepAlive" && (keptAlive || state == State::yielded);
      state = words.count(line) ? after(state, words.at(line)) : state;
    }
    return state == State::yielded && keptAlive;
  };
  EXPECT_TRUE(eventually(replayed));
  EXPECT_EQ(bad, "");
  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
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

// Calls made once the exit is reported already answer GONE, and nothing
// follows it: with no restart allowed (and SIGCHLD ignored, so the kernel
// reaps the helper before the client can), and with a helper that cannot
// be started again.
TEST(Restart, NoNewHelperIsDecidedBeforeTheExitIsReported) {
  struct Case {
    int maxRestarts;
    std::string path;
    long exitDetail;
  };
  const Case cases[] = {{-1, kCat, -1}, {0, script("rm -f \"$0\"\nexec cat"), SIGKILL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto previous = signal(SIGCHLD, c.maxRestarts < 0 ? SIG_IGN : SIG_DFL);
    Reported reported;
    palisade_options options = reportingTo(reported, optionsFor(c.path.c_str()));
    options.max_restarts = c.maxRestarts;
    ASSERT_EQ(palisade_open(&options, &reported.client), PALISADE_OK);
    ASSERT_EQ(palisade_engage(reported.client), PALISADE_OK);
    pid_t pid = palisade_helper_pid(reported.client);
    ASSERT_TRUE(eventually([&] { return access(c.path.c_str(), F_OK) != 0 || c.maxRestarts < 0; }));
    kill(pid, SIGKILL);
    EXPECT_TRUE(eventually([&] { return reported.exits == 1; }));
    EXPECT_EQ(reported.exitDetail, c.exitDetail);
    EXPECT_EQ(reported.engageInExit, PALISADE_HELPER_GONE);
    EXPECT_EQ(palisade_keep_alive(reported.client), PALISADE_HELPER_GONE);
    EXPECT_EQ(palisade_helper_pid(reported.client), 0);
    EXPECT_EQ(palisade_client_state(reported.client), PALISADE_STATE_IDLE);
    EXPECT_EQ(palisade_close(reported.client, 5), PALISADE_OK);
    EXPECT_EQ(reported.events(), "x");
    signal(SIGCHLD, previous);
  }
}

// Two restarts a window, at its start and halfway: once the first has left
// the window one more is allowed, and only one.
TEST(Restart, TheOldestRestartLeavingTheWindowFreesOne) {
  double& window = palisade_client_internal::restartWindowSeconds;
  window = 3;
  Reported reported;
  palisade_options options = reportingTo(reported, optionsFor());
  options.max_restarts = 2;
  ASSERT_EQ(palisade_open(&options, &reported.client), PALISADE_OK);
  auto killUntil = [&](const char* events) {
    pid_t pid = palisade_helper_pid(reported.client);
    ASSERT_GT(pid, 0);  // never kill(0): our own process group
    kill(pid, SIGKILL);
    ASSERT_TRUE(eventually([&] { return reported.events() == events; })) << reported.events();
  };
  auto restartedAt = [&](size_t i) {
    std::lock_guard<std::mutex> lock(reported.client->mutex);
    return reported.client->restarts.at(i);
  };
  killUntil("xr");
  usleep(useconds_t(window / 2 * 1e6));
  killUntil("xrxr");
  // Past the first restart's window, well inside the second's.
  usleep(useconds_t(std::max(0.0, restartedAt(0) + window + 0.2 - now()) * 1e6));
  ASSERT_LT(now(), restartedAt(1) + window - 0.5);
  killUntil("xrxrxr");
  killUntil("xrxrxrx");
  EXPECT_EQ(reported.engageInExit, PALISADE_HELPER_GONE);
  EXPECT_EQ(palisade_helper_pid(reported.client), 0);
  EXPECT_EQ(palisade_close(reported.client, 5), PALISADE_OK);
  window = 60;
}

struct CallbackRun {
  palisade_client* client = nullptr;
  std::atomic<int> releaseStatus{-1}, closeStatus{-1};
};

TEST(Close, FromACallbackReturnsAtOnceAndTheClientThreadFinishesIt) {
  std::set<int> fds = entries("/proc/self/fd"), threads = processThreads();
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
  EXPECT_TRUE(eventually([&] { return threadsAddedSince(threads).empty(); }));
  EXPECT_EQ(entries("/proc/self/fd"), fds);
}

// A close that comes while a killed helper is being replaced, many times
// over: the new helper is engaged only by a restart that finished first,
// as its event shows, never on the way out.
TEST(Close, RacingARestartNeverEngagesTheNewHelper) {
  for (int i = 0; i < 40; ++i) {
    LoggingHelper helper;
    std::atomic<int> restarted{0};
    palisade_options options = optionsFor(helper.path.c_str());
    options.context = &restarted;
    options.on_event = [](void* context, palisade_event event, long) {
      *static_cast<std::atomic<int>*>(context) += event == PALISADE_EVENT_HELPER_RESTARTED;
    };
    palisade_client* client = nullptr;
    ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
    ASSERT_EQ(palisade_engage(client), PALISADE_OK);
    ASSERT_TRUE(eventually([&] { return helper.count("engage") == 1; }));
    kill(palisade_helper_pid(client), SIGKILL);
    usleep(useconds_t(i % 4) * 250);
    ASSERT_EQ(palisade_close(client, 5), PALISADE_OK);
    ASSERT_EQ(helper.count("engage"), 1 + restarted) << i;
  }
}

}  // namespace
