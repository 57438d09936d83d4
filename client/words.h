// The helper's three states and the words that move it, mirrored by the
// client so it knows what to write. Pure functions: any thread, no I/O.
#pragma once

namespace palisade_client_words {

enum class State { idle, holding, yielded };
enum class Word { engage, yield, release };

// The line written for a word, LF included; at most 10 bytes, so one write
// of it is atomic on a pipe.
const char* line(Word word);

// The helper's state after `word` in `state`: engage only from idle, yield
// only from holding, release from holding or yielded; anything else is
// ignored by the helper.
State after(State state, Word word);

// Writes into `out` the shortest word sequence taking the helper from `from`
// to `to` (at most 2 words) and returns its length.
int shortestPath(State from, State to, Word out[2]);

}  // namespace palisade_client_words
