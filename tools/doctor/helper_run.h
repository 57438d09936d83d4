// The helper under examination: found, started on a pipe with its output
// kept aside, sent words, and waited for.
#pragma once

#include <sys/types.h>

#include <string>

struct HelperRun {
  pid_t pid = 0;
  int input = -1;   // our end of the helper's standard input
  int output = -1;  // an unlinked file that takes its standard output and error
};

/// The helper the client library starts when given no path, found by
/// starting it once; "" with `why` set when none is found.
std::string searchedHelper(std::string& why);

/// Starts `path` with its input on a pipe and its output in a file. False,
/// with `why` set, when it could not be started.
bool startHelper(const char* path, HelperRun& run, std::string& why);

/// Writes WORD and LF to the helper's input. False once the helper is gone.
bool sendWord(HelperRun& run, const char* word);

/// Closes the helper's input, which tells it to release and exit.
void closeInput(HelperRun& run);

/// Reaps the helper if it has exited; true then, with its wait status.
bool reapHelper(HelperRun& run, int& status);

/// Kills and reaps a helper that would not exit.
void killHelper(HelperRun& run);

/// Up to `limit` bytes of what the helper wrote, and the total it wrote.
std::string helperOutput(const HelperRun& run, size_t limit, size_t& total);
