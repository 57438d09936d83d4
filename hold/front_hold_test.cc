#include "hold/front_hold.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(FrontHold, SharedIsOneInstanceUnderConcurrentFirstUse) {
  std::vector<FrontHold*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen)
    threads.emplace_back([&slot] { slot = &FrontHold::shared(); });
  for (auto& t : threads)
    t.join();
  for (FrontHold* hold : seen)
    EXPECT_EQ(hold, seen[0]);
  EXPECT_EQ(&FrontHold::shared(), seen[0]);
}

TEST(FrontHold, StartsIdle) {
  FrontHold hold;
  EXPECT_EQ(hold.ownPID, getpid());
  EXPECT_STREQ(dispatch_queue_get_label(hold.queue), "com.fernhollow.palisade.hold");
  syncOn(hold.queue, [&] {
    EXPECT_FALSE(hold.engaged);
    EXPECT_EQ(hold.timer, nullptr);
    EXPECT_EQ(hold.previousFront, 0);
    EXPECT_FALSE(hold.topWindowAtBegin);
    EXPECT_EQ(hold.lastKeepAlive, 0.0);
    EXPECT_FALSE(hold.reportedSilence);
    EXPECT_EQ(hold.onParentSilent, nullptr);
  });
  EXPECT_FALSE(isEngaged(hold));
}

TEST(FrontHold, QueueRunsOneItemAtATimeInOrder) {
  FrontHold hold;
  struct State {
    std::atomic<int> running{0};
    bool overlapped = false;
    std::vector<int> order;
  } state;
  struct Item {
    State* state;
    int index;
  };
  std::vector<Item> items;
  for (int i = 0; i < 200; ++i)
    items.push_back({&state, i});
  for (Item& item : items) {
    dispatch_async_f(hold.queue, &item, [](void* context) {
      auto* item = static_cast<Item*>(context);
      if (item->state->running.fetch_add(1) != 0)
        item->state->overlapped = true;
      usleep(50);
      item->state->order.push_back(item->index);
      item->state->running.fetch_sub(1);
    });
  }
  syncOn(hold.queue, [] {});
  EXPECT_FALSE(state.overlapped);
  ASSERT_EQ(state.order.size(), 200u);
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(state.order[size_t(i)], i);
}

}  // namespace
