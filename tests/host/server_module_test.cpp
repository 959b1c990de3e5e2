// The module lock count and the shutdown monitor, on a shortened quiet time.

#include "server/host/server_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "server/host/process_priority.h"
#include "shared/sync_event.h"

namespace tavra::host {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kQuiet = 300ms;

// Records the monitor's hooks in order and signals the quit.
struct HookLog {
  ServerModule::Hooks Hooks() {
    return {[this] { Append("suspend;"); },
            [this] {
              Append("quit;");
              quitAt = Clock::now();
              quit.Set();
            }};
  }
  void Append(const char* s) {
    std::lock_guard<std::mutex> lock(mutex);
    log += s;
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
  }
  std::mutex mutex;
  std::string log;
  Event quit{Event::Mode::ManualReset};
  Clock::time_point quitAt;
};

TEST(HostServerModule, NeverLockedNeverEnds) {
  HookLog hooks;
  ServerModule module(kQuiet);
  ASSERT_TRUE(module.StartMonitor(hooks.Hooks()));
  // Started by hand with no client: the monitor acts only after a drop to 0.
  EXPECT_FALSE(hooks.quit.Wait(kQuiet * 4));
  EXPECT_EQ(hooks.Log(), "");
  EXPECT_FALSE(module.Suspended());
}

TEST(HostServerModule, EndsAQuietTimeAfterTheLastUnlock) {
  HookLog hooks;
  ServerModule module(kQuiet);
  ASSERT_TRUE(module.StartMonitor(hooks.Hooks()));
  module.Lock();
  module.Lock();
  module.Unlock();
  EXPECT_FALSE(hooks.quit.Wait(kQuiet * 2));  // one lock still held
  const auto lastUnlock = Clock::now();
  module.Unlock();
  ASSERT_TRUE(hooks.quit.Wait(kQuiet * 10));
  EXPECT_GE(hooks.quitAt - lastUnlock, kQuiet);
  EXPECT_EQ(hooks.Log(), "suspend;quit;");
  EXPECT_TRUE(module.Suspended());
  EXPECT_TRUE(module.QuitRequested());
  EXPECT_EQ(module.LockCount(), 0);
}

TEST(HostServerModule, EveryDropToZeroStartsTheQuietTimeAgain) {
  HookLog hooks;
  ServerModule module(kQuiet);
  ASSERT_TRUE(module.StartMonitor(hooks.Hooks()));
  auto lastUnlock = Clock::now();
  for (int i = 0; i < 4; ++i) {
    module.Lock();
    lastUnlock = Clock::now();
    module.Unlock();
    // Less than the quiet time between the drops: no end.
    EXPECT_FALSE(hooks.quit.Wait(kQuiet / 2));
  }
  ASSERT_TRUE(hooks.quit.Wait(kQuiet * 10));
  EXPECT_GE(hooks.quitAt - lastUnlock, kQuiet);
}

TEST(HostServerModule, ALockTakenDuringTheQuietTimeKeepsTheServer) {
  HookLog hooks;
  ServerModule module(kQuiet);
  ASSERT_TRUE(module.StartMonitor(hooks.Hooks()));
  module.Lock();
  module.Unlock();
  module.Lock();  // a new client before the quiet time ran out
  EXPECT_FALSE(hooks.quit.Wait(kQuiet * 3));
  EXPECT_FALSE(module.Suspended());
  module.Unlock();
  EXPECT_TRUE(hooks.quit.Wait(kQuiet * 10));
}

TEST(HostServerModule, ForcedShutdownEndsWhileClientsHoldLocks) {
  HookLog hooks;
  ServerModule module(kQuiet);
  ASSERT_TRUE(module.StartMonitor(hooks.Hooks()));
  module.Lock();
  module.Lock();
  module.Lock();
  const auto forcedAt = Clock::now();
  module.ForcedShutdown();
  EXPECT_EQ(module.LockCount(), 0);
  ASSERT_TRUE(hooks.quit.Wait(kQuiet * 10));
  EXPECT_GE(hooks.quitAt - forcedAt, kQuiet);
  EXPECT_EQ(hooks.Log(), "suspend;quit;");
}

TEST(HostServerModule, ForcedShutdownEndsEvenWhenObjectsAreReleasedMeanwhile) {
  HookLog hooks;
  ServerModule module(kQuiet);
  ASSERT_TRUE(module.StartMonitor(hooks.Hooks()));
  module.Lock();
  module.Lock();
  module.ForcedShutdown();
  // The two objects end during the quiet time: the count goes below 0.
  module.Unlock();
  module.Unlock();
  EXPECT_EQ(module.LockCount(), -2);
  EXPECT_TRUE(hooks.quit.Wait(kQuiet * 10));
}

TEST(HostServerModule, ForcedShutdownOfAServerNoClientEverUsed) {
  HookLog hooks;
  ServerModule module(kQuiet);
  ASSERT_TRUE(module.StartMonitor(hooks.Hooks()));
  module.ForcedShutdown();
  EXPECT_TRUE(hooks.quit.Wait(kQuiet * 10));
}

TEST(HostServerModule, MonitorStartsOnceAndStopsWithTheModule) {
  HookLog hooks;
  {
    ServerModule module(kQuiet);
    EXPECT_TRUE(module.StartMonitor(hooks.Hooks()));
    EXPECT_FALSE(module.StartMonitor(hooks.Hooks()));
    module.Lock();
    module.Unlock();
  }  // destroyed inside the quiet time: the monitor ends without calling anything
  EXPECT_EQ(hooks.Log(), "");
}

TEST(HostProcessPriority, ClassesMapToNiceValues) {
  EXPECT_EQ(NiceValueForPriorityClass(32), 0);
  EXPECT_EQ(NiceValueForPriorityClass(64), 19);
  EXPECT_EQ(NiceValueForPriorityClass(128), -10);
  EXPECT_EQ(NiceValueForPriorityClass(256), -20);
  EXPECT_FALSE(NiceValueForPriorityClass(0));
  EXPECT_FALSE(NiceValueForPriorityClass(33));
  EXPECT_FALSE(ApplyProcessPriority(5));
}

}  // namespace
}  // namespace tavra::host
