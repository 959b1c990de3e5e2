#include "client/dbus_proxy/bus_thread.h"

#include <QtCore/QByteArray>
#include <QtCore/QMetaObject>
#include <QtDBus/QDBusError>

#include "client/dbus_proxy/callback_receiver.h"
#include "shared/dbus/bus_names.h"

namespace tavra::dbus {

BusThread::BusThread(QString address,
                     QString connectionName,
                     std::shared_ptr<CallbackRegistry> registry,
                     std::shared_ptr<NameState> names)
    : m_address(std::move(address)),
      m_connectionName(std::move(connectionName)),
      m_registry(std::move(registry)),
      m_names(std::move(names)) {
  setObjectName(QStringLiteral("tavra-dbus-proxy"));
}

BusThread::~BusThread() {
  quit();
  wait();
}

bool BusThread::Open(std::chrono::milliseconds timeout, QString* error) {
  start();
  if (!m_ready.Wait(timeout)) {
    if (error != nullptr) {
      *error = QStringLiteral("the bus connection did not open in time");
    }
    return false;
  }
  if (!m_connection.isConnected()) {
    if (error != nullptr) {
      *error = m_error;
    }
    return false;
  }
  return true;
}

void BusThread::WatchServer(const QString& uniqueName) {
  NameWatch* watch = m_watch;
  QMetaObject::invokeMethod(
      watch, [watch, uniqueName] { watch->WatchServer(uniqueName); }, Qt::BlockingQueuedConnection);
}

void BusThread::run() {
  QDBusConnection connection{QString()};
  if (m_address.isEmpty()) {
    // The session bus as the environment names it now.
    m_address = QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS"));
  }
  if (m_address.isEmpty()) {
    connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName);
  } else {
    connection = QDBusConnection::connectToBus(m_address, m_connectionName);
  }
  if (!connection.isConnected()) {
    m_error = QStringLiteral("cannot connect to the session bus: %1")
                  .arg(connection.lastError().message());
    m_connection = connection;
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_ready.Set();
    return;
  }
  {
    CallbackReceiver receiver(m_registry);
    NameWatch watch(connection, ServiceName(), m_names);
    if (!connection.registerVirtualObject(CallbackBasePath(), &receiver,
                                          QDBusConnection::SubPath)) {
      m_error = QStringLiteral("cannot export the callback objects at %1").arg(CallbackBasePath());
      m_connection = QDBusConnection(QString());
      QDBusConnection::disconnectFromBus(m_connectionName);
      m_ready.Set();
      return;
    }
    m_watch = &watch;
    m_connection = connection;
    m_ready.Set();

    exec();

    connection.unregisterObject(CallbackBasePath(), QDBusConnection::UnregisterTree);
    m_watch = nullptr;
  }
  QDBusConnection::disconnectFromBus(m_connectionName);
}

}  // namespace tavra::dbus
