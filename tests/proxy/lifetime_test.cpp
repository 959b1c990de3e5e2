// The server's end as a client sees it: after a forced end (SIGTERM, the shutdown the tray
// menu also runs) or a crash (SIGKILL) every later call fails on the bus and no new server is
// started for it, although the server is activatable; references are released on the server.

#include <gtest/gtest.h>
#include <signal.h>

#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>

#include "proxy_support.h"
#include "shared/sync_event.h"

namespace tavra::dbus::test {
namespace {

using tavra::test::kWait;
using tavra::test::TestBus;

TEST(ProxyLifetime, CallsAfterTheServerEndedFailAndStartNoNewServer) {
  for (const int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    TestBus bus(true);
    ASSERT_TRUE(bus.Ready());
    ProxyOptions options = OptionsFor(bus);
    options.program = (bus.Dir() / "no-such-program").string();
    std::shared_ptr<TavraPoolProxy> pool;
    ASSERT_EQ(ConnectTavraPool(options, pool), S_OK);
    const std::string first = pool->ServerName();
    std::shared_ptr<ITavra> tavra;
    ASSERT_EQ(pool->CreateTavra(tavra), S_OK);
    auto callback = std::make_shared<RecordingCallback>();
    std::int32_t id = -1;
    EXPECT_EQ(tavra->Client_Add(callback, id), CommandFailed_NotInitialised);
    tavra::Event gone;
    pool->SetServerGoneHandler([&gone] { gone.Set(); });

    ASSERT_TRUE(bus.StopServer(signal));
    ASSERT_TRUE(gone.Wait(kWait));
    EXPECT_TRUE(pool->ServerGone());

    EXPECT_EQ(tavra->Client_Add(callback, id), kCallFailed);
    EXPECT_TRUE(LastCallStatus().failed);
    EXPECT_FALSE(LastCallStatus().errorName.empty());
    EXPECT_EQ(callback.use_count(), 1);  // not kept for a call that failed
    std::int32_t result = 0;
    std::int32_t type = 0;
    std::int32_t size = 0;
    std::vector<std::uint8_t> data;
    EXPECT_EQ(tavra->Management_Request(1, CONNECT_STATUS, result, type, size, data), kCallFailed);
    std::vector<PortStatus> ports;
    EXPECT_EQ(pool->GetPortTable(ports), kCallFailed);
    EXPECT_FALSE(bus.NameHasOwner("dk.norvik.TavraLink"));

    // A new client starts a new server through the bus; the old proxies stay cut off.
    std::shared_ptr<TavraPoolProxy> fresh;
    ASSERT_EQ(ConnectTavraPool(options, fresh), S_OK);
    EXPECT_NE(fresh->ServerName(), first);
    EXPECT_EQ(pool->GetPortTable(ports), kCallFailed);
    EXPECT_EQ(fresh->GetPortTable(ports), S_OK);
  }
}

TEST(ProxyLifetime, DroppingTheLastProxyReleasesTheObjectOnTheServer) {
  TestBus bus(false);
  ASSERT_TRUE(bus.Ready());
  std::shared_ptr<TavraPoolProxy> pool;
  ASSERT_EQ(ConnectTavraPool(OptionsFor(bus), pool), S_OK);
  std::shared_ptr<ITavra> tavra;
  ASSERT_EQ(pool->CreateTavra(tavra), S_OK);

  // Another connection asks the objects what they answer.
  const QString name = QStringLiteral("lifetime-observer");
  const QDBusConnection observer =
      QDBusConnection::connectToBus(QString::fromStdString(bus.Address()), name);
  const auto introspect = [&](const QString& path) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        QString::fromStdString(pool->ServerName()), path,
        QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
    return observer.call(message, QDBus::Block, 10000).arguments().value(0).toString();
  };
  const QString tavraInterface = QStringLiteral("dk.norvik.TavraLink.Tavra\"");
  EXPECT_TRUE(introspect(QStringLiteral("/dk/norvik/TavraLink/Tavra1")).contains(tavraInterface));
  tavra.reset();
  EXPECT_FALSE(introspect(QStringLiteral("/dk/norvik/TavraLink/Tavra1")).contains(tavraInterface));
  QDBusConnection::disconnectFromBus(name);
}

}  // namespace
}  // namespace tavra::dbus::test
