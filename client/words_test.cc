// The word paths the client writes after a restart, at close and when its
// queue overflows.
#include <gtest/gtest.h>

#include <algorithm>

#include "words.h"

using namespace palisade_client_words;

namespace {

// Compared with every sequence of up to two words: the path used after a
// restart, at close and when the queue overflows must be the shortest.
TEST(Words, ShortestPathReachesEveryStateInTheFewestWords) {
  const State states[] = {State::idle, State::holding, State::yielded};
  const Word words[] = {Word::engage, Word::yield, Word::release};
  for (State from : states)
    for (State to : states) {
      int fewest = from == to ? 0 : 3;
      for (Word a : words)
        for (Word b : words)
          fewest = std::min(fewest, after(from, a) == to ? 1 : after(after(from, a), b) == to ? 2 : 3);
      Word path[2];
      int n = shortestPath(from, to, path);
      State reached = from;
      for (int i = 0; i < n; ++i)
        reached = after(reached, path[i]);
      EXPECT_TRUE(reached == to && n == fewest) << int(from) << " to " << int(to) << ": " << n;
    }
}

}  // namespace
