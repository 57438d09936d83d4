#include "command/command_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>

#include "command/line_reader.h"
#include "hold/engage.h"
#include "hold/release.h"
#include "platform/platform.h"

namespace {

constexpr size_t kReadChunkSize = 256;

LineReader reader;

void run(Command command) {
  FrontHold& hold = FrontHold::shared();
  switch (command) {
    case Command::engage:
      performEngage();
      break;
    case Command::keepAlive:
      noteKeepAlive(hold);
      break;
    case Command::yield:
      performYield();
      break;
    case Command::release:
      performRelease();
      break;
  }
}

enum class ReadResult { lines, wait, end };

// One read and the lines it completes. Nothing to read yet, or a read that
// would block, waits for the next event: the main thread never blocks here.
// `announced`: a read event said there is something to read, which is
// trusted where poll cannot look (macOS's poll does not take devices).
ReadResult readOnce(bool announced) {
  pollfd input{0, POLLIN, 0};
  int ready;
  while ((ready = poll(&input, 1, 0)) < 0 && errno == EINTR) {
  }
  if (ready == 0)
    return ReadResult::wait;
  if ((input.revents & POLLNVAL) && fcntl(0, F_GETFD) != -1 && !announced)
    return ReadResult::wait;
  char area[kReadChunkSize] = {};
  ssize_t count;
  do {
    count = read(0, area, sizeof area);
  } while (count < 0 && errno == EINTR);
  if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
    return ReadResult::wait;
  if (count < 1)
    return ReadResult::end;
  appendInput(reader, area, size_t(count));
  std::optional<Command> command;
  while (nextLine(reader, command)) {
    if (!command)
      continue;
    commandRead(commandWord(*command));
    run(*command);
  }
  return ReadResult::lines;
}

}  // namespace

void handleInput(bool announced, bool hungUp) {
  ReadResult result = readOnce(announced);
  while (hungUp && result == ReadResult::lines)
    result = readOnce(announced);
  if (result != ReadResult::end)
    return;
  performRelease();
  exit(0);
}
