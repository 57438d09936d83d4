// What the client library costs a parent, measured beside what a parent
// that does the same by hand would pay. bench/run.py runs it and reads the
// "key value..." lines it prints.
//
//   client_cost cost HELPER SECONDS
//       An engaged client for SECONDS with the default keep-alive interval,
//       its keep-alives sent by its own thread: context switches and CPU
//       time of the threads that palisade_open started. Reference: a bare
//       thread that sleeps to each keep-alive and writes it to a thread
//       blocked reading it.
//   client_cost latency SIM CYCLES
//       CYCLES engage/release cycles through a client on palisade-sim, from
//       the palisade_engage call to the trace's "setFront OWN 0 0x400 -> ",
//       alternating with the same cycle on a second sim whose standard input
//       this program writes "engage" to itself (the reference).
//   client_cost mainqueue HELPER SECONDS
//       What keep-alives from the main queue cost the application's main
//       thread (bench/main_queue_cost.h).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "main_queue_cost.h"
#include "measure.h"
#include "palisade/client.h"

extern char** environ;

namespace bench {
namespace {

constexpr double kKeepAliveInterval = 0.5;  // the client's default
constexpr int kTraceFd = 4;                 // where palisade-sim writes its trace
constexpr double kLineDeadline = 5.0;       // a trace line the helper owes us

int cost(const char* helper, double seconds) {
  // The reference's keep-alives go to a reader blocked on them, as the
  // client's wake the helper: a woken reader can preempt the writer.
  int sink[2];
  if (pipe2(sink, O_CLOEXEC) != 0)
    die("pipe");
  std::thread reader([&] {
    char bytes[64];
    while (read(sink[0], bytes, sizeof bytes) > 0) {
    }
  });
  std::atomic<pid_t> referenceTid{0};
  std::atomic<bool> stop{false};
  std::thread reference([&] {
    referenceTid = pid_t(syscall(SYS_gettid));
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!stop) {
      next.tv_nsec += long(kKeepAliveInterval * 1e9);
      next.tv_sec += next.tv_nsec / 1'000'000'000, next.tv_nsec %= 1'000'000'000;
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      if (write(sink[1], "keepAlive\n", 10) != 10)
        die("reference write");
    }
  });
  while (referenceTid == 0)
    std::this_thread::yield();

  palisade_options options = {};
  options.helper_path = helper;
  // The client's thread sends the keep-alives itself: what they cost it is
  // the measure here, and this main thread drains no main queue.
  options.keep_alive_source = PALISADE_KEEP_ALIVE_CLIENT_THREAD;
  std::vector<pid_t> clientTids;
  palisade_client* client = openEngaged(options, clientTids);

  std::vector<pid_t> ref = {referenceTid};
  Sample c0 = sample(clientTids), r0 = sample(ref);
  double t0 = now();
  usleep(useconds_t(seconds * 1e6));
  Sample c1 = sample(clientTids), r1 = sample(ref);
  double span = now() - t0;
  bool alive = palisade_helper_pid(client) > 0;
  bool held = palisade_client_state(client) == PALISADE_STATE_HOLDING;
  palisade_close(client, 2.0);
  stop = true;
  reference.join();
  close(sink[1]);
  reader.join();

  printf("threads %zu\nseconds %.3f\nhelper_alive %d\nheld %d\n", clientTids.size(), span, alive, held);
  print("client", c0, c1);
  print("reference", r0, r1);
  return 0;
}

// One helper's trace, read up to the line a cycle waits for.
struct Trace {
  int fd;
  std::string pending;

  // The next line whose event starts with `prefix`: its time stamp, and
  // what follows the prefix.
  std::pair<double, std::string> waitFor(const std::string& prefix) {
    double deadline = now() + kLineDeadline;
    for (;;) {
      for (size_t lf; (lf = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, lf);
        pending.erase(0, lf + 1);
        size_t space = line.find(' ');
        if (space != std::string::npos && line.compare(space + 1, prefix.size(), prefix) == 0)
          return {atof(line.c_str()), line.substr(space + 1 + prefix.size())};
      }
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, int((deadline - now()) * 1000) + 1) <= 0 || now() > deadline)
        die(("no trace line '" + prefix + "' in time").c_str());
      char bytes[65536];
      ssize_t n = read(fd, bytes, sizeof bytes);
      if (n <= 0)
        die("the trace ended");
      pending.append(bytes, size_t(n));
    }
  }

  std::string heldPrefix() { return "setFront " + waitFor("start ").second + " 0 0x400 -> "; }
};

// A pipe with both ends at 10 or above, close-on-exec: placing a helper's
// trace at 4 can then overwrite none of ours.
void highPipe(int ends[2]) {
  if (pipe(ends) != 0)
    die("pipe");
  for (int i = 0; i < 2; ++i) {
    int moved = fcntl(ends[i], F_DUPFD_CLOEXEC, 10);
    close(ends[i]);
    ends[i] = moved;
  }
}

// The reference parent: palisade-sim on a pipe this program writes to.
pid_t spawnSim(const char* sim, int input, int trace) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_adddup2(&actions, trace, kTraceFd);
  char* argv[] = {const_cast<char*>(sim), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, sim, &actions, nullptr, argv, environ) != 0)
    die("cannot start the reference sim");
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void sendWord(int fd, const char* word) {
  size_t n = strlen(word);
  if (write(fd, word, n) != ssize_t(n))
    die("writing to the reference sim");
}

int latency(const char* sim, int cycles) {
  int trace[2], direct[2], directTrace[2];
  highPipe(trace);
  highPipe(direct);
  highPipe(directTrace);
  if (dup2(trace[1], kTraceFd) != kTraceFd)
    die("dup2");
  close(trace[1]);
  static const int inherited[] = {kTraceFd};
  palisade_options options = {};
  options.helper_path = sim;
  options.inherit_fds = inherited;
  options.inherit_fd_count = 1;
  // Nothing drains this program's main queue; each hold is milliseconds long.
  options.keep_alive_source = PALISADE_KEEP_ALIVE_CLIENT_THREAD;
  palisade_client* client;
  if (palisade_open(&options, &client) != PALISADE_OK)
    die("palisade_open failed");
  pid_t reference = spawnSim(sim, direct[0], directTrace[1]);
  close(direct[0]);
  close(directTrace[1]);
  Trace viaClient{trace[0], {}}, viaPipe{directTrace[0], {}};
  std::string clientHeld = viaClient.heldPrefix(), directHeld = viaPipe.heldPrefix();

  // Gaps at random, so the engages fall anywhere against the threads' and
  // the machine's own timing.
  std::mt19937 rng(20240607);
  std::uniform_int_distribution<useconds_t> gap(10'000, 40'000);
  std::vector<double> clientMs, directMs;
  for (int i = 0; i < cycles; ++i) {
    usleep(gap(rng));
    double t = now();
    if (palisade_engage(client) != PALISADE_OK)
      die("palisade_engage failed");
    clientMs.push_back((viaClient.waitFor(clientHeld).first - t) * 1e3);
    palisade_release(client);
    viaClient.waitFor("uiMode 0 0");

    usleep(gap(rng));
    t = now();
    sendWord(direct[1], "engage\n");
    directMs.push_back((viaPipe.waitFor(directHeld).first - t) * 1e3);
    sendWord(direct[1], "release\n");
    viaPipe.waitFor("uiMode 0 0");
  }
  close(direct[1]);
  waitpid(reference, nullptr, 0);
  palisade_close(client, 2.0);

  for (auto [name, values] : {std::pair{"client_ms", &clientMs}, std::pair{"direct_ms", &directMs}}) {
    printf("%s", name);
    for (double v : *values)
      printf(" %.4f", v);
    printf("\n");
  }
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  signal(SIGPIPE, SIG_DFL);  // as a parent application runs
  if (argc == 4 && strcmp(argv[1], "cost") == 0)
    return cost(argv[2], atof(argv[3]));
  if (argc == 4 && strcmp(argv[1], "latency") == 0)
    return latency(argv[2], atoi(argv[3]));
  if (argc == 4 && strcmp(argv[1], "mainqueue") == 0)
    return mainQueueCost(argv[2], atof(argv[3]));
  fprintf(stderr, "usage: client_cost cost HELPER SECONDS | latency SIM CYCLES | mainqueue HELPER SECONDS\n");
  return 2;
}
