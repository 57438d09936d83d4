// Cuts the command channel's byte stream into LF-terminated lines and names
// the command each line carries. No I/O, so it can be tested and fuzzed alone.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

enum class Command { engage, keepAlive, yield, release };

/// Longest line kept. A command line is at most a 9-byte word with some
/// whitespace around it; a longer line is dropped through its LF, so memory
/// stays bounded whatever the parent writes.
inline constexpr size_t kMaxLineBytes = 4096;

struct LineReader {
  std::string buffer;       // bytes of lines not yet cut
  bool discarding = false;  // dropping an over-long line up to its LF
};

/// Appends bytes received from the channel.
void appendInput(LineReader& reader, const char* bytes, size_t count);

/// Cuts the first complete line off the buffer. Returns false when no
/// complete line is buffered; otherwise true, with `command` set to what the
/// line names (nullopt for anything else, an over-long line included).
bool nextLine(LineReader& reader, std::optional<Command>& command);

/// The word that names `command`, as the parent writes it.
const char* commandWord(Command command);

/// The command a line names: its UTF-8 text, ill-formed bytes replaced,
/// trimmed of tabs and Unicode space separators at both ends, equal to one of
/// the four words, case-sensitive.
std::optional<Command> parseCommand(std::string_view line);
