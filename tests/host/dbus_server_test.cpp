// tavralink driven as an outside program would: a plain D-Bus client (raw QDBusMessage calls,
// not the project's proxy) with its own callback object, on a private bus, against the real
// program and a simulated controller on a pseudo-terminal.

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QFile>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusObjectPath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "host_support.h"
#include "server/host/dbus_names.h"
#include "shared/dbus/contract_methods.h"
#include "shared/dbus/port_table_row.h"
#include "shared/result_codes.h"
#include "shared/sync_event.h"
#include "sim/simulated_controller.h"
#include "tests/common/child_process.h"
#include "tests/common/file_contents.h"

namespace tavra::host {
namespace {

using namespace std::chrono_literals;
using test::IntArg;
using test::PathArg;
using test::RawClient;
using test::ReceivedCall;
using test::UIntArg;

constexpr std::array<std::uint8_t, 6> kSimIdentity{3, 1, 2, 3, 4, 0};

QByteArray IdentityBytes() {
  return {reinterpret_cast<const char*>(kSimIdentity.data()), 6};
}

QVariant Byte(int value) {
  return QVariant::fromValue(static_cast<uchar>(value));
}
QVariant Path(const char* path) {
  return QVariant::fromValue(QDBusObjectPath(QString::fromLatin1(path)));
}

std::vector<dbus::PortTableRow> PortTable(RawClient& client) {
  return test::PortTableOf(client.Pool(QStringLiteral("GetPortTable")));
}

// A server, a bus and a simulated controller on COM1.
class HostDbus : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApplication();
    dbus::RegisterPortTableRowType();
    ASSERT_TRUE(m_bus.Ready());
    m_server = std::make_unique<test::ServerUnderTest>(m_bus);
    std::string error;
    ASSERT_TRUE(m_sim.StartPseudoTerminal(
        (m_server->PortDir() + QStringLiteral("/COM1")).toStdString(), &error))
        << error;
    ASSERT_TRUE(m_server->Start());
    ASSERT_TRUE(m_server->WaitForName()) << m_server->Output().toStdString();
  }
  void TearDown() override {
    if (m_server) {
      m_server.reset();
    }
    m_sim.Stop();
  }
  std::unique_ptr<RawClient> Client(const char* name) {
    return std::make_unique<RawClient>(m_bus.Address(), QString::fromLatin1(name));
  }

  test::PrivateBus m_bus;
  std::unique_ptr<test::ServerUnderTest> m_server;
  sim::SimulatedController m_sim;
};

TEST_F(HostDbus, IntrospectionServesTheDescriptionFile) {
  QFile file(QStringLiteral(TAVRA_DBUS_XML_PATH));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString description = QString::fromUtf8(file.readAll());
  const auto element = [&description](const char* name) {
    const QString open = QStringLiteral("<interface name=\"%1\">").arg(QLatin1StringView(name));
    const qsizetype begin = description.indexOf(open);
    const qsizetype end = description.indexOf(QStringLiteral("</interface>"), begin);
    return description.mid(begin, end + 12 - begin);
  };

  auto client = Client("introspect");
  const QDBusMessage pool =
      client->Call(PoolPath(), QStringLiteral("org.freedesktop.DBus.Introspectable"),
                   QStringLiteral("Introspect"));
  ASSERT_EQ(pool.type(), QDBusMessage::ReplyMessage);
  const QString poolXml = pool.arguments().at(0).toString();
  EXPECT_TRUE(poolXml.contains(element("dk.norvik.TavraLink.Pool"))) << poolXml.toStdString();
  // The standard members are answered also without an interface name.
  const QDBusMessage bare = client->Call(PoolPath(), QString(), QStringLiteral("Introspect"));
  ASSERT_EQ(bare.type(), QDBusMessage::ReplyMessage) << bare.errorMessage().toStdString();
  EXPECT_TRUE(bare.arguments().at(0).toString().startsWith(QStringLiteral("<!DOCTYPE node")));
  EXPECT_TRUE(bare.arguments().at(0).toString().contains(element("dk.norvik.TavraLink.Pool")));
  EXPECT_EQ(client->Call(PoolPath(), QString(), QStringLiteral("Ping")).type(),
            QDBusMessage::ReplyMessage);
  const QDBusMessage machine = client->Call(PoolPath(), QString(), QStringLiteral("GetMachineId"));
  ASSERT_EQ(machine.type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(machine.arguments().at(0).toString().size(), 32);

  const QDBusMessage created = client->Pool(QStringLiteral("CreateTavra"));
  ASSERT_EQ(IntArg(created, 0), 0);
  const QDBusMessage tavra =
      client->Call(PathArg(created, 1), QStringLiteral("org.freedesktop.DBus.Introspectable"),
                   QStringLiteral("Introspect"));
  const QString tavraXml = tavra.arguments().at(0).toString();
  EXPECT_TRUE(tavraXml.contains(element("dk.norvik.TavraLink.Tavra")));
  for (const char* arg : {"name=\"P_ClientId\" type=\"i\" direction=\"in\"",
                          "name=\"P_Callback\" type=\"o\" direction=\"in\"",
                          "name=\"P_L7ResponseRequired\" type=\"y\" direction=\"in\"",
                          "name=\"P_DataSize\" type=\"i\" direction=\"out\"",
                          "name=\"P_ConnectionToTavra\" type=\"i\" direction=\"out\""}) {
    EXPECT_TRUE(tavraXml.contains(QLatin1StringView(arg))) << arg;
  }
  // The parent node lists the objects.
  const QDBusMessage base =
      client->Call(BasePath(), QStringLiteral("org.freedesktop.DBus.Introspectable"),
                   QStringLiteral("Introspect"));
  const QString baseXml = base.arguments().at(0).toString();
  EXPECT_TRUE(baseXml.contains(QStringLiteral("<node name=\"Pool\"/>")));
  EXPECT_TRUE(baseXml.contains(QStringLiteral("<node name=\"%1\"/>")
                                   .arg(PathArg(created, 1).section(QLatin1Char('/'), -1))));
}

TEST_F(HostDbus, PlainClientWithCallbackObjectUsesTheController) {
  auto client = Client("plain");
  ASSERT_TRUE(client->Connected());

  // Bad port numbers: E_FAIL as int32, and "/".
  for (const int bad : {10, -1}) {
    const QDBusMessage r = client->Pool(QStringLiteral("GetTavraInterface"), {bad, 0});
    EXPECT_EQ(IntArg(r, 0), -2147467259) << bad;
    EXPECT_EQ(PathArg(r, 1), QStringLiteral("/"));
  }
  // A port without a device.
  QDBusMessage r = client->Pool(QStringLiteral("GetTavraInterface"), {2, 0});
  EXPECT_EQ(IntArg(r, 0), CommandFailed_PortNotFound);
  EXPECT_EQ(PathArg(r, 1), QStringLiteral("/"));

  r = client->Pool(QStringLiteral("GetTavraInterface"), {1, 0});
  ASSERT_EQ(IntArg(r, 0), 0) << r.errorMessage().toStdString();
  const QString port = PathArg(r, 1);
  EXPECT_EQ(port, QStringLiteral("/dk/norvik/TavraLink/Port1"));
  EXPECT_EQ(UIntArg(client->Tavra(port, QStringLiteral("AddRef")), 0), 2u);
  EXPECT_EQ(UIntArg(client->Tavra(port, QStringLiteral("Release")), 0), 1u);

  ASSERT_TRUE(client->ExportCallback(QStringLiteral("/client/callback")));
  r = client->Tavra(port, QStringLiteral("Client_Add"), {Path("/client/callback")});
  ASSERT_EQ(IntArg(r, 0), 0);
  const int id = IntArg(r, 1);

  // The first callback is the link state; wait for the link to come up.
  ASSERT_EQ(client->WaitForCall(QStringLiteral("Management_Indication"), nullptr, 5s), 0);
  const int online = client->WaitForCall(
      QStringLiteral("Management_Indication"),
      [](const ReceivedCall& c) { return c.arguments.at(0).toInt() == STATUS_ONLINE; }, 20s);
  ASSERT_GE(online, 0);
  {
    const ReceivedCall call = client->Received().at(static_cast<std::size_t>(online));
    EXPECT_EQ(call.path, QStringLiteral("/client/callback"));
    EXPECT_EQ(call.interface, CallbackInterface());
    EXPECT_EQ(call.signature, QStringLiteral("iiay"));
    EXPECT_EQ(call.arguments.at(1).toInt(), 1);
    EXPECT_EQ(call.arguments.at(2).toByteArray(), IdentityBytes());
  }

  r = client->Tavra(port, QStringLiteral("Management_Request"), {id, CONNECT_STATUS});
  ASSERT_EQ(r.signature(), QStringLiteral("iiiiay"));
  EXPECT_EQ(IntArg(r, 0), 0);
  EXPECT_EQ(IntArg(r, 1), STATUS_ONLINE);
  EXPECT_EQ(IntArg(r, 2), 1);
  EXPECT_EQ(IntArg(r, 3), 6);
  EXPECT_EQ(r.arguments().at(4).toByteArray(), IdentityBytes());

  // Not set: 0 and an empty array.
  for (const auto& [client_id, command, expected] :
       {std::tuple{id, kLastManagementCommand + 1, CommandFailed_UnknownCommand},
        std::tuple{id + 1000, CONNECT_STATUS, CommandFailed_ClientNotRegistered}}) {
    r = client->Tavra(port, QStringLiteral("Management_Request"), {client_id, command});
    EXPECT_EQ(IntArg(r, 0), expected);
    EXPECT_EQ(IntArg(r, 1), 0);
    EXPECT_EQ(IntArg(r, 2), 0);
    EXPECT_EQ(IntArg(r, 3), 0);
    EXPECT_TRUE(r.arguments().at(4).toByteArray().isEmpty());
  }

  // A transaction to the controller's transport entity comes back as Data_Confirm.
  r = client->Tavra(port, QStringLiteral("Data_Request"),
                    {id, 1, QByteArray("hello"), Byte(1), 77});
  ASSERT_EQ(IntArg(r, 0), 0);
  const int confirm = client->WaitForCall(
      QStringLiteral("Data_Confirm"),
      [](const ReceivedCall& c) { return c.arguments.at(0).toInt() == 77; }, 10s);
  ASSERT_GE(confirm, 0);
  {
    const ReceivedCall call = client->Received().at(static_cast<std::size_t>(confirm));
    EXPECT_EQ(call.arguments.at(1).toInt(), 0);
    EXPECT_EQ(call.arguments.at(2).toByteArray(), QByteArray("hello"));
  }
  // Every callback was a no-reply call, and the first was the link state.
  const std::vector<ReceivedCall> calls = client->Received();
  EXPECT_EQ(calls.front().member, QStringLiteral("Management_Indication"));
  for (const ReceivedCall& call : calls) {
    EXPECT_FALSE(call.replyRequired) << call.member.toStdString();
  }

  EXPECT_EQ(IntArg(client->Tavra(port, QStringLiteral("Connect_Response"),
                                 {id, 1, Byte(1), QByteArray()}),
                   0),
            CommandFailed_UnknownError);
  EXPECT_EQ(
      IntArg(client->Tavra(port, QStringLiteral("Management_SetupBackoff"), {id, 5, 2000, 3, 1000}),
             0),
      0);
  // A call with the wrong signature fails as a call, not with a result code.
  r = client->Tavra(port, QStringLiteral("Data_Request"), {id, 1, QByteArray("x")});
  EXPECT_EQ(r.type(), QDBusMessage::ErrorMessage);
  EXPECT_EQ(r.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
  r = client->Tavra(port, QStringLiteral("NoSuchMethod"));
  EXPECT_EQ(r.type(), QDBusMessage::ErrorMessage);

  std::vector<dbus::PortTableRow> table = PortTable(*client);
  ASSERT_EQ(table.size(), 10u);
  EXPECT_EQ(table[1].port, 1);
  EXPECT_TRUE(table[1].inUse);
  EXPECT_TRUE(table[1].linkUp);
  EXPECT_EQ(table[1].clientCount, 1);
  EXPECT_EQ(table[1].identity, IdentityBytes());
  EXPECT_FALSE(table[2].inUse);

  EXPECT_EQ(IntArg(client->Tavra(port, QStringLiteral("Client_Remove"), {id}), 0), 0);
  EXPECT_EQ(IntArg(client->Tavra(port, QStringLiteral("Client_Remove"), {id}), 0),
            CommandFailed_ClientNotRegistered);
  EXPECT_EQ(UIntArg(client->Tavra(port, QStringLiteral("Release")), 0), 0u);
  // The object has left the bus, and the port is closed.
  EXPECT_EQ(client->Tavra(port, QStringLiteral("AddRef")).type(), QDBusMessage::ErrorMessage);
  table = PortTable(*client);
  ASSERT_EQ(table.size(), 10u);
  EXPECT_FALSE(table[1].inUse);
  EXPECT_EQ(UIntArg(client->Pool(QStringLiteral("Release")), 0), 0u);
}

TEST_F(HostDbus, NeverStartedObjectsAnswerNotInitialised) {
  auto client = Client("never");
  QDBusMessage r = client->Pool(QStringLiteral("CreateTavra"));
  ASSERT_EQ(IntArg(r, 0), 0);
  const QString first = PathArg(r, 1);
  EXPECT_TRUE(first.startsWith(QStringLiteral("/dk/norvik/TavraLink/Tavra")));
  r = client->Pool(QStringLiteral("CreateTavra"));
  const QString second = PathArg(r, 1);
  EXPECT_NE(first, second);

  ASSERT_TRUE(client->ExportCallback(QStringLiteral("/cb")));
  r = client->Tavra(first, QStringLiteral("Client_Add"), {Path("/cb")});
  EXPECT_EQ(IntArg(r, 0), CommandFailed_NotInitialised);
  EXPECT_EQ(IntArg(r, 1), 0);
  r = client->Tavra(first, QStringLiteral("Client_AddEx"), {Path("/cb")});
  EXPECT_EQ(r.signature(), QStringLiteral("iii"));
  EXPECT_EQ(IntArg(r, 0), CommandFailed_NotInitialised);
  EXPECT_EQ(IntArg(r, 2), 0);
  EXPECT_EQ(
      IntArg(client->Tavra(first, QStringLiteral("Data_Request"), {1, 1, QByteArray(), Byte(0), 1}),
             0),
      CommandFailed_NotInitialised);

  EXPECT_EQ(UIntArg(client->Tavra(first, QStringLiteral("Release")), 0), 0u);
  EXPECT_EQ(client->Tavra(first, QStringLiteral("Release")).type(), QDBusMessage::ErrorMessage);
  EXPECT_EQ(UIntArg(client->Tavra(second, QStringLiteral("AddRef")), 0), 2u);
}

// Arguments of `signature` (the contract's types only): 0, the path "/" or an empty array.
QList<QVariant> ArgumentsOf(const QString& signature) {
  QList<QVariant> arguments;
  for (qsizetype k = 0; k < signature.size(); ++k) {
    const QChar type = signature[k];
    if (type == QLatin1Char('a')) {
      arguments.append(QByteArray());
      ++k;
    } else if (type == QLatin1Char('y')) {
      arguments.append(Byte(0));
    } else if (type == QLatin1Char('o')) {
      arguments.append(Path("/"));
    } else {
      arguments.append(0);
    }
  }
  return arguments;
}

TEST_F(HostDbus, EveryContractMethodTakesItsSignatureAndRefusesAnother) {
  auto client = Client("walk");
  const QDBusMessage created = client->Pool(QStringLiteral("CreateTavra"));
  ASSERT_EQ(IntArg(created, 0), 0);
  const QString object = PathArg(created, 1);
  // A second reference: the object outlives the Release of the walk.
  ASSERT_EQ(UIntArg(client->Tavra(object, QStringLiteral("AddRef")), 0), 2u);
  const std::pair<QString, QString> objects[] = {{PoolPath(), PoolInterface()},
                                                 {object, TavraInterface()}};
  for (const auto& [path, interfaceName] : objects) {
    ASSERT_FALSE(dbus::ContractMethods(interfaceName).isEmpty());
    for (const dbus::ContractMethod& method : dbus::ContractMethods(interfaceName)) {
      SCOPED_TRACE(method.name.toStdString());
      QList<QVariant> arguments = ArgumentsOf(method.in);
      const QDBusMessage right = client->Call(path, interfaceName, method.name, arguments);
      EXPECT_EQ(right.type(), QDBusMessage::ReplyMessage) << right.errorName().toStdString();
      EXPECT_EQ(right.signature(), method.out);
      arguments.append(0);  // one argument too many
      const QDBusMessage wrong = client->Call(path, interfaceName, method.name, arguments);
      EXPECT_EQ(wrong.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
      EXPECT_EQ(wrong.errorMessage(), QStringLiteral("%1 takes (%2)").arg(method.name, method.in));
    }
  }
}

TEST_F(HostDbus, ClosedConnectionLosesItsReferencesAndClients) {
  auto holder = Client("holder");
  auto leaver = Client("leaver");
  QDBusMessage r = leaver->Pool(QStringLiteral("GetTavraInterface"), {1, 0});
  ASSERT_EQ(IntArg(r, 0), 0);
  const QString port = PathArg(r, 1);
  ASSERT_TRUE(leaver->ExportCallback(QStringLiteral("/cb")));
  EXPECT_EQ(IntArg(leaver->Tavra(port, QStringLiteral("Client_Add"), {Path("/cb")}), 0), 0);
  EXPECT_EQ(IntArg(leaver->Tavra(port, QStringLiteral("Client_Add"), {Path("/cb")}), 0), 0);
  EXPECT_EQ(UIntArg(leaver->Tavra(port, QStringLiteral("AddRef")), 0), 2u);

  ASSERT_EQ(IntArg(holder->Pool(QStringLiteral("GetTavraInterface"), {1, 0}), 0), 0);
  ASSERT_EQ(PortTable(*holder).at(1).clientCount, 2);

  leaver->Disconnect();
  // Its two clients are removed and its two references dropped; the holder's one stays.
  ASSERT_TRUE(test::WaitUntil([&] { return PortTable(*holder).at(1).clientCount == 0; }, 10s));
  EXPECT_TRUE(PortTable(*holder).at(1).inUse);
  EXPECT_EQ(UIntArg(holder->Tavra(port, QStringLiteral("AddRef")), 0), 2u);
  EXPECT_EQ(UIntArg(holder->Tavra(port, QStringLiteral("Release")), 0), 1u);
  // The holder closing too leaves nothing: the port is closed.
  holder->Disconnect();
  auto observer = Client("observer");
  ASSERT_TRUE(test::WaitUntil([&] { return !PortTable(*observer).at(1).inUse; }, 10s));
}

TEST_F(HostDbus, ClientIdBelongsToTheConnectionThatRegisteredIt) {
  auto owner = Client("owner");
  auto other = Client("other");
  QDBusMessage r = owner->Pool(QStringLiteral("GetTavraInterface"), {1, 0});
  ASSERT_EQ(IntArg(r, 0), 0);
  const QString port = PathArg(r, 1);
  ASSERT_EQ(IntArg(other->Pool(QStringLiteral("GetTavraInterface"), {1, 0}), 0), 0);
  ASSERT_TRUE(owner->ExportCallback(QStringLiteral("/cb")));
  r = owner->Tavra(port, QStringLiteral("Client_Add"), {Path("/cb")});
  ASSERT_EQ(IntArg(r, 0), 0);
  const int id = IntArg(r, 1);

  // Every call of another connection that names the id is refused and changes nothing.
  const QByteArray data("\x01", 1);
  const QList<std::pair<QString, QList<QVariant>>> calls{
      {QStringLiteral("Client_Remove"), {id}},
      {QStringLiteral("Data_Request"), {id, 2, data, Byte(0), 7}},
      {QStringLiteral("Management_Request"), {id, 0x24000013}},
      {QStringLiteral("Management_SetupBackoff"), {id, 1, 100, 1, 100}},
      {QStringLiteral("Disconnect_Request"), {id, 1, data}}};
  for (const auto& [member, arguments] : calls) {
    r = other->Tavra(port, member, arguments);
    EXPECT_EQ(IntArg(r, 0), CommandFailed_ClientNotRegistered) << member.toStdString();
  }
  EXPECT_EQ(PortTable(*owner).at(1).clientCount, 1);
  // The owner still holds it, and removes it.
  r = owner->Tavra(port, QStringLiteral("Management_Request"), {id, 0x24000013});
  EXPECT_EQ(IntArg(r, 0), 0);
  EXPECT_EQ(IntArg(owner->Tavra(port, QStringLiteral("Client_Remove"), {id}), 0), 0);
  EXPECT_EQ(PortTable(*owner).at(1).clientCount, 0);
}

TEST_F(HostDbus, OneConnectionCannotHoldWithoutBound) {
  auto greedy = Client("greedy");
  auto modest = Client("modest");
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(IntArg(greedy->Pool(QStringLiteral("CreateTavra")), 0), 0) << i;
  }
  QDBusMessage r = greedy->Pool(QStringLiteral("CreateTavra"));
  EXPECT_EQ(IntArg(r, 0), CommandFailed_ResourcesLow);
  EXPECT_EQ(PathArg(r, 1), QStringLiteral("/"));
  // References in all: AddRef stops counting at the bound, GetTavraInterface is refused.
  std::uint32_t total = 0;
  for (int i = 0; i < 1100; ++i) {
    total = UIntArg(greedy->Pool(QStringLiteral("AddRef")), 0);
  }
  EXPECT_EQ(total, 1024u - 16u);
  EXPECT_EQ(IntArg(greedy->Pool(QStringLiteral("GetTavraInterface"), {1, 0}), 0),
            CommandFailed_ResourcesLow);
  // Another program is not hurt.
  EXPECT_EQ(IntArg(modest->Pool(QStringLiteral("CreateTavra")), 0), 0);
  EXPECT_EQ(IntArg(modest->Pool(QStringLiteral("GetTavraInterface"), {1, 0}), 0), 0);
}

// Run as a child by KilledClientFreesItsLinkAddresses: registers 18 clients on COM1, says
// READY and waits to be killed.
TEST(HostDbusHelper, DISABLED_HoldEighteenClients) {
  const QString address = qEnvironmentVariable("HOST_HELPER_BUS");
  if (address.isEmpty()) {
    GTEST_SKIP() << "helper of KilledClientFreesItsLinkAddresses";
  }
  test::EnsureApplication();
  RawClient client(address, QStringLiteral("helper"));
  const QDBusMessage r = client.Pool(QStringLiteral("GetTavraInterface"), {1, 0});
  ASSERT_EQ(IntArg(r, 0), 0);
  ASSERT_TRUE(client.ExportCallback(QStringLiteral("/cb")));
  for (int i = 0; i < 18; ++i) {
    ASSERT_EQ(IntArg(client.Tavra(PathArg(r, 1), QStringLiteral("Client_Add"), {Path("/cb")}), 0),
              0);
  }
  std::cout << "READY" << std::endl;
  // Until killed (at most a minute, should the parent be gone).
  Event never;
  never.Wait(60s);
}

TEST_F(HostDbus, KilledClientFreesItsLinkAddresses) {
  // Descriptor 3 is the pipe nobody reads: the helper's output goes to the file.
  const std::filesystem::path output = m_server->File("helper.out");
  tavra::test::ChildProcess helper({QCoreApplication::applicationFilePath().toStdString(),
                                    "--gtest_filter=HostDbusHelper.DISABLED_HoldEighteenClients",
                                    "--gtest_also_run_disabled_tests"},
                                   {{"HOST_HELPER_BUS", m_bus.Address().toStdString()}}, output, 3);
  ASSERT_TRUE(helper.Started());
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        return tavra::test::ReadFile(output).find("READY") != std::string::npos ||
               helper.Wait(0ms).has_value();
      },
      30s));
  ASSERT_FALSE(helper.Wait(0ms).has_value()) << tavra::test::ReadFile(output);

  auto client = Client("after");
  QDBusMessage r = client->Pool(QStringLiteral("GetTavraInterface"), {1, 0});
  ASSERT_EQ(IntArg(r, 0), 0);
  const QString port = PathArg(r, 1);
  ASSERT_TRUE(client->ExportCallback(QStringLiteral("/cb")));
  // Every link address is taken.
  EXPECT_EQ(IntArg(client->Tavra(port, QStringLiteral("Client_Add"), {Path("/cb")}), 0),
            CommandFailed_ClientNotRegistered);

  helper.Signal(SIGKILL);  // no chance to clean up
  ASSERT_TRUE(helper.Wait(5s).has_value());
  ASSERT_TRUE(test::WaitUntil([&] { return PortTable(*client).at(1).clientCount == 0; }, 10s));

  for (int i = 0; i < 18; ++i) {
    r = client->Tavra(port, QStringLiteral("Client_Add"), {Path("/cb")});
    EXPECT_EQ(IntArg(r, 0), 0) << "client " << i;
  }
  EXPECT_EQ(IntArg(client->Tavra(port, QStringLiteral("Client_Add"), {Path("/cb")}), 0),
            CommandFailed_ClientNotRegistered);
}

TEST_F(HostDbus, SecondServerEndsAtOnceAndLeavesTheFirstServing) {
  test::ServerUnderTest second(m_bus);
  ASSERT_TRUE(second.Start());
  ASSERT_TRUE(second.WaitForExit(10s));
  EXPECT_TRUE(second.NormalExit());
  EXPECT_NE(second.ExitCode(), 0);
  EXPECT_TRUE(m_server->OwnsName());
  auto client = Client("first");
  EXPECT_EQ(PortTable(*client).size(), 10u);
}

TEST_F(HostDbus, TerminateEndsInOrderAndLaterCallsFail) {
  auto client = Client("term");
  QDBusMessage r = client->Pool(QStringLiteral("GetTavraInterface"), {1, 0});
  ASSERT_EQ(IntArg(r, 0), 0);
  m_server->Terminate();
  ASSERT_TRUE(m_server->WaitForExit(10s));
  EXPECT_TRUE(m_server->NormalExit());
  EXPECT_EQ(m_server->ExitCode(), 0);
  // The server is gone: calls to it fail with a D-Bus error.
  r = client->Tavra(PathArg(r, 1), QStringLiteral("AddRef"));
  EXPECT_EQ(r.type(), QDBusMessage::ErrorMessage);
}

}  // namespace
}  // namespace tavra::host
