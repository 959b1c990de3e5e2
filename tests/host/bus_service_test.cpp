// The D-Bus service in this process, on a private bus: suspension, and how the clients' pool
// references drive the module lock.

#include "server/host/bus_service.h"

#include <gtest/gtest.h>

#include <QtCore/QThread>
#include <QtDBus/QDBusConnectionInterface>
#include <QtDBus/QDBusPendingCall>
#include <atomic>

#include "host_support.h"
#include "server/host/dbus_names.h"
#include "server/service/module_lock.h"
#include "server/service/tavra_pool.h"
#include "shared/sync_event.h"

namespace tavra::host {
namespace {

using namespace std::chrono_literals;
using test::IntArg;
using test::PathArg;
using test::RawClient;
using test::UIntArg;

int PortTableSize(RawClient& client) {
  const QDBusMessage reply = client.Pool(QStringLiteral("GetPortTable"));
  return reply.type() == QDBusMessage::ReplyMessage
             ? static_cast<int>(test::PortTableOf(reply).size())
             : -1;
}

class CountingLock final : public service::IModuleLock {
 public:
  void Lock() override { ++count; }
  void Unlock() override { --count; }
  std::atomic<int> count{0};
};

class HostBusService : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApplication();
    ASSERT_TRUE(m_bus.Ready());
    service::SetModuleLock(m_lock);
    m_connection = QDBusConnection::connectToBus(m_bus.Address(), QStringLiteral("service"));
    ASSERT_TRUE(m_connection.isConnected());
    // COM7 is slow to open: its factory waits for the test's gate (and then fails the start).
    m_pool = std::make_unique<service::TavraPool>([this](int port) {
      if (port != kSlowPort) {
        return service::TavraPool::TermiosPortFactory()(port);
      }
      m_slowPortOpening.Set();
      (void)m_slowPortGate.Wait(20s);
      return std::unique_ptr<stack::ISerialPort>();
    });
    m_service = new BusService(m_connection, *m_pool);
    m_service->moveToThread(&m_thread);
    m_thread.start();
    ASSERT_TRUE(m_service->Export());
    ASSERT_TRUE(m_connection.registerService(ServiceName()));
  }
  void TearDown() override {
    m_slowPortGate.Set();
    QMetaObject::invokeMethod(m_service, &BusService::Withdraw, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    m_pool->Teardown();
    m_service->DropAll();
    delete m_service;
    m_pool.reset();
    m_connection = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(QStringLiteral("service"));
    service::SetModuleLock(nullptr);
  }
  std::unique_ptr<RawClient> Client(const char* name) {
    return std::make_unique<RawClient>(m_bus.Address(), QString::fromLatin1(name));
  }

  static constexpr int kSlowPort = 7;
  Event m_slowPortOpening{Event::Mode::ManualReset};
  Event m_slowPortGate{Event::Mode::ManualReset};
  test::PrivateBus m_bus;
  std::shared_ptr<CountingLock> m_lock = std::make_shared<CountingLock>();
  QDBusConnection m_connection{QString()};
  std::unique_ptr<service::TavraPool> m_pool;
  BusService* m_service = nullptr;
  QThread m_thread;
};

TEST_F(HostBusService, PoolReferencesOfAllConnectionsHoldOneModuleLock) {
  auto a = Client("a");
  auto b = Client("b");
  EXPECT_EQ(m_lock->count, 0);
  // The first call of a connection gives it one pool reference; AddRef adds one.
  EXPECT_EQ(UIntArg(a->Pool(QStringLiteral("AddRef")), 0), 2u);
  EXPECT_EQ(m_lock->count, 1);
  EXPECT_EQ(PortTableSize(*b), 10);
  EXPECT_EQ(m_lock->count, 1);
  EXPECT_EQ(UIntArg(a->Pool(QStringLiteral("Release")), 0), 2u);
  EXPECT_EQ(UIntArg(a->Pool(QStringLiteral("Release")), 0), 1u);
  // A connection holding none releases nothing of the others' (its call gives it one first).
  EXPECT_EQ(UIntArg(a->Pool(QStringLiteral("Release")), 0), 1u);
  EXPECT_EQ(m_lock->count, 1);
  // The last holder leaves the bus: the lock goes.
  b->Disconnect();
  ASSERT_TRUE(test::WaitUntil([&] { return m_lock->count == 0; }, 10s));
}

TEST_F(HostBusService, NeverStartedObjectHoldsAModuleLockWhileReferenced) {
  auto a = Client("a");
  const QDBusMessage created = a->Pool(QStringLiteral("CreateTavra"));
  ASSERT_EQ(IntArg(created, 0), 0);
  EXPECT_EQ(m_lock->count, 2);  // the pool's and the object's
  EXPECT_EQ(UIntArg(a->Tavra(PathArg(created, 1), QStringLiteral("Release")), 0), 0u);
  EXPECT_EQ(m_lock->count, 1);
  EXPECT_EQ(UIntArg(a->Pool(QStringLiteral("Release")), 0), 0u);
  EXPECT_EQ(m_lock->count, 0);
}

TEST_F(HostBusService, SuspendedServesOnlyClientsThatHoldThePool) {
  auto holder = Client("holder");
  ASSERT_EQ(UIntArg(holder->Pool(QStringLiteral("AddRef")), 0), 2u);
  m_service->Suspend();
  EXPECT_TRUE(m_service->IsSuspended());

  auto late = Client("late");
  QDBusMessage r = late->Pool(QStringLiteral("GetPortTable"));
  EXPECT_EQ(r.type(), QDBusMessage::ErrorMessage);
  EXPECT_EQ(r.errorName(), ShuttingDownError());
  r = late->Pool(QStringLiteral("AddRef"));
  EXPECT_EQ(r.errorName(), ShuttingDownError());

  EXPECT_EQ(PortTableSize(*holder), 10);
  EXPECT_EQ(IntArg(holder->Pool(QStringLiteral("GetTavraInterface"), {42, 0}), 0), -2147467259);
  EXPECT_EQ(holder->Pool(QStringLiteral("CreateTavra")).errorName(), ShuttingDownError());
  EXPECT_EQ(UIntArg(holder->Pool(QStringLiteral("Release")), 0), 1u);
}

TEST_F(HostBusService, PortSlowToOpenDelaysOnlyItsOwnCaller) {
  auto quick = Client("quick");
  const QDBusMessage created = quick->Pool(QStringLiteral("CreateTavra"));
  ASSERT_EQ(IntArg(created, 0), 0);

  auto slow = Client("slow");
  QDBusMessage open = QDBusMessage::createMethodCall(ServiceName(), PoolPath(), PoolInterface(),
                                                     QStringLiteral("GetTavraInterface"));
  open << kSlowPort << 0;
  QDBusPendingCall opening = slow->Connection().asyncCall(open, 30000);
  ASSERT_TRUE(m_slowPortOpening.Wait(10s));

  // While the port opens, another connection's management request is answered (the gate
  // stays shut until then; served one call at a time it would time out).
  const QDBusMessage managed =
      quick->Tavra(PathArg(created, 1), QStringLiteral("Management_Request"), {0, 1});
  ASSERT_EQ(managed.type(), QDBusMessage::ReplyMessage) << qPrintable(managed.errorMessage());
  EXPECT_EQ(IntArg(managed, 0), CommandFailed_NotInitialised);
  EXPECT_EQ(PortTableSize(*quick), 10);

  m_slowPortGate.Set();
  opening.waitForFinished();
  EXPECT_EQ(IntArg(opening.reply(), 0), CommandFailed_NotInitialised);
}

TEST_F(HostBusService, WithdrawnObjectsLeaveTheBus) {
  auto a = Client("a");
  ASSERT_EQ(PortTableSize(*a), 10);
  QMetaObject::invokeMethod(m_service, &BusService::Withdraw, Qt::BlockingQueuedConnection);
  const QDBusMessage r = a->Pool(QStringLiteral("GetPortTable"));
  EXPECT_EQ(r.type(), QDBusMessage::ErrorMessage);
  EXPECT_EQ(r.errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"));
}

}  // namespace
}  // namespace tavra::host
