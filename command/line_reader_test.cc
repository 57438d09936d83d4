#include "command/line_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Commands = std::vector<std::optional<Command>>;

// Feeds `input` in pieces of `piece` bytes and returns one entry per line cut.
Commands feed(LineReader& reader, std::string_view input, size_t piece = 256) {
  Commands lines;
  for (size_t at = 0; at < input.size(); at += piece) {
    std::string_view chunk = input.substr(at, piece);
    appendInput(reader, chunk.data(), chunk.size());
    std::optional<Command> command;
    while (nextLine(reader, command))
      lines.push_back(command);
  }
  return lines;
}

Commands feed(std::string_view input, size_t piece = 256) {
  LineReader reader;
  return feed(reader, input, piece);
}

TEST(LineReader, ExactWordsOnlyNameCommands) {
  EXPECT_EQ(parseCommand("engage"), Command::engage);
  EXPECT_EQ(parseCommand("keepAlive"), Command::keepAlive);
  EXPECT_EQ(parseCommand("yield"), Command::yield);
  EXPECT_EQ(parseCommand("release"), Command::release);
  for (std::string_view miss : {"Engage", "ENGAGE", "keepalive", "engage now", "eng", "keep Alive",
                                "", "releasex", "xrelease", "yield\x0b", "\x0cyield"})
    EXPECT_EQ(parseCommand(miss), std::nullopt) << miss;
}

TEST(LineReader, TrimsTabsAndSpaceSeparatorsOnly) {
  for (std::string_view space : {" ", "\t", "\xc2\xa0", "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x8a",
                                 "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"}) {
    std::string line = std::string(space) + "keepAlive" + std::string(space) + std::string(space);
    EXPECT_EQ(parseCommand(line), Command::keepAlive) << line;
  }
  // CR, vertical tab, form feed, NEL, line and paragraph separators, NUL,
  // BOM, zero width space, and a space in ill-formed (overlong) UTF-8.
  for (std::string_view other : std::initializer_list<std::string_view>{
           "\r", "\x0b", "\x0c", "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9", std::string_view("\0", 1),
           "\xef\xbb\xbf", "\xe2\x80\x8b", "\xc0\xa0", "\xe0\x80\xa0"}) {
    EXPECT_EQ(parseCommand(std::string(other) + "yield"), std::nullopt);
    EXPECT_EQ(parseCommand("yield" + std::string(other)), std::nullopt);
  }
}

// Cutting lines across arbitrary reads, and ill-formed UTF-8 in general, are
// the fuzzer's to check.
TEST(LineReader, LinesUpToTheCapAreReadAndAFloodIsDroppedToItsLf) {
  std::string atCap = std::string(kMaxLineBytes - 7, ' ') + "release" + "\n";
  EXPECT_EQ(feed(atCap, 256), Commands{Command::release});
  std::string overCap = " " + atCap;
  EXPECT_EQ(feed(overCap, 256), Commands{std::nullopt});
  EXPECT_EQ(feed(overCap, overCap.size()), Commands{std::nullopt});

  LineReader reader;
  std::string noise(256, 'x');
  for (int i = 0; i < 4096; ++i) {  // 1 MiB
    EXPECT_EQ(feed(reader, noise), Commands{});
    ASSERT_LE(reader.buffer.size(), kMaxLineBytes + noise.size());
  }
  // The flood's own LF ends it; the next line is read as usual.
  EXPECT_EQ(feed(reader, "xx engage\nengage\n"), Commands{Command::engage});
  EXPECT_EQ(feed(reader, "yield\n"), Commands{Command::yield});
}

}  // namespace
