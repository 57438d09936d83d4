// What the C program against palisade-sim (tests/client_c_check.c) cannot
// see of the client's thread: every word a stopped helper reads, one that
// stops reading, the restart budget, and close from a callback.
#include "test_support.h"
#include "words.h"

using namespace palisade_client_test;
using namespace palisade_client_words;

namespace {

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
