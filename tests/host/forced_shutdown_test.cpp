// The forced shutdown of the tray menu, with the server run in this process (its icon replaced
// by a recorder) on a private bus, with shortened quiet time and pause.

#include <gtest/gtest.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtDBus/QDBusObjectPath>

#include "host_support.h"
#include "server/host/server_process.h"
#include "sim/simulated_controller.h"
#include "tests/common/port_dir.h"

namespace tavra::host {
namespace {

using namespace std::chrono_literals;
using test::IntArg;
using test::PathArg;
using test::RawClient;

// One in-process server per program: the session bus connection is made once.
TEST(HostForcedShutdown, EndsAfterTheQuietTimeAndTheClientsLoseTheirObjects) {
  // The bus first: the application object may connect to the session bus when it is made.
  test::PrivateBus bus;
  ASSERT_TRUE(bus.Ready());
  qputenv("DBUS_SESSION_BUS_ADDRESS", bus.Address().toUtf8());
  test::EnsureApplication();
  QTemporaryDir dir;
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
  const tavra::test::PortDir ports;
  sim::SimulatedController sim;
  std::string error;
  ASSERT_TRUE(sim.StartPseudoTerminal(ports.PathOf(1), &error)) << error;

  ServerRunOptions options;
  options.quietTime = 500ms;
  options.closingPause = 100ms;
  std::function<void()> forced;
  bool iconShown = false;
  bool iconRemoved = false;
  QObject* icon = nullptr;
  options.createTray = [&](std::function<void()> forcedShutdown) {
    forced = std::move(forcedShutdown);
    iconShown = true;
    auto tray = std::make_unique<QObject>();
    icon = tray.get();
    QObject::connect(tray.get(), &QObject::destroyed, [&iconRemoved] { iconRemoved = true; });
    return tray;
  };

  RawClient client(bus.Address(), QStringLiteral("client"));
  QString port;
  QElapsedTimer sinceForced;
  int added = 0;
  QTimer::singleShot(0, [&] {
    // Two registered clients, then Shut Down (confirmed).
    const QDBusMessage r = client.Pool(QStringLiteral("GetTavraInterface"), {1, 0});
    port = PathArg(r, 1);
    client.ExportCallback(QStringLiteral("/cb"));
    for (int i = 0; i < 2; ++i) {
      const QDBusMessage a =
          client.Tavra(port, QStringLiteral("Client_Add"),
                       {QVariant::fromValue(QDBusObjectPath(QStringLiteral("/cb")))});
      added += IntArg(a, 0) == 0 ? 1 : 0;
    }
    sinceForced.start();
    forced();
  });
  const int code = RunServer({QStringLiteral("tavralink")}, options);
  const qint64 ms = sinceForced.elapsed();

  EXPECT_EQ(code, 0);
  EXPECT_EQ(added, 2);
  EXPECT_TRUE(iconShown);
  EXPECT_TRUE(iconRemoved);
  (void)icon;
  EXPECT_GE(ms, 600);  // quiet time + pause
  EXPECT_LE(ms, 5000);
  // The clients' next calls fail as calls: the objects are gone with the server.
  const QDBusMessage after = client.Tavra(port, QStringLiteral("AddRef"));
  EXPECT_EQ(after.type(), QDBusMessage::ErrorMessage);
  EXPECT_EQ(client.Pool(QStringLiteral("GetPortTable")).type(), QDBusMessage::ErrorMessage);
}

}  // namespace
}  // namespace tavra::host
