// Start-up of the simulated helper: descriptor 4 takes the trace, descriptor
// 3 brings control lines that change the simulated window server. Both are
// optional; the helper never writes anywhere else. The trace also shows each
// command word the helper reads, before the command runs.
#include <dispatch/dispatch.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "sim/trace.h"
#include "sim/window_server.h"

namespace {

constexpr int kControlFd = 3;
constexpr int kTraceFd = 4;
constexpr size_t kMaxControlLine = 1 << 20;

dispatch_queue_t controlQueue;
dispatch_source_t controlSource;
// Never destroyed: exit() may come while the control queue still reads.
std::string& controlBuffer = *new std::string;
bool controlDiscarding = false;  // dropping an over-long line up to its LF

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

void takeControlBytes(const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != '\n') {
      if (!controlDiscarding && controlBuffer.size() < kMaxControlLine)
        controlBuffer.push_back(bytes[i]);
      else
        controlDiscarding = true, controlBuffer.clear();
      continue;
    }
    if (!controlDiscarding)
      applyControl(controlBuffer);
    controlBuffer.clear();
    controlDiscarding = false;
  }
}

enum class ControlRead { lines, wait, end };

// One read of descriptor 3 and the lines it completes.
ControlRead readControlOnce() {
  char bytes[4096];
  ssize_t count;
  do {
    count = read(kControlFd, bytes, sizeof bytes);
  } while (count < 0 && errno == EINTR);
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
    return ControlRead::wait;
  if (count < 1)
    return ControlRead::end;
  takeControlBytes(bytes, size_t(count));
  return ControlRead::lines;
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  int ready;
  while ((ready = poll(&p, 1, 0)) < 0 && errno == EINTR) {
  }
  return ready > 0;
}

// Like the command channel: after the writer hangs up, read on until the end.
void onControlReadable(void*) {
  bool hungUp = dispatch_source_get_data(controlSource) == 0;
  ControlRead result;
  while ((result = readControlOnce()) == ControlRead::lines && hungUp) {
  }
  if (result == ControlRead::end)
    dispatch_source_cancel(controlSource);
}

}  // namespace

void startApplication() {
  // Checked before libdispatch opens descriptors of its own, which could
  // otherwise take numbers 3 and 4.
  bool control = isOpen(kControlFd), traced = isOpen(kTraceFd);
  signal(SIGPIPE, SIG_IGN);  // a trace reader that goes away must not kill us
  if (traced)
    traceTo(kTraceFd);
  trace("start %d", getpid());
  if (!control)
    return;
  // The scene a test wrote before starting us is set before the first
  // command is read, not whenever the control queue first gets to run.
  ControlRead result = ControlRead::lines;
  while (result == ControlRead::lines && readable(kControlFd))
    result = readControlOnce();
  if (result == ControlRead::end) {
    close(kControlFd);
    return;
  }
  controlQueue = dispatch_queue_create("com.fernhollow.palisade.sim.control", DISPATCH_QUEUE_SERIAL);
  controlSource = dispatch_source_create(DISPATCH_SOURCE_TYPE_READ, kControlFd, 0, controlQueue);
  dispatch_source_set_event_handler_f(controlSource, onControlReadable);
  dispatch_source_set_cancel_handler_f(controlSource, [](void*) { close(kControlFd); });
  dispatch_resume(controlSource);
}

void commandRead(const char* word) { trace("read %s", word); }
