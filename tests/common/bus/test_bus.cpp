#include "test_bus.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <atomic>

#include "tests/common/wait_until.h"

namespace tavra::test {
namespace {

const char kServerName[] = "dk.norvik.TavraLink";

// QtDBus needs an application object; the tests never run its event loop. Here, beside the bus,
// so that every program that makes a bus has one.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "tavra_test";
    static char* argv[] = {name, nullptr};
    m_app = std::make_unique<QCoreApplication>(argc, argv);
  }
  void TearDown() override { m_app.reset(); }

 private:
  std::unique_ptr<QCoreApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

QDBusMessage CallBus(const std::string& connectionName,
                     const char* method,
                     const std::string& name) {
  QDBusMessage message = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QString::fromLatin1(method));
  message.setArguments({QString::fromStdString(name)});
  return QDBusConnection(QString::fromStdString(connectionName)).call(message, QDBus::Block);
}

}  // namespace

TestBus::TestBus(bool registered) : TestBus(registered, TAVRALINK_PATH) {}

TestBus::TestBus(bool registered, const std::string& program) {
  PointEnvironmentHere();
  if (registered && !Register(program)) {
    return;
  }
  m_daemon = std::make_unique<BusDaemon>(Dir());
  if (m_daemon->Ready() && Connect()) {
    m_address = m_daemon->Address();
  }
}

TestBus::~TestBus() {
  if (Ready()) {
    const pid_t server = ProcessOf(kServerName);
    if (server > 0 && server != ::getpid()) {
      ::kill(server, SIGTERM);
      if (!WaitProcessEnd(server, kWait)) {
        ::kill(server, SIGKILL);
        WaitProcessEnd(server, kWait);
      }
    }
    QDBusConnection::disconnectFromBus(QString::fromStdString(m_connectionName));
  }
}

void TestBus::PointEnvironmentHere() {
  for (const char* sub : {"data", "nodata", "config", "ports"}) {
    std::filesystem::create_directories(m_dir / sub);
  }
  ::setenv("XDG_DATA_HOME", (m_dir / "data").c_str(), 1);
  ::setenv("XDG_DATA_DIRS", (m_dir / "nodata").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (m_dir / "config").c_str(), 1);
  ::setenv("TAVRA_PORT_DIR", PortFolder().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The daemon's socket, before it listens: what a program started first must not miss.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", BusDaemon::SocketAddress(Dir()).c_str(), 1);
  ::unsetenv("TAVRALINK_PROGRAM");
  ::unsetenv("DBUS_STARTER_ADDRESS");
  ::unsetenv("DBUS_STARTER_BUS_TYPE");
}

bool TestBus::Register(const std::string& program) {
  const ProgramOutcome reg = Run({program, "--RegServer"});
  if (reg.exitCode != 0 || !std::filesystem::exists(ServiceFile())) {
    ADD_FAILURE() << "tavralink --RegServer: exit " << reg.exitCode << ": " << reg.err;
    return false;
  }
  return true;
}

bool TestBus::Connect() {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", m_daemon->Address().c_str(), 1);
  static std::atomic<int> counter{0};
  m_connectionName = "test-bus-" + std::to_string(++counter);
  const QDBusConnection bus = QDBusConnection::connectToBus(
      QString::fromStdString(m_daemon->Address()), QString::fromStdString(m_connectionName));
  if (!bus.isConnected()) {
    ADD_FAILURE() << "cannot connect to the test bus";
    return false;
  }
  return true;
}

std::filesystem::path TestBus::ServiceFile() const {
  return m_dir / "data" / "dbus-1" / "services" / "dk.norvik.TavraLink.service";
}

bool TestBus::NameHasOwner(const std::string& name) {
  const QDBusMessage reply = CallBus(m_connectionName, "NameHasOwner", name);
  return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
}

std::string TestBus::NameOwner(const std::string& name) {
  const QDBusMessage reply = CallBus(m_connectionName, "GetNameOwner", name);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    return {};
  }
  return reply.arguments().value(0).toString().toStdString();
}

pid_t TestBus::ProcessOf(const std::string& name) {
  const QDBusMessage reply = CallBus(m_connectionName, "GetConnectionUnixProcessID", name);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    return 0;
  }
  return static_cast<pid_t>(reply.arguments().value(0).toUInt());
}

bool TestBus::StopServer(int signal) {
  const pid_t server = ProcessOf(kServerName);
  if (server <= 0 || server == ::getpid()) {
    return false;
  }
  ::kill(server, signal);
  return WaitProcessEnd(server, kWait);
}

ProgramOutcome TestBus::Run(const std::vector<std::string>& argv, const Environment& environment) {
  return RunToEnd(argv, environment, m_dir / "run-stderr", 30s);
}

}  // namespace tavra::test
