// How long tavralink lives, with its real quiet time (5000 ms) and closing pause (1000 ms):
// it ends about 6 s after its last client let go, stays while a client keeps coming back
// within the quiet time, and never ends by itself when no client ever came.

#include <gtest/gtest.h>

#include <QtCore/QElapsedTimer>
#include <QtDBus/QDBusObjectPath>

#include "host_support.h"
#include "sim/simulated_controller.h"

namespace tavra::host {
namespace {

using namespace std::chrono_literals;
using test::IntArg;
using test::PathArg;
using test::RawClient;
using test::UIntArg;

class HostLifetime : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApplication();
    ASSERT_TRUE(m_bus.Ready());
    m_server = std::make_unique<test::ServerUnderTest>(m_bus);
    ASSERT_TRUE(m_server->Start());
    ASSERT_TRUE(m_server->WaitForName()) << m_server->Output().toStdString();
  }
  test::PrivateBus m_bus;
  std::unique_ptr<test::ServerUnderTest> m_server;
};

TEST_F(HostLifetime, EndsAboutSixSecondsAfterTheLastClientReleasedEverything) {
  sim::SimulatedController sim;
  std::string error;
  ASSERT_TRUE(sim.StartPseudoTerminal((m_server->PortDir() + QStringLiteral("/COM1")).toStdString(),
                                      &error))
      << error;
  RawClient client(m_bus.Address(), QStringLiteral("once"));
  const QDBusMessage port = client.Pool(QStringLiteral("GetTavraInterface"), {1, 0});
  ASSERT_EQ(IntArg(port, 0), 0);
  ASSERT_TRUE(client.ExportCallback(QStringLiteral("/cb")));
  const QDBusMessage added =
      client.Tavra(PathArg(port, 1), QStringLiteral("Client_Add"),
                   {QVariant::fromValue(QDBusObjectPath(QStringLiteral("/cb")))});
  ASSERT_EQ(IntArg(added, 0), 0);
  EXPECT_EQ(
      IntArg(client.Tavra(PathArg(port, 1), QStringLiteral("Client_Remove"), {IntArg(added, 1)}),
             0),
      0);
  EXPECT_EQ(UIntArg(client.Tavra(PathArg(port, 1), QStringLiteral("Release")), 0), 0u);
  QElapsedTimer sinceRelease;
  EXPECT_EQ(UIntArg(client.Pool(QStringLiteral("Release")), 0), 0u);
  sinceRelease.start();

  ASSERT_TRUE(m_server->WaitForExit(20s));
  const qint64 ms = sinceRelease.elapsed();
  EXPECT_GE(ms, 5900) << "quiet time 5000 ms + pause 1000 ms";
  EXPECT_LE(ms, 12000);
  EXPECT_TRUE(m_server->NormalExit());
  EXPECT_EQ(m_server->ExitCode(), 0);
}

TEST_F(HostLifetime, StaysWhileAClientCreatesAndReleasesObjectsEveryThreeSeconds) {
  RawClient client(m_bus.Address(), QStringLiteral("cycler"));
  QElapsedTimer sinceFirstRelease;
  for (int cycle = 0; cycle < 4; ++cycle) {
    // Each cycle: take the pool, create an object, release both.
    const QDBusMessage created = client.Pool(QStringLiteral("CreateTavra"));
    ASSERT_EQ(IntArg(created, 0), 0)
        << "cycle " << cycle << ": " << created.errorMessage().toStdString();
    EXPECT_EQ(UIntArg(client.Tavra(PathArg(created, 1), QStringLiteral("Release")), 0), 0u);
    EXPECT_EQ(UIntArg(client.Pool(QStringLiteral("Release")), 0), 0u);
    if (cycle == 0) {
      sinceFirstRelease.start();
    }
    // The client's own rhythm (the behaviour under test), not a synchronisation.
    EXPECT_FALSE(m_server->WaitForExit(3s)) << "ended in cycle " << cycle;
  }
  // Well past one quiet time plus the pause since the first release, and still serving.
  EXPECT_GT(sinceFirstRelease.elapsed(), 9000);
  EXPECT_TRUE(m_server->OwnsName());
  QElapsedTimer sinceLast;
  sinceLast.start();
  ASSERT_TRUE(m_server->WaitForExit(20s));
  EXPECT_GE(sinceLast.elapsed(), 2900);  // the last release was 3 s before
}

TEST_F(HostLifetime, StartedWithoutAClientKeepsRunning) {
  EXPECT_FALSE(m_server->WaitForExit(7500ms));
  EXPECT_TRUE(m_server->OwnsName());
  m_server->Terminate();
  ASSERT_TRUE(m_server->WaitForExit(10s));
  EXPECT_TRUE(m_server->NormalExit());
  EXPECT_EQ(m_server->ExitCode(), 0);
}

}  // namespace
}  // namespace tavra::host
