// Events: auto-reset and manual-reset behaviour, time-outs, and the priority order of WaitAny.

#include "shared/sync_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace tavra {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mode = Event::Mode;

TEST(SyncEventTest, AutoResetIsConsumedByOneWait) {
  Event e(Mode::AutoReset);
  EXPECT_FALSE(e.IsSet());
  e.Set();
  e.Set();  // setting twice still gives one wake-up
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.Wait(0ms));
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(0ms));
}

TEST(SyncEventTest, ManualResetStaysSetUntilReset) {
  Event e(Mode::ManualReset);
  e.Set();
  EXPECT_TRUE(e.Wait(0ms));
  EXPECT_TRUE(e.Wait(0ms));
  EXPECT_TRUE(e.IsSet());
  e.Reset();
  EXPECT_FALSE(e.Wait(0ms));
}

TEST(SyncEventTest, InitiallySet) {
  Event automatic(Mode::AutoReset, true);
  EXPECT_TRUE(automatic.Wait(0ms));
  EXPECT_FALSE(automatic.Wait(0ms));
  Event manual(Mode::ManualReset, true);
  EXPECT_TRUE(manual.Wait(0ms));
  EXPECT_TRUE(manual.IsSet());
}

TEST(SyncEventTest, WaitTimesOut) {
  Event e;
  const auto start = Clock::now();
  EXPECT_FALSE(e.Wait(60ms));
  EXPECT_GE(Clock::now() - start, 60ms);
}

TEST(SyncEventTest, AutoResetReleasesOneOfTwoWaiters) {
  Event e(Mode::AutoReset);
  Event bothWaiting(Mode::ManualReset);
  std::atomic<int> waiting{0};
  auto waiter = [&] {
    if (++waiting == 2) {
      bothWaiting.Set();
    }
    return e.Wait(400ms);
  };
  auto a = std::async(std::launch::async, waiter);
  auto b = std::async(std::launch::async, waiter);
  ASSERT_TRUE(bothWaiting.Wait(5s));
  e.Set();
  EXPECT_EQ(static_cast<int>(a.get()) + static_cast<int>(b.get()), 1);
  EXPECT_FALSE(e.IsSet());
}

TEST(SyncEventTest, ManualResetReleasesEveryWaiter) {
  Event e(Mode::ManualReset);
  std::vector<std::future<bool>> waiters;
  waiters.reserve(3);
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(std::async(std::launch::async, [&e] { return e.Wait(5s); }));
  }
  e.Set();
  for (auto& w : waiters) {
    EXPECT_TRUE(w.get());
  }
}

TEST(SyncEventTest, WaitAnyTakesTheFirstListedAndConsumesOnlyIt) {
  Event a;
  Event b;
  Event c;
  b.Set();
  c.Set();
  a.Set();
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0ms), 0);
  EXPECT_FALSE(a.IsSet());
  EXPECT_TRUE(b.IsSet());
  EXPECT_TRUE(c.IsSet());
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0ms), 1);
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0ms), 2);
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0ms), -1);
  // The order of the list is the priority, not the order of the objects.
  a.Set();
  c.Set();
  EXPECT_EQ(Event::WaitAny({&c, &b, &a}, 0ms), 0);
  EXPECT_TRUE(a.IsSet());
}

TEST(SyncEventTest, WaitAnyLeavesManualEventsSet) {
  Event stop(Mode::ManualReset);
  Event work;
  stop.Set();
  work.Set();
  EXPECT_EQ(Event::WaitAny({&stop, &work}, 0ms), 0);
  EXPECT_EQ(Event::WaitAny({&stop, &work}, 0ms), 0);
  EXPECT_TRUE(work.IsSet());
}

TEST(SyncEventTest, WaitAnyTimesOut) {
  Event a;
  Event b;
  const auto start = Clock::now();
  EXPECT_EQ(Event::WaitAny({&a, &b}, 60ms), -1);
  EXPECT_GE(Clock::now() - start, 60ms);
}

TEST(SyncEventTest, WaitAnyWakesOnASetFromAnotherThread) {
  Event a;
  Event b;
  auto result = std::async(std::launch::async, [&] { return Event::WaitAny({&a, &b}); });
  EXPECT_EQ(result.wait_for(50ms), std::future_status::timeout);
  b.Set();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), 1);
  EXPECT_FALSE(b.IsSet());
  // A waiter that has left is no longer told.
  a.Set();
  EXPECT_TRUE(a.Wait(0ms));
}

}  // namespace
}  // namespace tavra
