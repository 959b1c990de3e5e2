#pragma once
// Helpers of the host tests: the application object, a private session bus, tavralink started
// as a child process with its own folders, a plain D-Bus client that is not the project's proxy
// (raw QDBusMessage calls, and a callback object that records what the server sends), and a
// simulated controller on a pseudo-terminal.

#include <QtCore/QProcessEnvironment>
#include <QtCore/QStringList>
#include <QtCore/QTemporaryDir>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVirtualObject>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "shared/dbus/port_table_row.h"
#include "shared/sync_event.h"

namespace tavra::host::test {

using namespace std::chrono_literals;

// The QApplication of the test program (offscreen), made on first use and kept to the end.
void EnsureApplication();

// Waits for `condition` while serving events, at most `timeout`.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A session bus of its own (dbus-daemon), so tests running side by side never share the
// server's well-known name.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  [[nodiscard]] bool Ok() const { return !m_address.isEmpty(); }
  [[nodiscard]] const QString& Address() const { return m_address; }

 private:
  int m_pid = -1;
  QString m_address;
};

// A program run as a child. It is spawned from a short-lived thread of its own and reaped by
// another (ThreadSanitizer loses track of a thread that spawns: vfork underneath), its standard
// output and error go to one pipe, and the end is an event (no polling).
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // SIGKILL if still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Start(const QString& program, const QStringList& arguments, const QProcessEnvironment& env);
  bool WaitForExit(std::chrono::milliseconds timeout);
  [[nodiscard]] bool Running() const;
  [[nodiscard]] bool NormalExit() const;  // ended by exit(), not by a signal
  [[nodiscard]] int ExitCode() const;
  [[nodiscard]] qint64 Pid() const { return m_pid; }
  void Signal(int signal);
  // Everything the child wrote so far.
  QString Output();

 private:
  int m_pid = -1;
  int m_output = -1;
  std::atomic<int> m_status{0};
  Event m_exited{Event::Mode::ManualReset};
  std::thread m_reaper;
  QByteArray m_buffer;
};

// tavralink as a child process on `bus`, with its own configuration, data and COM port folders.
class ServerUnderTest {
 public:
  explicit ServerUnderTest(const PrivateBus& bus);
  ~ServerUnderTest();  // SIGKILL if still running

  [[nodiscard]] QString ConfigDir() const;
  [[nodiscard]] QString DataDir() const;
  [[nodiscard]] QString PortDir() const;
  [[nodiscard]] QProcessEnvironment Environment() const;

  bool Start(const QStringList& arguments = {});
  // Waits until the server owns dk.norvik.TavraLink.
  bool WaitForName(std::chrono::milliseconds timeout = 10s);
  [[nodiscard]] bool OwnsName() const;
  bool WaitForExit(std::chrono::milliseconds timeout);
  [[nodiscard]] bool Running() const;
  [[nodiscard]] int ExitCode() const { return m_process.ExitCode(); }
  [[nodiscard]] bool NormalExit() const { return m_process.NormalExit(); }
  void Terminate();  // SIGTERM
  [[nodiscard]] QString Output();

 private:
  const PrivateBus& m_bus;
  QTemporaryDir m_dir;
  ChildProcess m_process;
  QDBusConnection m_watch;
};

// One callback call as the client received it.
struct ReceivedCall {
  QString path;
  QString interface;
  QString member;
  QString signature;
  QList<QVariant> arguments;
  bool replyRequired = true;
};

// A plain client on its own bus connection. Calls go to the server's unique name (resolved
// once, as a real client does). The callback recorder answers nothing.
class RawClient {
 public:
  RawClient(const QString& busAddress, const QString& connectionName);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  [[nodiscard]] bool Connected() const { return m_connection.isConnected(); }
  [[nodiscard]] QDBusConnection& Connection() { return m_connection; }
  [[nodiscard]] QString UniqueName() const { return m_connection.baseService(); }

  QDBusMessage Call(const QString& path,
                    const QString& interface,
                    const QString& method,
                    const QList<QVariant>& arguments = {},
                    int timeoutMs = 10000);
  QDBusMessage Pool(const QString& method, const QList<QVariant>& arguments = {});
  QDBusMessage Tavra(const QString& path,
                     const QString& method,
                     const QList<QVariant>& arguments = {});

  // Exports the recorder at `path` on this connection.
  bool ExportCallback(const QString& path);
  [[nodiscard]] std::vector<ReceivedCall> Received() const;
  // Waits for a received call of `member` satisfying `match` (null: any); returns its index.
  int WaitForCall(const QString& member,
                  const std::function<bool(const ReceivedCall&)>& match,
                  std::chrono::milliseconds timeout);

  void Disconnect();

 private:
  class Recorder;
  QString m_name;
  QDBusConnection m_connection;
  QString m_server;  // the server's unique name
  std::unique_ptr<Recorder> m_recorder;
};

// An argument of a reply; kNoArgument (or an empty path) when the message is not a reply or
// has no such argument.
inline constexpr int kNoArgument = -0x7EEEEEEE;
int IntArg(const QDBusMessage& reply, int index);
QString PathArg(const QDBusMessage& reply, int index);
quint32 UIntArg(const QDBusMessage& reply, int index);

// The rows of a GetPortTable reply (none when it is not a reply).
std::vector<dbus::PortTableRow> PortTableOf(const QDBusMessage& reply);

// The tavralink program of this build.
QString TavralinkProgram();

}  // namespace tavra::host::test
