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

// Strict UTF-8: a code point for each well-formed sequence, nullopt for the
// whole line as soon as one sequence is ill-formed.
std::optional<std::u32string> decodeStrict(std::string_view line) {
  std::u32string text;
  size_t i = 0;
  while (i < line.size()) {
    unsigned char b = line[i];
    size_t length;
    char32_t cp;
    if ((b & 0x80) == 0)
      length = 1, cp = b;
    else if ((b & 0xE0) == 0xC0)
      length = 2, cp = b & 0x1F;
    else if ((b & 0xF0) == 0xE0)
      length = 3, cp = b & 0x0F;
    else if ((b & 0xF8) == 0xF0)
      length = 4, cp = b & 0x07;
    else
      return std::nullopt;
    if (line.size() - i < length)
      return std::nullopt;
    for (size_t k = 1; k < length; ++k) {
      unsigned char c = line[i + k];
      if ((c & 0xC0) != 0x80)
        return std::nullopt;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[length] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
      return std::nullopt;
    text.push_back(cp);
    i += length;
  }
  return text;
}

bool isSpace(char32_t c) {
  static constexpr char32_t kSpaces[] = {0x0009, 0x0020, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002,
                                         0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009,
                                         0x200A, 0x202F, 0x205F, 0x3000};
  for (char32_t s : kSpaces) {
    if (c == s)
      return true;
  }
  return false;
}

std::optional<Command> referenceCommand(std::string_view line) {
  if (line.size() > kMaxLineBytes)
    return std::nullopt;
  std::optional<std::u32string> text = decodeStrict(line);
  if (!text)
    return std::nullopt;
  std::u32string& t = *text;
  while (!t.empty() && isSpace(t.back()))
    t.pop_back();
  size_t first = 0;
  while (first < t.size() && isSpace(t[first]))
    ++first;
  t.erase(0, first);
  if (t == U"engage") return Command::engage;
  if (t == U"keepAlive") return Command::keepAlive;
  if (t == U"yield") return Command::yield;
  if (t == U"release") return Command::release;
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
