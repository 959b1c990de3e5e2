// The per-connection dispatch of bus calls: order within a key, keys side by side, the bound.

#include "server/host/call_dispatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <vector>

#include "shared/sync_event.h"

namespace tavra::host {
namespace {

using namespace std::chrono_literals;

TEST(HostCallDispatcher, OneKeyInOrderWhileAnotherKeyIsServed) {
  CallDispatcher dispatcher(2);
  Event gate{Event::Mode::ManualReset};
  Event blocked{Event::Mode::ManualReset};
  Event otherServed{Event::Mode::ManualReset};
  std::mutex lock;
  std::vector<int> order;
  const auto record = [&](int n) {
    std::lock_guard guard(lock);
    order.push_back(n);
  };

  ASSERT_TRUE(dispatcher.Post("flood", [&] {
    blocked.Set();
    (void)gate.Wait(20s);
    record(1);
  }));
  for (int n = 2; n <= 5; ++n) {
    ASSERT_TRUE(dispatcher.Post("flood", [&record, n] { record(n); }));
  }
  ASSERT_TRUE(blocked.Wait(10s));
  ASSERT_TRUE(dispatcher.Post("other", [&] { otherServed.Set(); }));
  // The other key runs while the first key's job blocks and its later jobs wait behind it.
  EXPECT_TRUE(otherServed.Wait(10s));
  {
    std::lock_guard guard(lock);
    EXPECT_TRUE(order.empty());
  }

  // A key holds at most kMaxQueuedPerKey waiting jobs (the running one not counted).
  for (std::size_t n = 4; n < CallDispatcher::kMaxQueuedPerKey; ++n) {
    ASSERT_TRUE(dispatcher.Post("flood", [] {}));
  }
  EXPECT_FALSE(dispatcher.Post("flood", [] {}));
  EXPECT_TRUE(dispatcher.Post("other", [] {}));

  gate.Set();
  dispatcher.Stop();  // runs what is queued
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_FALSE(dispatcher.Post("late", [] {}));
}

}  // namespace
}  // namespace tavra::host
