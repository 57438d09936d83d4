#include "hold/front_hold.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
  std::vector<int> order;  // unguarded: only ever touched on the queue
  for (int i = 0; i < 200; ++i) {
    dispatch_async_f(hold.queue, new std::pair{&order, i}, [](void* context) {
      auto* item = static_cast<std::pair<std::vector<int>*, int>*>(context);
      usleep(20);
      item->first->push_back(item->second);
      delete item;
    });
  }
  syncOn(hold.queue, [] {});
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(order[size_t(i)], i);
}

}  // namespace
