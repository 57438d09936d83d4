// The keep-alives under each source, and the watch over a hold: when a lost
// hold is found, what it reports, and what never costs it.
#include "test_support.h"

using namespace palisade_client_test;
using palisade_client_internal::kSilence;
using palisade_client_internal::now;
using palisade_client_internal::State;
using palisade_client_internal::wakeThread;

namespace {

constexpr palisade_keep_alive_source kSources[] = {
    PALISADE_KEEP_ALIVE_MAIN_QUEUE, PALISADE_KEEP_ALIVE_CLIENT_THREAD, PALISADE_KEEP_ALIVE_MANUAL};

// A reported silence may exceed the real one by a late wake-up on a loaded
// machine, never by a keep-alive interval.
constexpr long kLateMs = 400;

// The words a helper read, keep-alives left out.
std::vector<std::string> commands(const LoggingHelper& helper) {
  std::vector<std::string> words;
  for (const std::string& line : helper.lines())
    if (line != "keepAlive")
      words.push_back(line);
  return words;
}

// A client on `helper`, reporting to `reported`, engaged once the helper
// has read it.
void openEngaged(LoggingHelper& helper, Reported& reported,
                 palisade_keep_alive_source source = PALISADE_KEEP_ALIVE_CLIENT_THREAD, double interval = 0) {
  palisade_options options = reportingTo(reported, optionsFor(helper.path.c_str(), interval, nullptr, 0, source));
  ASSERT_EQ(palisade_open(&options, &reported.client), PALISADE_OK);
  ASSERT_EQ(palisade_engage(reported.client), PALISADE_OK);
  ASSERT_TRUE(eventually([&] { return helper.count("engage") == 1; }));
}

TEST(Clock, IsTheHelpersMonotonicClock) {
  timespec before, after;
  clock_gettime(CLOCK_MONOTONIC, &before);
  double t = now();
  clock_gettime(CLOCK_MONOTONIC, &after);
  EXPECT_GE(t, double(before.tv_sec) + double(before.tv_nsec) * 1e-9 - 1e-6);
  EXPECT_LE(t, double(after.tv_sec) + double(after.tv_nsec) * 1e-9 + 1e-6);
}

// Silence while holding, from each source: a main queue nothing drains,
// manual calls that never come, and the client's thread facing a stopped
// helper whose input is full. A 2 s interval: a watch one beat late would
// find the loss at 5 s.
TEST(LostHold, FoundThreeSecondsIntoTheSilenceAndANewHoldFromTheCallbackStays) {
  struct Client {
    LoggingHelper helper;
    Reported reported;
  };
  std::vector<std::unique_ptr<Client>> clients;
  for (palisade_keep_alive_source source : kSources) {
    Client& c = *clients.emplace_back(std::make_unique<Client>());
    c.reported.engageOnLost = true;
    ASSERT_NO_FATAL_FAILURE(openEngaged(c.helper, c.reported, source, 2));
  }
  pid_t pid = palisade_helper_pid(clients[1]->reported.client);
  stopWithInputFull(pid);
  for (auto& c : clients) {
    EXPECT_TRUE(eventually([&] { return c->reported.lost == 1; }));
    EXPECT_GE(c->reported.lostDetail, 3000);
    EXPECT_LE(c->reported.lostDetail, 3000 + kLateMs);
    EXPECT_EQ(c->reported.stateInLost, PALISADE_STATE_IDLE);
    EXPECT_EQ(c->reported.engageInLost, PALISADE_OK);
  }
  kill(pid, SIGCONT);
  // The helper read the release, then the new engage; a keep-alive after it
  // means the client's thread went round again, and the hold is still there.
  // Every new hold is kept alive meanwhile.
  EXPECT_TRUE(eventually([&] {
    bool all = true;
    for (auto& c : clients) {
      palisade_keep_alive(c->reported.client);
      all = all && c->helper.count("engage") == 2 && c->helper.lines().back() == "keepAlive";
    }
    return all;
  }));
  for (auto& c : clients) {
    palisade_client* client = c->reported.client;
    EXPECT_EQ(commands(c->helper), (std::vector<std::string>{"engage", "release", "engage"}));
    EXPECT_EQ(palisade_client_state(client), PALISADE_STATE_HOLDING);
    EXPECT_EQ(c->reported.lost, 1);
    EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  }
}

// A client's thread that runs again only after more than 3 s (a stopped
// application, a Mac that slept): the helper has let go, so the client says
// so and writes release before any keep-alive. The detail is the silence in
// milliseconds from the last keep-alive to when the thread, let go 3.5 s
// after it, found the loss: neither whole seconds nor another stamp fit.
TEST(LostHold, AThreadHeldUpPastTheSilenceReportsItExactlyBeforeWritingAgain) {
  LoggingHelper helper;
  Reported reported;
  ASSERT_NO_FATAL_FAILURE(openEngaged(helper, reported));
  ASSERT_TRUE(eventually([&] { return helper.count("keepAlive") > 1; }));  // the engage's stamp is long past
  double last, letGo;
  size_t before;
  {
    std::lock_guard<std::mutex> lock(reported.client->mutex);  // where its thread waits
    last = reported.client->lastKeepAlive;
    usleep(useconds_t(std::max(0.0, last + 3.5 - now()) * 1e6));
    before = helper.lines().size();  // long since read: written before the stall
    letGo = now();
  }
  EXPECT_TRUE(eventually([&] { return reported.lost == 1 && helper.lines().size() > before; }));
  EXPECT_GE(reported.lostDetail, std::lround((letGo - last) * 1000));
  EXPECT_LE(reported.lostDetail, std::lround((reported.lostAt - last) * 1000));
  EXPECT_EQ(helper.lines().at(before), "release");
  EXPECT_EQ(palisade_client_state(reported.client), PALISADE_STATE_IDLE);
  EXPECT_EQ(palisade_close(reported.client, 5), PALISADE_OK);
  EXPECT_EQ(reported.lost, 1);
}

// The main queue runs for several keep-alives, then stalls, while the
// client's thread keeps being woken (as any call from another thread wakes
// it). Each proof that the queue ran is spent once: after the stall at most
// the one still pending goes out, and the hold is lost 3 s after it. A proof
// spent again would put the loss off by the time between wake-ups, forever.
TEST(LostHold, AMainQueueThatStallsAfterRunningLosesItThreeSecondsAfterItsLastKeepAlive) {
  LoggingHelper helper;
  Reported reported;
  ASSERT_NO_FATAL_FAILURE(openEngaged(helper, reported, PALISADE_KEEP_ALIVE_MAIN_QUEUE));
  palisade_client* client = reported.client;
  auto lastKeepAlive = [&] {
    std::lock_guard<std::mutex> lock(client->mutex);
    return client->lastKeepAlive;
  };
  double last = lastKeepAlive();
  int written = 0;
  ASSERT_TRUE(eventually([&] {
    drainMainQueueFor(0.01);
    double seen = lastKeepAlive();
    written += seen != last;
    last = seen;
    return written == 3;
  }));
  double stalled = now();
  int afterStall = 0;
  while (reported.lost == 0 && now() < stalled + 2 * kSilence) {
    {
      std::lock_guard<std::mutex> lock(client->mutex);
      if (client->wanted == State::holding) {
        afterStall += client->lastKeepAlive != last;
        last = client->lastKeepAlive;
        wakeThread(client);
      }
    }
    usleep(20000);
  }
  EXPECT_LE(afterStall, 1);
  EXPECT_EQ(reported.lost, 1);
  EXPECT_LE(reported.lostAt, stalled + kSilence + kLateMs / 1000.0);
  EXPECT_EQ(palisade_client_state(client), PALISADE_STATE_IDLE);
  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
}

// Yielded, a main queue nothing drains and manual calls that stop cost
// nothing, though the client's thread wakes throughout for calls.
TEST(LostHold, SilenceWhileYieldedNeverCostsTheHold) {
  LoggingHelper helpers[2];
  Reported reported[2];
  const palisade_keep_alive_source sources[] = {PALISADE_KEEP_ALIVE_MAIN_QUEUE, PALISADE_KEEP_ALIVE_MANUAL};
  for (int i = 0; i < 2; ++i) {
    ASSERT_NO_FATAL_FAILURE(openEngaged(helpers[i], reported[i], sources[i]));
    ASSERT_EQ(palisade_yield(reported[i].client), PALISADE_OK);
  }
  for (double end = now() + 4; now() < end; usleep(100000))
    for (Reported& r : reported)
      ASSERT_EQ(palisade_yield(r.client), PALISADE_OK);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(reported[i].lost, 0);
    EXPECT_EQ(palisade_client_state(reported[i].client), PALISADE_STATE_YIELDED);
    EXPECT_EQ(palisade_close(reported[i].client, 5), PALISADE_OK);
    EXPECT_EQ(helpers[i].count("release"), 1) << "only the close's";
  }
}

// A helper stopped until its input is full, killed most of 3 s later: the
// new one's hold starts its silence at its engage.
TEST(LostHold, ARestartedHelpersSilenceStartsAfresh) {
  LoggingHelper helper;
  Reported reported;
  ASSERT_NO_FATAL_FAILURE(openEngaged(helper, reported));
  pid_t pid = palisade_helper_pid(reported.client);
  stopWithInputFull(pid);
  usleep(2700000);
  kill(pid, SIGKILL);
  // Two keep-alives read after the new engage: the hold outlived the
  // moment the old silence would have run out.
  EXPECT_TRUE(eventually([&] {
    auto lines = helper.lines();
    return lines.size() >= 3 && lines[lines.size() - 3] == "engage" && lines.back() == "keepAlive";
  }));
  EXPECT_EQ(reported.restarts, 1);
  EXPECT_EQ(reported.lost, 0);
  EXPECT_EQ(palisade_client_state(reported.client), PALISADE_STATE_HOLDING);
  EXPECT_EQ(palisade_close(reported.client, 5), PALISADE_OK);
}

// Each source on a main thread that runs its queue: keep-alives while
// engaged without a busy loop, none after a release, and while idle no
// wake-up of the client's thread at all.
TEST(KeepAlive, EachSourceBeatsOnlyWhileEngagedAndNeverSpins) {
  for (palisade_keep_alive_source source : kSources) {
    SCOPED_TRACE(source);
    LoggingHelper helper;
    std::set<int> threads = processThreads();
    palisade_options options = optionsFor(helper.path.c_str(), 0.02, nullptr, 0, source);
    palisade_client* client = nullptr;
    ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
    int thread = addedThread(threads);
    ASSERT_GT(thread, 0);
    // The application alive for `seconds`: its main queue runs, and it
    // calls palisade_keep_alive as a manual parent would.
    auto live = [&](double seconds) {
      for (double end = now() + seconds; now() < end; drainMainQueueFor(0.01))
        palisade_keep_alive(client);
    };
    double cpu = threadCpuSeconds(client);
    ASSERT_EQ(palisade_engage(client), PALISADE_OK);
    live(0.5);
    ASSERT_EQ(palisade_yield(client), PALISADE_OK);
    live(0.5);
    EXPECT_LT(threadCpuSeconds(client) - cpu, 0.2) << "a second of a spinning thread costs most of a second";
    EXPECT_GT(helper.count("keepAlive"), 10);
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(palisade_engage(client), PALISADE_OK);
      live(0.01 * (i % 5));
      ASSERT_EQ(palisade_release(client), PALISADE_OK);
    }
    // Manual, one call while yielded writes one keep-alive.
    size_t yielded = 0;
    if (source == PALISADE_KEEP_ALIVE_MANUAL) {
      ASSERT_EQ(palisade_engage(client) | palisade_yield(client), PALISADE_OK);
      ASSERT_TRUE(eventually([&] { return helper.lines().back() == "yield"; }));
      yielded = helper.lines().size();
      ASSERT_EQ(palisade_keep_alive(client), PALISADE_OK);
      EXPECT_TRUE(eventually([&] { return helper.lines().size() > yielded; }));
      ASSERT_EQ(palisade_release(client), PALISADE_OK);
    }
    ASSERT_TRUE(eventually([&] { return helper.lines().back() == "release"; }));

    usleep(50000);  // the thread back asleep
    long wakes = wakeUps(thread);
    size_t written = helper.lines().size();
    live(1);
    EXPECT_LE(wakeUps(thread) - wakes, 1);
    EXPECT_EQ(helper.lines().size(), written);
    // A release while idle wakes the thread: still no keep-alive after it.
    ASSERT_EQ(palisade_release(client), PALISADE_OK);
    live(0.1);
    EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
    std::string last;
    for (const std::string& line : helper.lines()) {
      EXPECT_FALSE(line == "keepAlive" && last == "release");
      last = line == "keepAlive" ? last : line;
    }
    if (source == PALISADE_KEEP_ALIVE_MANUAL) {
      auto lines = helper.lines();
      EXPECT_EQ(std::count(lines.begin() + long(yielded), lines.end(), "keepAlive"), 1);
    }
  }
}

}  // namespace
