#pragma once
// BusThread: the proxy's own thread with the client's bus connection. run() opens the
// connection (QDBusConnection::connectToBus, so the connection and the objects it serves belong
// to this thread and not to the caller's user-interface thread), registers the callback
// receiver for every path below CallbackBasePath() and the name watch, and runs an event loop
// in which the server's callbacks are delivered, one at a time. Outgoing calls may be made on
// Connection() from any thread.
//
// Ownership: owned by the bus session; owns (on its own thread) the receiver and the name watch,
// shares the registry and the name state. The destructor ends the event loop and joins the
// thread; it must not run on this thread itself (the session hands the object to a reaper
// instead, see bus_session.cpp).

#include <QtCore/QString>
#include <QtCore/QThread>
#include <QtDBus/QDBusConnection>
#include <chrono>
#include <memory>

#include "client/dbus_proxy/callback_registry.h"
#include "client/dbus_proxy/name_watch.h"
#include "shared/sync_event.h"

namespace tavra::dbus {

class BusThread : public QThread {
  Q_OBJECT
 public:
  BusThread(QString address,
            QString connectionName,
            std::shared_ptr<CallbackRegistry> registry,
            std::shared_ptr<NameState> names);
  ~BusThread() override;
  BusThread(const BusThread&) = delete;
  BusThread& operator=(const BusThread&) = delete;

  // Starts the thread and waits until the connection is open (or failed). Caller's thread.
  bool Open(std::chrono::milliseconds timeout, QString* error);
  // The open connection. Valid after Open() returned true.
  [[nodiscard]] QDBusConnection Connection() const { return m_connection; }
  // The address the connection was opened with (the session bus's when none was given).
  [[nodiscard]] QString Address() const { return m_address; }
  // Watches the server's unique name; returns once the watch is in place. Any thread but this.
  void WatchServer(const QString& uniqueName);

 protected:
  void run() override;

 private:
  QString m_address;
  const QString m_connectionName;
  std::shared_ptr<CallbackRegistry> m_registry;
  std::shared_ptr<NameState> m_names;
  tavra::Event m_ready{tavra::Event::Mode::ManualReset};
  // Written by run() before m_ready is set, read-only afterwards.
  QDBusConnection m_connection{QString()};
  QString m_error;
  NameWatch* m_watch = nullptr;
};

}  // namespace tavra::dbus
