// The client pool: one controller object per port, the port opened once and closed with the
// last reference, the open failures, concurrent callers, a controller object that is being
// destroyed, the teardown at server shutdown and the pool's reference count. COM ports are
// pseudo-terminals served by the simulated controller and opened by the real serial driver.

#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "server/service/ctavra.h"
#include "server/service/module_lock.h"
#include "server/service/tavra_pool.h"
#include "server/stack/port_table.h"
#include "server/stack/termios_serial_port.h"
#include "service_test_support.h"

namespace tavra::service {
namespace {

using test::RecordingCallback;
using namespace std::chrono_literals;

constexpr int kPort = 3;

class PoolOnPty : public ::testing::Test {
 protected:
  void SetUp() override { stack::GlobalPortTable().Clear(); }
  void TearDown() override { stack::GlobalPortTable().Clear(); }

  [[nodiscard]] static stack::PortEntry Entry(int port = kPort) {
    return stack::GlobalPortTable().Get(port);
  }

  test::PortDir m_dir;
  test::PtyController m_controller{m_dir, kPort};
  test::CountingFactory m_ports;
  TavraPool m_pool{m_ports.Termios()};
};

TEST_F(PoolOnPty, PortNumberOutsideTheRangeIsEFailAndCreatesNothing) {
  test::TraceRecorder trace;
  for (const std::int32_t port : {-1, 10, 1000, INT32_MIN}) {
    std::shared_ptr<ITavra> tavra;
    EXPECT_EQ(m_pool.GetTavraInterface(port, 0, tavra), E_FAIL) << port;
    EXPECT_EQ(tavra, nullptr);
  }
  EXPECT_EQ(*m_ports.made, 0);
  EXPECT_EQ(trace.Count("GetTavraInterface() starts"), 4);
  EXPECT_EQ(trace.Count("GetTavraInterface() stops"), 0);
  for (const stack::PortEntry& e : stack::GlobalPortTable().Snapshot()) {
    EXPECT_FALSE(e.inUse);
  }
}

TEST_F(PoolOnPty, TwoClientsOfPortThreeShareOneObject) {
  test::TraceRecorder trace;
  std::shared_ptr<ITavra> first;
  std::shared_ptr<ITavra> second;
  ASSERT_EQ(m_pool.GetTavraInterface(kPort, 0, first), S_OK);
  ASSERT_EQ(m_pool.GetTavraInterface(kPort, 12345, second), S_OK);
  EXPECT_EQ(first, second);
  EXPECT_EQ(*m_ports.made, 1);
  EXPECT_EQ(trace.Count("GetTavraInterface() starts"), 2);
  EXPECT_EQ(trace.Count("GetTavraInterface() stops"), 2);

  std::int32_t a = 0;
  std::int32_t b = 0;
  ASSERT_EQ(first->Client_Add(std::make_shared<RecordingCallback>(), a), S_OK);
  ASSERT_EQ(second->Client_Add(std::make_shared<RecordingCallback>(), b), S_OK);
  EXPECT_TRUE(Entry().inUse);
  EXPECT_EQ(Entry().clientCount, 2);
}

TEST_F(PoolOnPty, LastReleaseClosesThePortAndTheNextCallOpensItAgain) {
  std::shared_ptr<ITavra> tavra;
  ASSERT_EQ(m_pool.GetTavraInterface(kPort, 0, tavra), S_OK);
  std::int32_t id = 0;
  ASSERT_EQ(tavra->Client_Add(std::make_shared<RecordingCallback>(), id), S_OK);
  ASSERT_EQ(tavra->Client_Remove(id), S_OK);
  tavra.reset();

  EXPECT_FALSE(Entry().inUse);
  EXPECT_EQ(Entry().clientCount, 0);
  EXPECT_EQ(m_pool.Controller(kPort), nullptr);
  {
    // Another program can open the port now.
    stack::TermiosSerialPort other;
    EXPECT_EQ(other.Open(kPort, 9600), stack::kOk);
    other.Close();
  }
  ASSERT_EQ(m_pool.GetTavraInterface(kPort, 0, tavra), S_OK);
  EXPECT_EQ(*m_ports.made, 2);
  EXPECT_TRUE(Entry().inUse);
  // And this object holds it again.
  stack::TermiosSerialPort other;
  EXPECT_EQ(other.Open(kPort, 9600), stack::kPortInUse);
}

TEST_F(PoolOnPty, PortHeldByAnotherProgramIsInUseUntilItIsLetGo) {
  auto holder = std::make_unique<stack::TermiosSerialPort>();
  ASSERT_EQ(holder->Open(kPort, 9600), stack::kOk);
  std::shared_ptr<ITavra> tavra;
  EXPECT_EQ(m_pool.GetTavraInterface(kPort, 0, tavra), CommandFailed_PortInUse);
  EXPECT_EQ(tavra, nullptr);
  EXPECT_FALSE(Entry().inUse);
  EXPECT_EQ(m_pool.Controller(kPort), nullptr);

  holder->Close();
  holder.reset();
  // The failed start left the slot empty: the next call starts from the beginning.
  ASSERT_EQ(m_pool.GetTavraInterface(kPort, 0, tavra), S_OK);
  EXPECT_NE(tavra, nullptr);
  EXPECT_TRUE(Entry().inUse);
  EXPECT_EQ(*m_ports.made, 2);
}

TEST_F(PoolOnPty, PortWithoutDeviceIsNotFound) {
  std::shared_ptr<ITavra> tavra;
  EXPECT_EQ(m_pool.GetTavraInterface(5, 0, tavra), CommandFailed_PortNotFound);
  EXPECT_EQ(tavra, nullptr);
  EXPECT_FALSE(Entry(5).inUse);
  // COM0 has no device at all outside a port folder; here it is simply missing too.
  EXPECT_EQ(m_pool.GetTavraInterface(0, 0, tavra), CommandFailed_PortNotFound);
}

TEST_F(PoolOnPty, EightCallersAtOnceGetOneObjectAndThePortOpensOnce) {
  constexpr int kCallers = 8;
  std::latch start(kCallers);
  std::vector<std::shared_ptr<ITavra>> results(kCallers);
  std::vector<HRESULT> codes(kCallers, -1);
  std::vector<std::thread> threads;
  threads.reserve(kCallers);
  for (int i = 0; i < kCallers; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      codes[static_cast<std::size_t>(i)] =
          m_pool.GetTavraInterface(kPort, 0, results[static_cast<std::size_t>(i)]);
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (int i = 0; i < kCallers; ++i) {
    EXPECT_EQ(codes[static_cast<std::size_t>(i)], S_OK);
    EXPECT_EQ(results[static_cast<std::size_t>(i)], results[0]);
  }
  EXPECT_NE(results[0], nullptr);
  EXPECT_EQ(*m_ports.made, 1);
}

TEST_F(PoolOnPty, ObjectBeingDestroyedIsNeverHandedOutAndItsPortIsWaitedFor) {
  test::TraceRecorder trace;
  std::shared_ptr<CTavra> dying;
  ASSERT_EQ(m_pool.GetController(kPort, dying), S_OK);
  const CTavra* dyingAddress = dying.get();
  // A client hanging in its callback makes the destruction wait 500 ms in Client_Remove.
  auto callback = std::make_shared<RecordingCallback>();
  callback->BlockCallbacks();
  std::int32_t id = 0;
  ASSERT_EQ(dying->Client_Add(callback, id), S_OK);
  ASSERT_TRUE(callback->WaitUntilBlocked(5s));

  std::thread releaser([&] { dying.reset(); });
  ASSERT_TRUE(trace.WaitForText("CTavra destructor starts", 1, 5s));

  std::shared_ptr<CTavra> fresh;
  EXPECT_EQ(m_pool.GetController(kPort, fresh), S_OK);
  EXPECT_NE(fresh.get(), dyingAddress);
  EXPECT_TRUE(fresh->IsStarted());
  EXPECT_EQ(*m_ports.made, 2);

  callback->Unblock();
  releaser.join();
  EXPECT_TRUE(Entry().inUse);  // the old object's end did not clear the new one's flag
  EXPECT_EQ(m_pool.Controller(kPort), fresh);
}

TEST_F(PoolOnPty, TeardownDisconnectsEveryControllerObject) {
  test::PtyController second{m_dir, 4};
  std::shared_ptr<ITavra> three;
  std::shared_ptr<ITavra> four;
  ASSERT_EQ(m_pool.GetTavraInterface(kPort, 0, three), S_OK);
  ASSERT_EQ(m_pool.GetTavraInterface(4, 0, four), S_OK);
  std::shared_ptr<CTavra> unstarted = m_pool.CreateTavra();
  ASSERT_NE(unstarted, nullptr);
  auto callback = std::make_shared<RecordingCallback>();
  std::int32_t id = 0;
  ASSERT_EQ(three->Client_Add(callback, id), S_OK);
  const std::int64_t locks = ModuleLockCount();

  m_pool.Teardown();
  EXPECT_TRUE(m_pool.IsTornDown());

  // The clients still hold their references, but every call now reports the disconnection.
  EXPECT_EQ(three->Client_Remove(id), kObjectDisconnected);
  std::int32_t other = 0;
  EXPECT_EQ(four->Client_Add(std::make_shared<RecordingCallback>(), other), kObjectDisconnected);
  const std::uint8_t byte = 0;
  EXPECT_EQ(three->Data_Request(id, 1, 1, &byte, 0, 1), kObjectDisconnected);
  EXPECT_EQ(unstarted->Client_Remove(1), kObjectDisconnected);
  EXPECT_TRUE(unstarted->IsDisconnected());
  // Clients removed, link stacks stopped, ports closed.
  EXPECT_EQ(callback.use_count(), 1);
  EXPECT_FALSE(Entry(kPort).inUse);
  EXPECT_FALSE(Entry(4).inUse);
  EXPECT_EQ(Entry(kPort).clientCount, 0);
  stack::TermiosSerialPort otherProgram;
  EXPECT_EQ(otherProgram.Open(kPort, 9600), stack::kOk);
  otherProgram.Close();
  // The pool hands out nothing more.
  std::shared_ptr<ITavra> late;
  EXPECT_EQ(m_pool.GetTavraInterface(kPort, 0, late), kObjectDisconnected);
  EXPECT_EQ(late, nullptr);
  EXPECT_EQ(m_pool.CreateTavra(), nullptr);

  // The objects themselves live until their last reference goes, then release their locks.
  three.reset();
  four.reset();
  unstarted.reset();
  EXPECT_EQ(ModuleLockCount(), locks - 3);
}

TEST_F(PoolOnPty, ReferenceCountTakesTheModuleLockForOutsideHolders) {
  const std::int64_t base = ModuleLockCount();
  EXPECT_EQ(m_pool.AddRef(), 2u);
  EXPECT_EQ(ModuleLockCount(), base + 1);
  EXPECT_EQ(m_pool.AddRef(), 3u);
  EXPECT_EQ(ModuleLockCount(), base + 1);
  EXPECT_EQ(m_pool.Release(), 2u);
  EXPECT_EQ(m_pool.Release(), 1u);
  EXPECT_EQ(ModuleLockCount(), base);
  EXPECT_FALSE(m_pool.IsTornDown());

  std::shared_ptr<ITavra> tavra;
  ASSERT_EQ(m_pool.GetTavraInterface(kPort, 0, tavra), S_OK);
  EXPECT_EQ(m_pool.Release(), 0u);  // the factory's reference: teardown
  EXPECT_TRUE(m_pool.IsTornDown());
  EXPECT_FALSE(Entry().inUse);
  EXPECT_EQ(m_pool.Release(), 0u);         // nothing below 0
  EXPECT_EQ(ModuleLockCount(), base + 1);  // the disconnected object, still referenced
  tavra.reset();
  EXPECT_EQ(ModuleLockCount(), base);
}

// The host's own module lock implementation sees every lock and unlock.
class CountingModuleLock final : public IModuleLock {
 public:
  void Lock() override { ++locks; }
  void Unlock() override { ++unlocks; }
  std::atomic<int> locks{0};
  std::atomic<int> unlocks{0};
};

TEST(PoolModuleLock, InstalledImplementationSeesControllerObjectsAndOutsideReferences) {
  stack::GlobalPortTable().Clear();
  auto hook = std::make_shared<CountingModuleLock>();
  const std::shared_ptr<IModuleLock> previous = SetModuleLock(hook);
  {
    test::CountingFactory ports;
    TavraPool pool{ports.Unconnected()};
    std::shared_ptr<ITavra> tavra;
    ASSERT_EQ(pool.GetTavraInterface(2, 0, tavra), S_OK);
    EXPECT_EQ(hook->locks, 1);
    pool.AddRef();
    EXPECT_EQ(hook->locks, 2);
    pool.Release();
    EXPECT_EQ(hook->unlocks, 1);
    tavra.reset();
    EXPECT_EQ(hook->unlocks, 2);
  }
  SetModuleLock(previous);
  stack::GlobalPortTable().Clear();
}

}  // namespace
}  // namespace tavra::service
