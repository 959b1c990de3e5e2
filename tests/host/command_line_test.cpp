// The command line of tavralink: which lines name an option, and what the three options do
// (in process, and the program itself for the activation file).

#include "server/host/command_line.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QSettings>
#include <QtCore/QTemporaryDir>
#include <QtDBus/QDBusConnectionInterface>
#include <QtDBus/QDBusReply>
#include <csignal>
#include <optional>

#include "host_support.h"
#include "server/host/dbus_names.h"
#include "server/host/server_process.h"
#include "server/host/service_file.h"
#include "server/stack/server_settings.h"
#include "tests/common/scoped_env.h"

namespace tavra::host {
namespace {

using namespace std::chrono_literals;

struct LineCase {
  const char* line;
  CommandLineOption expected;
};

TEST(HostCommandLine, OptionOnlyAsTheLastThingOnTheLine) {
  const LineCase cases[] = {
      {"/regserver", CommandLineOption::RegServer},
      {"-RegServer", CommandLineOption::RegServer},
      {"--RegServer", CommandLineOption::RegServer},  // the second '-' starts the option
      {"/REGSERVER", CommandLineOption::RegServer},
      {"-unregserver", CommandLineOption::UnregServer},
      {"/UnregServer", CommandLineOption::UnregServer},
      {"-WriteRegistry", CommandLineOption::WriteRegistry},
      {"/writeregistry", CommandLineOption::WriteRegistry},
      {"foo /RegServer", CommandLineOption::RegServer},
      {"-x -RegServer", CommandLineOption::RegServer},
      {"a/b-c/RegServer", CommandLineOption::RegServer},
      {"/regserver foo", CommandLineOption::None},
      {"/RegServer ", CommandLineOption::None},
      {"RegServer", CommandLineOption::None},
      {"/Reg Server", CommandLineOption::None},
      {"/RegServerX", CommandLineOption::None},
      {"-Embedding", CommandLineOption::None},
      {"", CommandLineOption::None},
      {"-", CommandLineOption::None},
  };
  for (const LineCase& c : cases) {
    EXPECT_EQ(ParseCommandLine(QString::fromLatin1(c.line)), c.expected) << c.line;
  }
}

TEST(HostCommandLine, LineIsTheArgumentsAfterTheProgramJoinedWithSpaces) {
  EXPECT_EQ(CommandLineFromArguments({QStringLiteral("/usr/bin/tavralink")}), QString());
  EXPECT_EQ(CommandLineFromArguments({QStringLiteral("/x/tavralink"), QStringLiteral("/regserver"),
                                      QStringLiteral("foo")}),
            QStringLiteral("/regserver foo"));
  // A program path full of '/' and '-' never makes an option by itself.
  EXPECT_EQ(ParseCommandLine(CommandLineFromArguments({QStringLiteral("/opt/a-RegServer")})),
            CommandLineOption::None);
}

// In process: the run ends after the option, before any icon.
class HostOptionRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // QSettings fixes its folders at first use: one folder for the whole program.
    s_dir = new QTemporaryDir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(s_dir->filePath(QStringLiteral("config"))));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(s_dir->filePath(QStringLiteral("system"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(s_dir->filePath(QStringLiteral("data"))));
    test::EnsureApplication();
  }
  static QString SettingsFile() {
    return s_dir->filePath(QStringLiteral("config/Norvik as/Tavra Server.ini"));
  }
  int Run(const QStringList& arguments) {
    ServerRunOptions options;
    options.createTray = [this](const std::function<void()>&) -> std::unique_ptr<QObject> {
      ++m_traysMade;
      return nullptr;
    };
    return RunServer(arguments, options);
  }
  int m_traysMade = 0;
  static QTemporaryDir* s_dir;
};
QTemporaryDir* HostOptionRun::s_dir = nullptr;

TEST_F(HostOptionRun, WriteRegistryWritesExactlyTheThirteenDefaultsAndShowsNoIcon) {
  {
    QSettings old(SettingsFile(), QSettings::IniFormat);
    old.setValue(QStringLiteral("PreferredBitRate"), 9600);
    old.setValue(QStringLiteral("SomethingElse"), 1);
  }
  EXPECT_EQ(Run({QStringLiteral("tavralink"), QStringLiteral("-WriteRegistry")}), 0);
  EXPECT_EQ(m_traysMade, 0);
  QSettings written(SettingsFile(), QSettings::IniFormat);
  const QStringList keys = written.allKeys();
  ASSERT_EQ(keys.size(), stack::kSettingCount) << keys.join(QLatin1Char(',')).toStdString();
  for (const stack::SettingDefinition& def : stack::kSettingDefinitions) {
    const QString name =
        QString::fromUtf8(def.name.data(), static_cast<qsizetype>(def.name.size()));
    EXPECT_EQ(written.value(name).toString(), QString::number(def.defaultValue)) << def.name;
  }
}

TEST_F(HostOptionRun, RegServerWritesTheActivationFileAndUnregServerRemovesIt) {
  const QString file = ServiceFilePath();
  EXPECT_TRUE(file.startsWith(s_dir->filePath(QStringLiteral("data/dbus-1/services/"))));
  EXPECT_TRUE(file.endsWith(QStringLiteral("/dk.norvik.TavraLink.service")));
  ASSERT_EQ(Run({QStringLiteral("tavralink"), QStringLiteral("/regserver")}), 0);
  EXPECT_EQ(m_traysMade, 0);
  QFile written(file);
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  EXPECT_EQ(QString::fromUtf8(written.readAll()),
            QStringLiteral("[D-BUS Service]\nName=dk.norvik.TavraLink\nExec='%1'\n")
                .arg(QCoreApplication::applicationFilePath()));
  written.close();

  ASSERT_EQ(Run({QStringLiteral("tavralink"), QStringLiteral("-UnregServer")}), 0);
  EXPECT_FALSE(QFile::exists(file));
  // Removing what is not there is no failure.
  EXPECT_EQ(Run({QStringLiteral("tavralink"), QStringLiteral("-UnregServer")}), 0);
}

TEST_F(HostOptionRun, RegServerThatCannotWriteFailsWithNonZeroCode) {
  // The services folder is a file: nothing can be written below it.
  const QString blocker = s_dir->filePath(QStringLiteral("blocked"));
  QDir().mkpath(blocker);
  QFile dbusDir(blocker + QStringLiteral("/dbus-1"));
  ASSERT_TRUE(dbusDir.open(QIODevice::WriteOnly));
  dbusDir.close();
  const tavra::test::ScopedEnv dataHome("XDG_DATA_HOME", QFile::encodeName(blocker).toStdString());
  EXPECT_NE(Run({QStringLiteral("tavralink"), QStringLiteral("-RegServer")}), 0);
}

TEST(HostServiceFile, RelativeDataHomeFallsBackToTheHomeFolder) {
  const tavra::test::ScopedEnv dataHome("XDG_DATA_HOME", "relative/path");
  EXPECT_EQ(ServiceFileDirectory(),
            QDir::homePath() + QStringLiteral("/.local/share/dbus-1/services"));
  qunsetenv("XDG_DATA_HOME");
  EXPECT_EQ(ServiceFileDirectory(),
            QDir::homePath() + QStringLiteral("/.local/share/dbus-1/services"));
}

// The program itself: the file names the absolute path of the running program.
TEST(HostProgramOptions, RegServerAndUnregServerOfTheProgram) {
  test::EnsureApplication();
  test::PrivateBus bus;
  ASSERT_TRUE(bus.Ready());
  test::ServerUnderTest server(bus);
  ASSERT_TRUE(server.Start({QStringLiteral("/RegServer")}));
  ASSERT_TRUE(server.WaitForExit(10s));
  EXPECT_EQ(server.ExitCode(), 0);
  const QString file =
      server.DataDir() + QStringLiteral("/dbus-1/services/dk.norvik.TavraLink.service");
  QFile written(file);
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(written.readAll());
  EXPECT_TRUE(text.contains(QStringLiteral("\nName=dk.norvik.TavraLink\n")));
  EXPECT_TRUE(text.contains(QStringLiteral("\nExec='%1'\n").arg(test::TavralinkProgram())));
  EXPECT_FALSE(server.OwnsName());

  // The removal runs with the same folders.
  tavra::test::ChildProcess process({test::TavralinkProgram().toStdString(), "-unregserver"},
                                    server.Environment(), server.File("unregserver.out"), 3);
  ASSERT_TRUE(process.Started());
  const std::optional<int> exitCode = process.Wait(10s);
  ASSERT_TRUE(exitCode.has_value());
  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(QFile::exists(file));
}

// After RegServer the bus itself starts the server when a client calls the well-known name.
TEST(HostProgramOptions, RegisteredServerIsStartedByTheBus) {
  test::EnsureApplication();
  const tavra::test::TempDir dataHome;
  {
    test::PrivateBus bus;
    ASSERT_TRUE(bus.Ready());
    test::ServerUnderTest registration(bus);
    tavra::test::Environment env = registration.Environment();
    env["XDG_DATA_HOME"] = dataHome.Path().string();
    tavra::test::ChildProcess process({test::TavralinkProgram().toStdString(), "-RegServer"}, env,
                                      registration.File("regserver.out"), 3);
    ASSERT_TRUE(process.Started());
    const std::optional<int> exitCode = process.Wait(10s);
    ASSERT_TRUE(exitCode.has_value());
    ASSERT_EQ(exitCode, 0);
  }
  // A bus that reads its service files from there.
  test::PrivateBus bus({{"XDG_DATA_HOME", dataHome.Path().string()}});
  ASSERT_TRUE(bus.Ready());
  QDBusConnection client = QDBusConnection::connectToBus(bus.Address(), QStringLiteral("activate"));
  QDBusMessage call = QDBusMessage::createMethodCall(ServiceName(), PoolPath(), PoolInterface(),
                                                     QStringLiteral("GetPortTable"));
  call.setAutoStartService(true);
  const QDBusMessage reply = client.call(call, QDBus::Block, 20000);
  EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
  const QDBusReply<uint> pid = client.interface()->servicePid(ServiceName());
  ASSERT_TRUE(pid.isValid());
  // The started server ends in order.
  ::kill(static_cast<pid_t>(pid.value()), SIGTERM);
  EXPECT_TRUE(test::WaitUntil(
      [&] { return !client.interface()->isServiceRegistered(ServiceName()); }, 10s));
  QDBusConnection::disconnectFromBus(QStringLiteral("activate"));
}

// Settings that cannot be written: the message goes where someone sees it, and the run ends.
TEST(HostProgramOptions, WriteRegistryFailureWithoutAScreenEndsWithTheMessage) {
  test::EnsureApplication();
  test::PrivateBus bus;
  ASSERT_TRUE(bus.Ready());
  test::ServerUnderTest server(bus);
  // The settings folder "Norvik as" is a file.
  QFile blocker(server.ConfigDir() + QStringLiteral("/Norvik as"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  ASSERT_TRUE(server.Start({QStringLiteral("-WriteRegistry")}));
  ASSERT_TRUE(server.WaitForExit(10s));
  EXPECT_EQ(server.ExitCode(), 0);
  EXPECT_TRUE(
      server.Output().contains(QStringLiteral("Tavra Server: Error writing registry data")));
  EXPECT_FALSE(server.OwnsName());
}

// "/regserver foo": not an option, the server starts normally and registers nothing.
TEST(HostProgramOptions, OptionFollowedByAWordStartsTheServer) {
  test::EnsureApplication();
  test::PrivateBus bus;
  ASSERT_TRUE(bus.Ready());
  test::ServerUnderTest server(bus);
  ASSERT_TRUE(server.Start({QStringLiteral("/regserver"), QStringLiteral("foo")}));
  ASSERT_TRUE(server.WaitForName()) << server.Output().toStdString();
  EXPECT_FALSE(QFile::exists(server.DataDir() +
                             QStringLiteral("/dbus-1/services/dk.norvik.TavraLink.service")));
  server.Terminate();
  ASSERT_TRUE(server.WaitForExit(10s));
  EXPECT_TRUE(server.NormalExit());
  EXPECT_EQ(server.ExitCode(), 0);
}

}  // namespace
}  // namespace tavra::host
