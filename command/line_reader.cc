#include "command/line_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point; ill-formed input (overlong forms, surrogates,
// values past U+10FFFF, truncated sequences) gives U+FFFD and consumes the
// longest prefix that could have begun a valid sequence.
char32_t decodeOne(const unsigned char*& p, const unsigned char* end) {
  unsigned char lead = *p++;
  if (lead < 0x80)
    return lead;
  int more;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2, cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3, cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return kReplacement;
  }
  for (int i = 0; i < more; ++i, lo = 0x80, hi = 0xBF) {
    if (p == end || *p < lo || *p > hi)
      return kReplacement;
    cp = (cp << 6) | (*p++ & 0x3F);
  }
  return cp;
}

bool isTrimmed(char32_t c) {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

// The four words, in Command's order. ASCII, so a decoded line is compared
// with them code point by byte.
constexpr std::string_view kWords[] = {"engage", "keepAlive", "yield", "release"};

}  // namespace

const char* commandWord(Command command) { return kWords[int(command)].data(); }

std::optional<Command> parseCommand(std::string_view line) {
  std::u32string text;
  text.reserve(line.size());
  auto p = reinterpret_cast<const unsigned char*>(line.data());
  auto end = p + line.size();
  while (p != end)
    text.push_back(decodeOne(p, end));

  size_t first = 0, last = text.size();
  while (first < last && isTrimmed(text[first]))
    ++first;
  while (last > first && isTrimmed(text[last - 1]))
    --last;
  std::u32string_view word(text.data() + first, last - first);
  for (size_t i = 0; i < std::size(kWords); ++i) {
    if (std::equal(word.begin(), word.end(), kWords[i].begin(), kWords[i].end()))
      return Command(i);
  }
  return std::nullopt;
}

void appendInput(LineReader& reader, const char* bytes, size_t count) {
  if (reader.discarding) {
    auto lf = static_cast<const char*>(memchr(bytes, '\n', count));
    if (!lf)
      return;
    reader.discarding = false;
    count -= lf + 1 - bytes;
    bytes = lf + 1;
  }
  reader.buffer.append(bytes, count);
}

bool nextLine(LineReader& reader, std::optional<Command>& command) {
  std::string& buffer = reader.buffer;
  size_t lf = buffer.find('\n');
  if (lf == std::string::npos) {
    if (buffer.size() > kMaxLineBytes) {
      // Too long to be a command whatever follows: drop it through its LF.
      buffer.clear();
      reader.discarding = true;
    }
    return false;
  }
  command = lf <= kMaxLineBytes ? parseCommand(std::string_view(buffer).substr(0, lf)) : std::nullopt;
  buffer.erase(0, lf + 1);
  return true;
}
