#include "measure.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

namespace {

// Adds one of our threads' context switches to `s`.
void addSwitches(pid_t tid, Sample& s) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/status";
  FILE* f = fopen(path.c_str(), "r");
  if (!f)
    die("a measured thread went away");
  char line[256];
  long count;
  while (fgets(line, sizeof line, f)) {
    if (sscanf(line, "voluntary_ctxt_switches: %ld", &count) == 1)
      s.voluntary += count;
    else if (sscanf(line, "nonvoluntary_ctxt_switches: %ld", &count) == 1)
      s.involuntary += count;
  }
  fclose(f);
}

long long ns(const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; }

// CPU time of one of our threads, in ns, from its thread CPU clock (the
// kernel's encoding for a tid): /proc's utime and stime count in 10 ms
// steps, coarser than what a keep-alive thread spends in seconds.
long long cpuNs(pid_t tid) {
  timespec t;
  if (clock_gettime(clockid_t((~unsigned(tid) << 3) | 6), &t) != 0)
    die("no CPU clock for a measured thread");
  return ns(t);
}

}  // namespace

void die(const char* what) {
  fprintf(stderr, "client_cost: %s\n", what);
  exit(1);
}

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);  // the trace's clock
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

std::set<pid_t> tasks() {
  std::set<pid_t> ids;
  DIR* dir = opendir("/proc/self/task");
  if (!dir)
    die("cannot list /proc/self/task");
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.')
      ids.insert(pid_t(atoi(entry->d_name)));
  closedir(dir);
  return ids;
}

std::vector<pid_t> tasksSince(const std::set<pid_t>& before) {
  std::vector<pid_t> fresh;
  for (pid_t tid : tasks())
    if (!before.count(tid))
      fresh.push_back(tid);
  return fresh;
}

Sample sample(const std::vector<pid_t>& tids) {
  Sample s;
  for (pid_t tid : tids) {
    addSwitches(tid, s);
    s.cpu += cpuNs(tid);
  }
  return s;
}

Sample processSample() {
  // getrusage counts threads that have ended too, which /proc/self/task
  // no longer lists: libdispatch's workers come and go.
  rusage usage;
  timespec cpu;
  if (getrusage(RUSAGE_SELF, &usage) != 0 || clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) != 0)
    die("no usage for the process");
  return {usage.ru_nvcsw, usage.ru_nivcsw, ns(cpu)};
}

palisade_client* openEngaged(const palisade_options& options, std::vector<pid_t>& threads) {
  std::set<pid_t> before = tasks();
  palisade_client* client;
  if (palisade_open(&options, &client) != PALISADE_OK)
    die("palisade_open failed");
  threads = tasksSince(before);
  if (threads.empty())
    die("palisade_open started no thread");
  if (palisade_engage(client) != PALISADE_OK)
    die("palisade_engage failed");
  usleep(300'000);  // past the spawn and the engage itself
  return client;
}

void print(const char* who, const Sample& a, const Sample& b) {
  printf("%s_voluntary %ld\n%s_involuntary %ld\n%s_cpu_ns %lld\n", who, b.voluntary - a.voluntary, who,
         b.involuntary - a.involuntary, who, b.cpu - a.cpu);
}

}  // namespace bench
