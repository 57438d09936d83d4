#include "tests/sim_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include "sim/trace.h"

extern "C" int _dispatch_get_main_queue_handle_4CF(void);
extern "C" void _dispatch_main_queue_callback_4CF(void* message);

TraceCapture::TraceCapture() {
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0)
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
  uint64_t count;
  (void)!read(_dispatch_get_main_queue_handle_4CF(), &count, sizeof count);
  _dispatch_main_queue_callback_4CF(nullptr);
}
