// The control lines a test writes to set the simulated window server's
// scene (docs/sim.md lists them): parsed whole, then applied under the
// server's lock, or refused without a change.
#include <ctype.h>
#include <errno.h>
#include <locale.h>
#include <stdlib.h>
#if __has_include(<xlocale.h>)
#include <xlocale.h>  // strtod_l and newlocale on Apple platforms
#endif

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>

#include "sim/server.h"
#include "sim/trace.h"
#include "sim/window_server.h"

namespace {

std::string_view nextToken(std::string_view& rest) {
  size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  size_t end = std::min(rest.find(' '), rest.size());
  std::string_view token = rest.substr(0, end);
  rest.remove_prefix(end);
  return token;
}

template <class T>
bool parseNumber(std::string_view text, T& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// Not from_chars: Apple's C++ library has it for integers only before
// macOS 26. strtod_l in the C locale reads a point as the decimal point
// whatever the process's locale; leading blanks are not part of a number.
bool parseNumber(std::string_view text, double& value) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
  if (text.empty() || isspace(static_cast<unsigned char>(text.front())))
    return false;
  std::string terminated(text);
  char* end;
  errno = 0;
  double parsed = strtod_l(terminated.c_str(), &end, cLocale);
  if (errno == ERANGE || end != terminated.c_str() + terminated.size())
    return false;
  value = parsed;
  return true;
}

bool parsePID(std::string_view text, pid_t& pid) { return parseNumber(text, pid) && pid >= 0; }

// "-" is absent, a number is present, anything else is of the wrong kind.
template <class T>
void parseField(std::string_view text, WindowField<T>& field) {
  if (text == "-")
    field.entry = Entry::absent;
  else
    field.entry = parseNumber(text, field.value) ? Entry::present : Entry::wrongKind;
}

// pid,number,layer,alpha,width,height
bool parseRecord(std::string_view text, WindowRecord& record) {
  std::string_view fields[6];
  for (int i = 0; i < 6; ++i) {
    size_t comma = text.find(',');
    if ((comma == std::string_view::npos) != (i == 5))
      return false;
    fields[i] = text.substr(0, comma);
    text.remove_prefix(i == 5 ? text.size() : comma + 1);
  }
  parseField(fields[0], record.ownerPID);
  parseField(fields[1], record.number);
  parseField(fields[2], record.layer);
  parseField(fields[3], record.alpha);
  WindowField<double> width, height;
  parseField(fields[4], width);
  parseField(fields[5], height);
  if (width.entry == Entry::absent && height.entry == Entry::absent)
    record.bounds.entry = Entry::absent;
  else if (width.entry == Entry::present && height.entry == Entry::present)
    record.bounds = {Entry::present, {width.value, height.value}};
  else
    record.bounds.entry = Entry::wrongKind;  // a rectangle that does not convert
  return true;
}

bool parseWindows(std::string_view rest, std::optional<std::vector<WindowRecord>>& windows) {
  std::string_view token = nextToken(rest);
  if (token == "null") {
    windows.reset();
    return nextToken(rest).empty();
  }
  windows.emplace();
  for (; !token.empty(); token = nextToken(rest)) {
    if (!parseRecord(token, windows->emplace_back()))
      return false;
  }
  return true;
}

bool apply(Server& s, std::string_view line) {
  std::string_view rest = line;
  std::string_view verb = nextToken(rest);
  pid_t pid;
  if (verb == "live") {
    std::set<pid_t> added;
    for (std::string_view t = nextToken(rest); !t.empty(); t = nextToken(rest)) {
      if (!parsePID(t, pid) || pid == 0)
        return false;
      added.insert(pid);
    }
    s.live.insert(added.begin(), added.end());
    return !added.empty();
  }
  if (verb == "gone" || verb == "front") {
    // front 0 puts no process in front; no process is gone as 0.
    if (!parsePID(nextToken(rest), pid) || !nextToken(rest).empty() || (verb == "gone" && pid == 0))
      return false;
    if (verb == "front")
      s.front = pid;
    else if (pid != getpid())  // the helper itself never goes
      s.live.erase(pid);
    return true;
  }
  if (verb == "windows") {
    std::optional<std::vector<WindowRecord>> windows;
    if (!parseWindows(rest, windows))
      return false;
    s.windows = std::move(windows);
    return true;
  }
  if (verb == "absent") {
    std::string_view name = nextToken(rest);
    for (int i = 0; i < kEntryPointCount; ++i) {
      if (name == kEntryNames[i] && nextToken(rest).empty()) {
        s.absent[i] = true;
        return true;
      }
    }
    return false;
  }
  if (verb == "uiMode") {
    uint32_t mode;
    if (!parsePID(nextToken(rest), pid) || pid == 0 || !parseNumber(nextToken(rest), mode) ||
        !nextToken(rest).empty())
      return false;
    return setUIMode(s.presentation, pid, mode);
  }
  if (verb == "policy") {
    // The helper's own policy is its own to set.
    bool other = parsePID(nextToken(rest), pid) && pid != 0 && pid != getpid();
    std::string_view policy = nextToken(rest);
    if (!other || (policy != "regular" && policy != "accessory") || !nextToken(rest).empty())
      return false;
    setAccessory(s.presentation, pid, policy == "accessory");
    return true;
  }
  if (verb == "setFrontStatus") {
    int32_t status;
    if (!parseNumber(nextToken(rest), status) || !nextToken(rest).empty())
      return false;
    s.setFrontStatus = status;
    return true;
  }
  return false;
}

}  // namespace

bool applyControl(std::string_view line) {
  Server& s = server();
  std::lock_guard lock(s.mutex);
  if (!apply(s, line))
    return false;
  trace("ctl %.*s", int(line.size()), line.data());
  showFront(s.presentation, s.front);
  return true;
}
