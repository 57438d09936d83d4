// What the client's unit tests share: /bin/cat and shell scripts stand in
// for the helper, and /proc shows what the client left behind.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
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
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "palisade/client.h"
#include "state.h"

// libdispatch's main-queue drain, as a run loop calls it.
extern "C" int _dispatch_get_main_queue_handle_4CF(void);
extern "C" void _dispatch_main_queue_callback_4CF(void* message);

namespace palisade_client_test {

// Waits up to 10 s for `done`; never judges how long it took. True as soon
// as one look finds it done: a condition that holds for a moment (a starting
// helper's descriptors) is not asked twice.
inline bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i, usleep(5000))
    if (done())
      return true;
  return false;
}

// The numbered entries of a /proc folder: open descriptors, or threads.
inline std::set<int> entries(const std::string& folder) {
  std::set<int> numbers;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    numbers.insert(std::stoi(entry.path().filename()));
  return numbers;
}

// The process's threads, once any a runtime starts with the first thread
// (ThreadSanitizer's background thread) is there.
inline std::set<int> processThreads() {
  static bool started = (std::thread([] {}).join(), true);
  (void)started;
  return entries("/proc/self/task");
}

// O_RDONLY or O_WRONLY, from a /proc fdinfo file.
inline int accessMode(const std::string& fdinfo) {
  std::ifstream info(fdinfo);
  for (std::string line; std::getline(info, line);)
    if (line.rfind("flags:", 0) == 0)
      return std::stoi(line.substr(6), nullptr, 8) & O_ACCMODE;
  return -1;
}

inline std::string linkOf(const std::string& path) {
  std::error_code error;
  return std::filesystem::read_symlink(path, error);
}

// Looks without reaping: a zombie the client failed to reap must stay seen.
inline bool noChildLeft() {
  siginfo_t info;
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

inline bool ended(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

constexpr const char* kCat = "/bin/cat";

// The test's main thread drains no dispatch queue: the client's thread
// keeps the hold alive.
inline palisade_options optionsFor(const char* path = kCat, double interval = 0, const int* fds = nullptr, int count = 0,
                            palisade_keep_alive_source source = PALISADE_KEEP_ALIVE_CLIENT_THREAD,
                            const int* targets = nullptr) {
  return {path, interval, 0, fds, count, nullptr, nullptr, source, targets};
}

// A shell script as the helper, at a fresh temporary path.
inline std::string script(const std::string& body) {
  char path[] = "/tmp/palisade-client-XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path, 0700);
  return path;
}

// A helper that writes every line it reads to a fresh temporary log, with
// `stamped` after the time it read it (/proc/uptime: 10 ms steps, read
// without a fork). Both files go with it.
struct LoggingHelper {
  explicit LoggingHelper(bool stamped = false) {
    char name[] = "/tmp/palisade-client-XXXXXX";
    close(mkstemp(name));
    log = name;
    path = script(stamped ? "while IFS= read -r w; do read -r up idle </proc/uptime; echo \"$up $w\"; done >>" + log
                          : "exec cat >>" + log);
  }
  ~LoggingHelper() {
    unlink(log.c_str());
    unlink(path.c_str());
  }
  // The whole lines logged so far, blank ones left out.
  std::vector<std::string> lines() const {
    std::ifstream in(log);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line) && !in.eof();)
      if (!line.empty())
        all.push_back(line);
    return all;
  }
  // How many lines say `word` (stamped: end with it).
  int count(const std::string& word) const {
    int n = 0;
    for (const std::string& line : lines())
      n += line == word || line.ends_with(" " + word);
    return n;
  }
  std::string log, path;
};

// Stops a helper, and once it no longer reads fills its input with blank
// lines, through a second write end of the same pipe: no keep-alive fits.
inline void stopWithInputFull(pid_t pid) {
  std::string proc = "/proc/" + std::to_string(pid);
  kill(pid, SIGSTOP);
  eventually([&] {
    std::ifstream stat(proc + "/stat");
    std::string number, name, state;
    return stat >> number >> name >> state && state == "T";
  });
  int input = open((proc + "/fd/0").c_str(), O_WRONLY | O_NONBLOCK);
  char blanks[4096];
  memset(blanks, '\n', sizeof blanks);
  for (size_t size = sizeof blanks; size > 0; size /= 2)
    while (write(input, blanks, size) > 0) {
    }
  close(input);
}

// What the client's thread reported, in order, and what calls made from
// inside an event answered; with `engageOnLost` a lost hold is engaged
// again from its callback.
struct Reported {
  palisade_client* client = nullptr;
  bool engageOnLost = false;
  std::atomic<int> exits{0}, restarts{0}, lost{0};
  std::atomic<long> exitDetail{0}, lostDetail{0};
  std::atomic<double> lostAt{0};  // when the lost hold's callback began
  std::atomic<int> engageInExit{-1}, engageInLost{-1}, stateInLost{-1};
  std::mutex mutex;
  std::string order;  // a letter an event: x exited, r restarted, l lost

  std::string events() {
    std::lock_guard<std::mutex> lock(mutex);
    return order;
  }
};

inline void record(void* context, palisade_event event, long detail) {
  auto* reported = static_cast<Reported*>(context);
  if (event == PALISADE_EVENT_HELPER_EXITED) {
    reported->exitDetail = detail;
    reported->engageInExit = palisade_engage(reported->client);
  } else if (event == PALISADE_EVENT_HOLD_LOST) {
    reported->lostAt = palisade_client_internal::now();
    reported->lostDetail = detail;
    reported->stateInLost = palisade_client_state(reported->client);
    if (reported->engageOnLost)
      reported->engageInLost = palisade_engage(reported->client);
  }
  {
    std::lock_guard<std::mutex> lock(reported->mutex);
    reported->order += event == PALISADE_EVENT_HELPER_EXITED ? 'x' : event == PALISADE_EVENT_HOLD_LOST ? 'l' : 'r';
  }
  ++(event == PALISADE_EVENT_HELPER_EXITED ? reported->exits
     : event == PALISADE_EVENT_HOLD_LOST   ? reported->lost
                                           : reported->restarts);
}

inline palisade_options reportingTo(Reported& reported, palisade_options options) {
  options.on_event = record;
  options.context = &reported;
  return options;
}

// The threads started since `before` that still run. Threads may also end
// meanwhile (a runtime's idle workers): those do not count.
inline std::set<int> threadsAddedSince(const std::set<int>& before) {
  std::set<int> added;
  for (int task : processThreads())
    if (!before.count(task))
      added.insert(task);
  return added;
}

// The client's thread: the one task its open added.
inline int addedThread(const std::set<int>& before) {
  std::set<int> added = threadsAddedSince(before);
  return added.size() == 1 ? *added.begin() : -1;
}

// Its wake-ups so far: voluntary and involuntary context switches.
inline long wakeUps(int thread) {
  std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
  long sum = 0;
  for (std::string line; std::getline(status, line);)
    if (line.find("ctxt_switches:") != std::string::npos)
      sum += std::stol(line.substr(line.find(':') + 1));
  return sum;
}

inline double threadCpuSeconds(palisade_client* client) {
  clockid_t clock;
  timespec t{};
  if (pthread_getcpuclockid(client->thread.native_handle(), &clock) == 0)
    clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Runs the main queue for `seconds`, as an application's run loop would.
// Main thread only. Here its handle is an eventfd libdispatch never resets.
inline void drainMainQueueFor(double seconds) {
  double end = palisade_client_internal::now() + seconds;
  for (double left; (left = end - palisade_client_internal::now()) > 0;) {
    pollfd ready{_dispatch_get_main_queue_handle_4CF(), POLLIN, 0};
    if (poll(&ready, 1, int(left * 1000) + 1) == 1) {
      uint64_t count;
      (void)!read(ready.fd, &count, sizeof count);
      _dispatch_main_queue_callback_4CF(nullptr);
    }
  }
}

}  // namespace palisade_client_test
