// What the client's unit tests share: /bin/cat and shell scripts stand in
// for the helper, and /proc shows what the client left behind.
#pragma once

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

inline double processCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

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

}  // namespace palisade_client_test
