#pragma once
// Helpers of the host tests: the application object, a private session bus, tavralink started
// as a child process with its own folders, a plain D-Bus client that is not the project's proxy
// (raw QDBusMessage calls, and a callback object that records what the server sends), and a
// simulated controller on a pseudo-terminal. The daemon and the child processes come from
// tests/common.
//
// Owner: the test that made each object. Threads: the test's thread, which is Qt's main thread;
// RawClient's recorder is filled on QtDBus's thread under a mutex of its own.

#include <QtCore/QStringList>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVirtualObject>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "shared/dbus/port_table_row.h"
#include "tests/common/bus_daemon.h"
#include "tests/common/child_process.h"
#include "tests/common/temp_dir.h"

namespace tavra::host::test {

using namespace std::chrono_literals;

// The QApplication of the test program (offscreen), made on first use and kept to the end.
void EnsureApplication();

// Waits for `condition` while serving events (the objects in this process need them), at most
// `timeout`.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A session bus of its own (dbus-daemon), so tests running side by side never share the
// server's well-known name. `environment` is put over this process's for the daemon and the
// servers it starts.
class PrivateBus {
 public:
  explicit PrivateBus(const tavra::test::Environment& environment = {})
      : m_daemon(m_dir.Path(), environment) {}

  [[nodiscard]] bool Ready() const { return m_daemon.Ready(); }
  [[nodiscard]] QString Address() const { return QString::fromStdString(m_daemon.Address()); }

 private:
  tavra::test::TempDir m_dir{"tavra-host"};
  tavra::test::BusDaemon m_daemon;
};

// tavralink as a child process on `bus`, with its own configuration, data and COM port folders;
// its standard output and error go to one file.
class ServerUnderTest {
 public:
  explicit ServerUnderTest(const PrivateBus& bus);
  ~ServerUnderTest();  // the child is killed if it still runs

  [[nodiscard]] QString ConfigDir() const;
  [[nodiscard]] QString DataDir() const;
  [[nodiscard]] QString PortDir() const;
  // A file in the server's folder (for the output of another program a test runs).
  [[nodiscard]] std::filesystem::path File(std::string_view name) const { return m_dir / name; }
  // What points tavralink at the bus and these folders.
  [[nodiscard]] tavra::test::Environment Environment() const;

  bool Start(const QStringList& arguments = {});
  // Waits until the server owns dk.norvik.TavraLink.
  bool WaitForName(std::chrono::milliseconds timeout = 10s);
  [[nodiscard]] bool OwnsName() const;
  bool WaitForExit(std::chrono::milliseconds timeout);
  [[nodiscard]] bool Running() const;
  [[nodiscard]] int ExitCode() const;     // -1 until it has ended by exit()
  [[nodiscard]] bool NormalExit() const;  // ended by exit(), not by a signal
  void Terminate();                       // SIGTERM
  [[nodiscard]] QString Output() const;

 private:
  // The exit code (-signal) once the server has ended.
  [[nodiscard]] std::optional<int> Ended() const;

  const PrivateBus& m_bus;
  tavra::test::TempDir m_dir{"tavra-server"};
  std::unique_ptr<tavra::test::ChildProcess> m_process;
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
                  std::chrono::milliseconds timeout) const;

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
