#include "host_support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtCore/QElapsedTimer>
#include <QtDBus/QDBusConnectionInterface>
#include <QtDBus/QDBusObjectPath>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>

#include "server/host/dbus_names.h"

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
  static QApplication* app = new QApplication(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  (void)app;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  return QTest::qWaitFor(condition, static_cast<int>(timeout.count()));
}

PrivateBus::PrivateBus() {
  // Started from a short-lived thread of its own: a spawn (vfork underneath) leaves
  // ThreadSanitizer's view of the spawning thread confused, and that thread then ends.
  std::thread spawner([this] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    char program[] = "dbus-daemon";
    char session[] = "--session";
    char nofork[] = "--nofork";
    char nosyslog[] = "--nosyslog";
    char print[] = "--print-address=1";
    char* argv[] = {program, session, nofork, nosyslog, print, nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc == 0) {
      m_pid = pid;
      std::string line;
      pollfd pfd{fds[0], POLLIN, 0};
      char buffer[256];
      while (line.find('\n') == std::string::npos && ::poll(&pfd, 1, 10000) > 0) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
          break;
        }
        line.append(buffer, static_cast<std::size_t>(n));
      }
      const std::size_t end = line.find('\n');
      if (end != std::string::npos) {
        m_address = QString::fromStdString(line.substr(0, end)).trimmed();
      }
    }
    ::close(fds[0]);
  });
  spawner.join();
}

PrivateBus::~PrivateBus() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGTERM);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0 && Running()) {
    ::kill(m_pid, SIGKILL);
  }
  if (m_reaper.joinable()) {
    m_reaper.join();
  }
  if (m_output >= 0) {
    ::close(m_output);
  }
}

bool ChildProcess::Start(const QString& program,
                         const QStringList& arguments,
                         const QProcessEnvironment& env) {
  if (m_pid > 0) {
    return false;
  }
  std::vector<std::string> args{program.toStdString()};
  for (const QString& a : arguments) {
    args.push_back(a.toStdString());
  }
  std::vector<std::string> vars;
  for (const QString& v : env.toStringList()) {
    vars.push_back(v.toStdString());
  }
  std::thread spawner([&] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return;
    }
    std::vector<char*> argv;
    for (std::string& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& v : vars) {
      envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
      m_pid = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    m_output = fds[0];
  });
  spawner.join();
  if (m_pid <= 0) {
    return false;
  }
  m_reaper = std::thread([this] {
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_status = status;
    m_exited.Set();
  });
  return true;
}

bool ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  return m_pid > 0 && m_exited.Wait(timeout);
}

bool ChildProcess::Running() const {
  return m_pid > 0 && !m_exited.IsSet();
}

bool ChildProcess::NormalExit() const {
  return m_exited.IsSet() && WIFEXITED(m_status.load());
}

int ChildProcess::ExitCode() const {
  return m_exited.IsSet() && WIFEXITED(m_status.load()) ? WEXITSTATUS(m_status.load()) : -1;
}

void ChildProcess::Signal(int signal) {
  if (Running()) {
    ::kill(m_pid, signal);
  }
}

QString ChildProcess::Output() {
  char chunk[4096];
  ssize_t n = 0;
  while (m_output >= 0 && (n = ::read(m_output, chunk, sizeof chunk)) > 0) {
    m_buffer.append(chunk, n);
  }
  return QString::fromLocal8Bit(m_buffer);
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
  return m_dir.filePath(QStringLiteral("config"));
}
QString ServerUnderTest::DataDir() const {
  return m_dir.filePath(QStringLiteral("data"));
}
QString ServerUnderTest::PortDir() const {
  return m_dir.filePath(QStringLiteral("ports"));
}

QProcessEnvironment ServerUnderTest::Environment() const {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.Address());
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), ConfigDir());
  env.insert(QStringLiteral("XDG_DATA_HOME"), DataDir());
  env.insert(QStringLiteral("TAVRA_PORT_DIR"), PortDir());
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  return env;
}

bool ServerUnderTest::Start(const QStringList& arguments) {
  return m_process.Start(TavralinkProgram(), arguments, Environment());
}

bool ServerUnderTest::OwnsName() const {
  QDBusConnectionInterface* bus = m_watch.interface();
  if (bus == nullptr) {
    return false;
  }
  const QDBusReply<uint> pid = bus->servicePid(ServiceName());
  return pid.isValid() && static_cast<qint64>(pid.value()) == m_process.Pid();
}

bool ServerUnderTest::WaitForName(std::chrono::milliseconds timeout) {
  return WaitUntil([this] { return OwnsName() || !Running(); }, timeout) && OwnsName();
}

bool ServerUnderTest::WaitForExit(std::chrono::milliseconds timeout) {
  return m_process.WaitForExit(timeout);
}

bool ServerUnderTest::Running() const {
  return m_process.Running();
}

void ServerUnderTest::Terminate() {
  m_process.Signal(SIGTERM);
}

QString ServerUnderTest::Output() {
  return m_process.Output();
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
                           std::chrono::milliseconds timeout) {
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
  const QDBusArgument arg = qvariant_cast<QDBusArgument>(reply.arguments().at(0));
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
