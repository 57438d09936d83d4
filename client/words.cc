#include "words.h"

namespace palisade_client_words {

const char* line(Word word) {
  switch (word) {
    case Word::engage:
      return "engage\n";
    case Word::yield:
      return "yield\n";
    case Word::release:
      return "release\n";
  }
  return "";
}

State after(State state, Word word) {
  if (word == Word::engage && state == State::idle)
    return State::holding;
  if (word == Word::yield && state == State::holding)
    return State::yielded;
  if (word == Word::release && state != State::idle)
    return State::idle;
  return state;
}

int shortestPath(State from, State to, Word out[2]) {
  int n = 0;
  if (from == to)
    return 0;
  // Leaving yielded for holding goes through idle: yield cannot be undone.
  if (to == State::idle || from == State::yielded)
    out[n++] = Word::release;
  if (to != State::idle && from != State::holding)
    out[n++] = Word::engage;
  if (to == State::yielded)
    out[n++] = Word::yield;
  return n;
}

}  // namespace palisade_client_words
