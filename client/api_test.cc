// What the C program against palisade-sim (tests/client_c_check.c) cannot
// see of opening a client: option limits, failed starts and their reasons,
// and exactly the descriptors a helper gets.
#include "helper_search.h"
#include "test_support.h"

using namespace palisade_client_test;

namespace {

TEST(Open, RejectsBadOptionsAndFailedStartsLeavingNothingBehind) {
  int open = fcntl(1, F_DUPFD_CLOEXEC, 3), closed = fcntl(1, F_DUPFD_CLOEXEC, 3), standard = 2;
  close(closed);
  // A target at the descriptor limit is past the last number a helper can have.
  int two[] = {open, 1}, repeated[] = {5, 5}, low[] = {5, 2}, atLimit[] = {5, int(sysconf(_SC_OPEN_MAX))};
  // A source no version knows, as a C caller may pass it: C++ cannot even
  // hold it in the enum's type.
  palisade_options unknown = optionsFor();
  const int ninetyNine = 99;
  memcpy(&unknown.keep_alive_source, &ninetyNine, sizeof ninetyNine);
  std::set<int> fds = entries("/proc/self/fd"), threads = processThreads();
  const palisade_options cases[] = {
      optionsFor(kCat, -0.1), optionsFor(kCat, 3), optionsFor(kCat, NAN),
      optionsFor(kCat, 0, nullptr, -1), optionsFor(kCat, 0, nullptr, 1), optionsFor(kCat, 0, &standard, 1),
      optionsFor(kCat, 0, &closed, 1), unknown,
      optionsFor(kCat, 0, two, 2, PALISADE_KEEP_ALIVE_MANUAL, repeated),
      optionsFor(kCat, 0, two, 2, PALISADE_KEEP_ALIVE_MANUAL, low),
      optionsFor(kCat, 0, two, 2, PALISADE_KEEP_ALIVE_MANUAL, atLimit),
      // Cannot start: missing, not executable, a folder.
      optionsFor("/nonexistent/palisade"), optionsFor("/etc/passwd"), optionsFor("/tmp"),
  };
  const int reasons[] = {ENOENT, EACCES, EACCES};
  for (size_t i = 0; i < std::size(cases); ++i) {
    palisade_client* client = reinterpret_cast<palisade_client*>(&fds);
    errno = 0;
    bool invalid = i < std::size(cases) - std::size(reasons);
    palisade_status status = palisade_open(&cases[i], &client);
    int reason = errno;
    EXPECT_EQ(status, invalid ? PALISADE_INVALID_ARGUMENT : PALISADE_SPAWN_FAILED) << i;
    EXPECT_EQ(client, nullptr) << i;
    if (!invalid)
      EXPECT_EQ(reason, reasons[i - (std::size(cases) - std::size(reasons))]) << i;
  }
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(threadsAddedSince(threads), std::set<int>{});
  EXPECT_TRUE(noChildLeft());

  // The limits themselves: just below 3 s, an open descriptor above 2, the
  // main-queue source (this build has libdispatch). Engaged again and again
  // and closed engaged, with a main queue nothing drains: its timer must
  // not keep a descriptor of ours (libdispatch opens its own as it goes,
  // and the listing its own, gone when read).
  auto ours = [] {
    std::set<int> fds;
    for (int fd : entries("/proc/self/fd")) {
      std::string kind = linkOf("/proc/self/fd/" + std::to_string(fd));
      if (!kind.empty() && kind.find("eventfd") == std::string::npos &&
          kind.find("timerfd") == std::string::npos && kind.find("eventpoll") == std::string::npos)
        fds.insert(fd);
    }
    return fds;
  };
  const palisade_options limits = optionsFor(kCat, 2.999, &open, 1, PALISADE_KEEP_ALIVE_MAIN_QUEUE);
  std::set<int> before = ours();
  palisade_client* client = nullptr;
  ASSERT_EQ(palisade_open(&limits, &client), PALISADE_OK);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(palisade_engage(client) | palisade_release(client), PALISADE_OK);
  EXPECT_EQ(palisade_engage(client), PALISADE_OK);
  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  EXPECT_EQ(ours(), before);
  close(open);

  // Every status explains itself in its own words; so does the library.
  std::set<std::string> messages;
  for (int status = PALISADE_OK; status <= PALISADE_CLOSED; ++status)
    messages.insert(palisade_status_message(palisade_status(status)));
  EXPECT_EQ(messages.size(), 5u);
  unsigned major, minor, patch;
  char end;
  EXPECT_EQ(sscanf(palisade_version(), "%u.%u.%u%c", &major, &minor, &patch, &end), 3) << palisade_version();
}

// Intervals out of range are brought in, as the spacing of the keep-alives
// the helper read shows: below 10 ms to 10 ms, above 2 s to 2 s.
TEST(Open, KeepAliveIntervalsAreHeldBetweenTenMillisecondsAndTwoSeconds) {
  struct Case {
    double interval, least, most;
    int keepAlives;
  };
  const Case cases[] = {{0.001, 0.009, 0.05, 50}, {2.999, 1.9, 2.3, 2}};
  LoggingHelper helpers[] = {LoggingHelper(true), LoggingHelper(true)};
  palisade_client* clients[2];
  for (int i = 0; i < 2; ++i) {
    palisade_options options = optionsFor(helpers[i].path.c_str(), cases[i].interval);
    ASSERT_EQ(palisade_open(&options, &clients[i]), PALISADE_OK);
    ASSERT_EQ(palisade_engage(clients[i]), PALISADE_OK);
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(eventually([&] { return helpers[i].count("keepAlive") >= cases[i].keepAlives + 1; }));
    EXPECT_EQ(palisade_close(clients[i], 5), PALISADE_OK);
    std::vector<double> read;
    for (const std::string& line : helpers[i].lines())
      if (line.ends_with(" keepAlive"))
        read.push_back(std::stod(line));
    double spacing = (read.back() - read.front()) / double(read.size() - 1);
    EXPECT_GE(spacing, cases[i].least) << cases[i].interval;
    EXPECT_LE(spacing, cases[i].most) << cases[i].interval;
  }
}

// A helper that dies at once, with the opening thread held up from the
// moment its lock is released: the exit's callback finds the client already
// in the caller's variable, and a call from it is answered for that client.
TEST(Open, ACallbackForAHelperThatDiedAtOnceFindsTheClientSet) {
  static Reported reported;
  palisade_options options = reportingTo(reported, optionsFor("/bin/true"));
  options.max_restarts = -1;
  palisade_client_internal::afterThreadStarts = [] { eventually([] { return reported.exits == 1; }); };
  ASSERT_EQ(palisade_open(&options, &reported.client), PALISADE_OK);
  palisade_client_internal::afterThreadStarts = nullptr;
  EXPECT_EQ(reported.engageInExit, PALISADE_HELPER_GONE) << "not INVALID_ARGUMENT, as for NULL";
  EXPECT_EQ(palisade_close(reported.client, 5), PALISADE_OK);
}

TEST(Open, TheHelperGetsItsInputTheInheritedDescriptorsAndNothingElse) {
  // An application that ignores SIGHUP: the helper must not inherit that.
  auto previous = signal(SIGHUP, SIG_IGN);
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

  // Between the loader's opens and the C library's (locales), exactly these.
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
  // Nor a signal we ignore: the mask of ignored signals, in hex.
  std::ifstream status(helper + "/status");
  std::string line;
  while (std::getline(status, line) && line.rfind("SigIgn:", 0) != 0) {
  }
  EXPECT_EQ(std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGHUP - 1)), 0u) << line;
  signal(SIGHUP, previous);

  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  EXPECT_TRUE(ended(pid));
  for (int fd : {below, above, shared[0], shared[1], 20, 21})
    close(fd);
}

// The order of the places and the bundle's own are the search test's; here,
// what a client with no path never takes.
TEST(Open, WithNoPathTakesNoHelperFromPathTheWorkingFolderOrANonExecutableFile) {
  namespace fs = std::filesystem;
  fs::path prefix = fs::temp_directory_path() / ("palisade-prefix-" + std::to_string(getpid()));
  fs::path installed = prefix / "bin" / "palisade", elsewhere = prefix / "elsewhere";
  fs::create_directories(prefix / "bin");
  fs::create_directories(elsewhere);
  std::string savedPrefix = std::exchange(palisade_client_internal::installPrefix, prefix.string() + "/");
  fs::copy_file(kCat, elsewhere / "palisade");
  std::ofstream(installed) << "#!/bin/sh\n";
  std::string savedPath = getenv("PATH"), savedFolder = fs::current_path();
  setenv("PATH", elsewhere.c_str(), 1);
  fs::current_path(elsewhere);
  palisade_options options = optionsFor(nullptr);
  palisade_client* client = nullptr;
  errno = 0;
  EXPECT_EQ(palisade_open(&options, &client), PALISADE_SPAWN_FAILED);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(client, nullptr);

  // A helper there is taken.
  fs::remove(installed);
  fs::copy_file(kCat, installed);
  ASSERT_EQ(palisade_open(&options, &client), PALISADE_OK);
  EXPECT_EQ(linkOf("/proc/" + std::to_string(palisade_helper_pid(client)) + "/exe"), installed.string());
  EXPECT_EQ(palisade_close(client, 5), PALISADE_OK);
  fs::current_path(savedFolder);
  setenv("PATH", savedPath.c_str(), 1);
  fs::remove_all(prefix);
  palisade_client_internal::installPrefix = savedPrefix;
}

}  // namespace
