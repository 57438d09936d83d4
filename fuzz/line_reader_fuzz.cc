// Feeds arbitrary bytes, split into arbitrary reads, through the line reader
// and checks it against a plain reference: the buffer stays bounded, the
// commands found are those of the whole byte string cut on LF, and the split
// does not change them.
//
// Input layout:
//   byte 0            n = 1 + byte % 8, the number of read sizes that follow
//   next 2n bytes     read sizes, each 1 + (little-endian uint16 % 512), used
//                     in turn and cycled until the stream is consumed
//   the rest          the stream written to the channel

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command/line_reader.h"

namespace {

void check(bool ok) {
  if (!ok)
    __builtin_trap();
}

// Appends each read, then cuts every complete line, as the command channel
// does; returns the commands found in order.
std::vector<Command> readAll(std::string_view stream, const std::vector<size_t>& reads) {
  LineReader reader;
  std::vector<Command> found;
  size_t at = 0;
  for (size_t i = 0; at < stream.size(); ++i) {
    size_t count = std::min(reads[i % reads.size()], stream.size() - at);
    appendInput(reader, stream.data() + at, count);
    at += count;
    check(reader.buffer.size() <= kMaxLineBytes + count);
    std::optional<Command> command;
    while (nextLine(reader, command)) {
      if (command)
        found.push_back(*command);
    }
    check(reader.buffer.size() <= kMaxLineBytes + count);
  }
  return found;
}

// The words, after stripping whole encodings of the allowed spaces from both
// ends. Ill-formed UTF-8 needs no decoder here: every space encoding is a
// complete sequence, so a line reduced this way to a word was well-formed.
std::optional<Command> referenceCommand(std::string_view line) {
  static constexpr std::string_view kSpaces[] = {
      "\t", " ", "\xc2\xa0", "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82",
      "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85", "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88",
      "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};
  if (line.size() > kMaxLineBytes)
    return std::nullopt;
  for (bool stripped = true; stripped;) {
    stripped = false;
    for (std::string_view space : kSpaces) {
      if (line.starts_with(space))
        line.remove_prefix(space.size()), stripped = true;
      if (line.ends_with(space))
        line.remove_suffix(space.size()), stripped = true;
    }
  }
  const std::pair<std::string_view, Command> kWords[] = {
      {"engage", Command::engage}, {"keepAlive", Command::keepAlive}, {"yield", Command::yield},
      {"release", Command::release}};
  for (auto [word, command] : kWords)
    if (line == word)
      return command;
  return std::nullopt;
}

std::vector<Command> reference(std::string_view stream) {
  std::vector<Command> found;
  size_t start = 0;
  for (size_t lf; (lf = stream.find('\n', start)) != std::string_view::npos; start = lf + 1) {
    if (std::optional<Command> c = referenceCommand(stream.substr(start, lf - start)))
      found.push_back(*c);
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  size_t n = 1 + data[0] % 8;
  if (size < 1 + 2 * n)
    return -1;  // not worth adding to the corpus
  std::vector<size_t> reads;
  for (size_t i = 0; i < n; ++i)
    reads.push_back(1 + (data[1 + 2 * i] | data[2 + 2 * i] << 8) % 512);
  std::string_view stream(reinterpret_cast<const char*>(data) + 1 + 2 * n, size - 1 - 2 * n);

  std::vector<Command> split = readAll(stream, reads);
  check(split == reference(stream));
  if (!stream.empty())
    check(split == readAll(stream, {stream.size()}));
  return 0;
}
