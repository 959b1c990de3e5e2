#include "host_support.h"

#include <QtCore/QDir>
#include <QtDBus/QDBusConnectionInterface>
#include <QtDBus/QDBusObjectPath>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <csignal>
#include <mutex>
#include <string>

#include "server/host/dbus_names.h"
#include "tests/common/file_contents.h"

namespace tavra::host::test {

void EnsureApplication() {
  if (QCoreApplication::instance() != nullptr) {
    return;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "host_test";
  static char* argv[] = {name, nullptr};
  // Kept to the end of the program on purpose (static destruction order with QtDBus).
  static auto* app = new QApplication(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  (void)app;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  return QTest::qWaitFor(condition, static_cast<int>(timeout.count()));
}

ServerUnderTest::ServerUnderTest(const PrivateBus& bus)
    : m_bus(bus),
      m_watch(QDBusConnection::connectToBus(
          bus.Address(), QStringLiteral("watch-%1").arg(reinterpret_cast<quintptr>(this)))) {
  QDir().mkpath(ConfigDir());
  QDir().mkpath(DataDir());
  QDir().mkpath(PortDir());
}

ServerUnderTest::~ServerUnderTest() {
  const QString name = m_watch.name();
  QDBusConnection::disconnectFromBus(name);
}

QString ServerUnderTest::ConfigDir() const {
  return QString::fromStdString(File("config").string());
}
QString ServerUnderTest::DataDir() const {
  return QString::fromStdString(File("data").string());
}
QString ServerUnderTest::PortDir() const {
  return QString::fromStdString(File("ports").string());
}

tavra::test::Environment ServerUnderTest::Environment() const {
  return {{"DBUS_SESSION_BUS_ADDRESS", m_bus.Address().toStdString()},
          {"XDG_CONFIG_HOME", ConfigDir().toStdString()},
          {"XDG_DATA_HOME", DataDir().toStdString()},
          {"TAVRA_PORT_DIR", PortDir().toStdString()},
          {"QT_QPA_PLATFORM", "offscreen"}};
}

bool ServerUnderTest::Start(const QStringList& arguments) {
  if (m_process) {
    return false;
  }
  std::vector<std::string> argv{TavralinkProgram().toStdString()};
  for (const QString& a : arguments) {
    argv.push_back(a.toStdString());
  }
  // Descriptor 3 is the pipe nobody reads: standard output and error both go to the file.
  m_process = std::make_unique<tavra::test::ChildProcess>(argv, Environment(), File("output"), 3);
  return m_process->Started();
}

bool ServerUnderTest::OwnsName() const {
  QDBusConnectionInterface* bus = m_watch.interface();
  if (bus == nullptr || !m_process) {
    return false;
  }
  const QDBusReply<uint> pid = bus->servicePid(ServiceName());
  return pid.isValid() && static_cast<pid_t>(pid.value()) == m_process->Pid();
}

bool ServerUnderTest::WaitForName(std::chrono::milliseconds timeout) {
  return WaitUntil([this] { return OwnsName() || !Running(); }, timeout) && OwnsName();
}

std::optional<int> ServerUnderTest::Ended() const {
  return m_process ? m_process->Wait(0ms) : std::nullopt;
}

bool ServerUnderTest::WaitForExit(std::chrono::milliseconds timeout) {
  return m_process && m_process->Wait(timeout).has_value();
}

bool ServerUnderTest::Running() const {
  return m_process && m_process->Started() && !Ended();
}

int ServerUnderTest::ExitCode() const {
  return NormalExit() ? *Ended() : -1;
}

bool ServerUnderTest::NormalExit() const {
  const std::optional<int> ended = Ended();
  return ended && *ended >= 0;
}

void ServerUnderTest::Terminate() {
  if (m_process) {
    m_process->Signal(SIGTERM);
  }
}

QString ServerUnderTest::Output() const {
  return QString::fromLocal8Bit(QByteArray::fromStdString(tavra::test::ReadFile(File("output"))));
}

class RawClient::Recorder : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
    if (message.interface() == QLatin1StringView("org.freedesktop.DBus.Introspectable")) {
      return false;
    }
    ReceivedCall call{message.path(),      message.interface(), message.member(),
                      message.signature(), message.arguments(), message.isReplyRequired()};
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(std::move(call));
    return true;  // no answer: the server expects none
  }
  std::vector<ReceivedCall> Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<ReceivedCall> m_calls;
};

RawClient::RawClient(const QString& busAddress, const QString& connectionName)
    : m_name(connectionName),
      m_connection(QDBusConnection::connectToBus(busAddress, connectionName)),
      m_recorder(std::make_unique<Recorder>()) {}

RawClient::~RawClient() {
  Disconnect();
}

void RawClient::Disconnect() {
  if (m_connection.isConnected()) {
    m_connection.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
  }
  QDBusConnection::disconnectFromBus(m_name);
  m_connection = QDBusConnection(m_name);
}

QDBusMessage RawClient::Call(const QString& path,
                             const QString& interface,
                             const QString& method,
                             const QList<QVariant>& arguments,
                             int timeoutMs) {
  if (m_server.isEmpty()) {
    // The first call may go by the well-known name; every later one to the owner.
    const QDBusReply<QString> owner = m_connection.interface()->serviceOwner(ServiceName());
    if (owner.isValid()) {
      m_server = owner.value();
    }
  }
  QDBusMessage message = QDBusMessage::createMethodCall(
      m_server.isEmpty() ? ServiceName() : m_server, path, interface, method);
  message.setArguments(arguments);
  return m_connection.call(message, QDBus::Block, timeoutMs);
}

QDBusMessage RawClient::Pool(const QString& method, const QList<QVariant>& arguments) {
  return Call(PoolPath(), PoolInterface(), method, arguments);
}

QDBusMessage RawClient::Tavra(const QString& path,
                              const QString& method,
                              const QList<QVariant>& arguments) {
  return Call(path, TavraInterface(), method, arguments);
}

bool RawClient::ExportCallback(const QString& path) {
  return m_connection.registerVirtualObject(path, m_recorder.get());
}

std::vector<ReceivedCall> RawClient::Received() const {
  return m_recorder->Calls();
}

int RawClient::WaitForCall(const QString& member,
                           const std::function<bool(const ReceivedCall&)>& match,
                           std::chrono::milliseconds timeout) const {
  int found = -1;
  WaitUntil(
      [&] {
        const std::vector<ReceivedCall> calls = Received();
        for (std::size_t i = 0; i < calls.size(); ++i) {
          if (calls[i].member == member && (!match || match(calls[i]))) {
            found = static_cast<int>(i);
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

int IntArg(const QDBusMessage& reply, int index) {
  const QList<QVariant> args = reply.arguments();
  if (reply.type() != QDBusMessage::ReplyMessage || index >= args.size()) {
    return kNoArgument;
  }
  return args[index].toInt();
}

quint32 UIntArg(const QDBusMessage& reply, int index) {
  const QList<QVariant> args = reply.arguments();
  if (reply.type() != QDBusMessage::ReplyMessage || index >= args.size()) {
    return static_cast<quint32>(kNoArgument);
  }
  return args[index].toUInt();
}

QString PathArg(const QDBusMessage& reply, int index) {
  const QList<QVariant> args = reply.arguments();
  return index < args.size() ? qvariant_cast<QDBusObjectPath>(args[index]).path() : QString();
}

std::vector<dbus::PortTableRow> PortTableOf(const QDBusMessage& reply) {
  std::vector<dbus::PortTableRow> rows;
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
    return rows;
  }
  const auto arg = qvariant_cast<QDBusArgument>(reply.arguments().at(0));
  arg.beginArray();
  while (!arg.atEnd()) {
    dbus::PortTableRow row;
    arg >> row;
    rows.push_back(row);
  }
  arg.endArray();
  return rows;
}

QString TavralinkProgram() {
  return QStringLiteral(TAVRALINK_PROGRAM_PATH);
}

}  // namespace tavra::host::test
