// Number pools, the process-wide cookie counter and the debug trace hook.

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/stack/debug_trace.h"
#include "server/stack/l4_cookie.h"
#include "server/stack/l4_number_pool.h"

namespace tavra::stack {
namespace {

TEST(L4NumberPoolTest, HandsOutTheNextFreeNumberAfterTheLastAndWraps) {
  L4NumberPool pool;
  EXPECT_EQ(pool.Take(), 1);
  EXPECT_EQ(pool.Take(), 2);
  pool.Release(1);
  // 1 is free again, but the next number follows the last one handed out.
  EXPECT_EQ(pool.Take(), 3);
  for (int n = 4; n <= 255; ++n) {
    ASSERT_EQ(pool.Take(), n);
  }
  // Wrapping from 255: 0 is free, then 1 (released above).
  EXPECT_EQ(pool.Take(), 0);
  EXPECT_EQ(pool.Take(), 1);
  EXPECT_EQ(pool.InUse(), 256);
  EXPECT_FALSE(pool.Take().has_value());
  pool.Release(100);
  EXPECT_EQ(pool.Take(), 100);
  EXPECT_FALSE(pool.Take().has_value());
}

TEST(L4NumberPoolTest, SkipsNumbersInUse) {
  L4NumberPool pool;
  for (int n = 1; n <= 10; ++n) {
    ASSERT_EQ(pool.Take(), n);
  }
  for (int n = 1; n <= 10; ++n) {
    pool.Release(static_cast<std::uint8_t>(n));
  }
  // A number just released is reused only after the others.
  EXPECT_EQ(pool.Take(), 11);
  pool.Release(5);  // releasing twice changes nothing
  pool.Release(5);
  EXPECT_EQ(pool.InUse(), 1);
}

TEST(L4CookieTest, CookiesArePositiveAndUniqueAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  std::vector<std::vector<std::int32_t>> taken(kThreads);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&taken, t] {
      for (int i = 0; i < kEach; ++i) {
        taken[static_cast<std::size_t>(t)].push_back(NextL4Cookie());
      }
    });
  }
  for (std::thread& th : threads) {
    th.join();
  }
  std::set<std::int32_t> all;
  for (const auto& list : taken) {
    for (std::size_t i = 1; i < list.size(); ++i) {
      EXPECT_GT(list[i], list[i - 1]);  // increasing within one thread
    }
    for (std::int32_t c : list) {
      EXPECT_GT(c, 0);
      all.insert(c);
    }
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST(DebugTraceTest, WritesNowhereUntilASinkIsSetAndStopsWhenCleared) {
  DebugTrace("before");  // no sink: nothing happens
  std::mutex mutex;
  std::vector<std::string> seen;
  const DebugTraceSink previous = SetDebugTraceSink([&](std::string_view text) {
    std::lock_guard lock(mutex);
    seen.emplace_back(text);
  });
  EXPECT_FALSE(previous);
  DebugTrace("CL4::Management() - CDREQ - Client has not replied");
  std::thread other([] { DebugTrace("from another thread"); });
  other.join();
  const DebugTraceSink mine = SetDebugTraceSink({});
  EXPECT_TRUE(mine);
  DebugTrace("after");
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen, (std::vector<std::string>{"CL4::Management() - CDREQ - Client has not replied",
                                            "from another thread"}));
}

}  // namespace
}  // namespace tavra::stack
