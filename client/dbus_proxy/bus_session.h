#pragma once
// BusSession: one client connection to TavraLink, shared by a pool proxy and the ITavra
// proxies it handed out. Open() starts the bus thread, reaches (or starts) the server and takes
// the pool reference (see tavra_dbus_proxy.h); Call() makes one call to the server's unique
// name and records its outcome in the calling thread's CallStatus.
//
// Ownership: shared (std::shared_ptr) by the proxies; owns the bus thread and shares the
// callback registry and the name state with it. The last owner's destructor closes the registry
// and joins the thread; when that happens on the bus thread itself (the last proxy dropped
// inside a callback), the thread is told to end and joined later by the next Open() or at
// process exit.
// Threads: Call() from any thread, concurrently; QDBusConnection calls are thread-safe.

#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QVariant>
#include <QtDBus/QDBusMessage>
#include <functional>
#include <memory>

#include "client/dbus_proxy/bus_thread.h"
#include "client/dbus_proxy/callback_registry.h"
#include "client/dbus_proxy/name_watch.h"
#include "client/dbus_proxy/tavra_dbus_proxy.h"

namespace tavra::dbus {

class BusSession {
 public:
  [[nodiscard]] static HRESULT Open(const ProxyOptions& options,
                                    std::shared_ptr<BusSession>& session,
                                    QString* error);
  ~BusSession();
  BusSession(const BusSession&) = delete;
  BusSession& operator=(const BusSession&) = delete;

  // Calls `method` at `path` on the server. True with the reply's arguments when the reply came
  // with exactly the contract's signature of the method's out-arguments (contract_methods.h);
  // false (CallStatus failed) on a D-Bus error or another form.
  bool Call(const QString& path,
            const QString& interfaceName,
            const QString& method,
            const QList<QVariant>& arguments,
            QList<QVariant>& reply);

  [[nodiscard]] CallbackRegistry& Registry() { return *m_registry; }
  [[nodiscard]] QString ServerName() const { return m_server; }
  [[nodiscard]] bool ServerGone() const;
  void SetServerGoneHandler(std::function<void()> handler);

 private:
  explicit BusSession(const ProxyOptions& options);

  HRESULT Activate(QString* error);
  // The first pool call, on the well-known name.
  QDBusMessage CallPool(bool autoStart);
  bool StartServerProgram(QString* error);
  // A call of the bus itself (org.freedesktop.DBus) with one name argument.
  QDBusMessage CallBus(const QString& method, const QString& name);
  bool NameHasOwner(const QString& name);
  QString NameOwner(const QString& name);
  // Records the outcome of `reply` in the calling thread's CallStatus.
  bool CheckReply(const QDBusMessage& reply,
                  const QString& interfaceName,
                  const QString& method,
                  QList<QVariant>& arguments);

  const ProxyOptions m_options;
  std::shared_ptr<CallbackRegistry> m_registry;
  std::shared_ptr<NameState> m_names;
  std::unique_ptr<BusThread> m_thread;
  QString m_server;  // set once by Open()
};

// The program ConnectTavraPool starts when the server is not activatable: `configured` when
// not empty, else $TAVRALINK_PROGRAM, else `tavralink` beside the running executable.
[[nodiscard]] QString ServerProgramPath(const QString& configured);

}  // namespace tavra::dbus
