#include "tests/sim_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include "sim/trace.h"

#ifndef __APPLE__
extern "C" int _dispatch_get_main_queue_handle_4CF(void);
#endif
extern "C" void _dispatch_main_queue_callback_4CF(void* message);

// pipe and fcntl rather than pipe2, which macOS lacks.
TraceCapture::TraceCapture() {
  if (pipe(fds) != 0)
    return;
  for (int fd : fds) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  traceTo(fds[1]);
}

TraceCapture::~TraceCapture() {
  traceTo(-1);
  close(fds[0]);
  close(fds[1]);
}

std::vector<std::string> TraceCapture::take() {
  std::string text;
  char bytes[4096];
  ssize_t n;
  while ((n = read(fds[0], bytes, sizeof bytes)) > 0)
    text.append(bytes, size_t(n));
  std::vector<std::string> events;
  for (size_t start = 0, lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
    size_t space = text.find(' ', start);
    events.push_back(text.substr(space + 1, lf - space - 1));
  }
  return events;
}

void drainMainQueue() {
#ifndef __APPLE__
  // Here the handle is an eventfd that libdispatch never resets; on Apple
  // platforms it is a Mach port, not a descriptor.
  uint64_t count;
  (void)!read(_dispatch_get_main_queue_handle_4CF(), &count, sizeof count);
#endif
  _dispatch_main_queue_callback_4CF(nullptr);
}
