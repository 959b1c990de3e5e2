#include "fake_server_support.h"

#include <QtDBus/QDBusObjectPath>
#include <atomic>

#include "shared/dbus/port_table_row.h"

namespace tavra::dbus::test {
namespace {

QString NextName() {
  static std::atomic<int> counter{0};
  return QStringLiteral("fake-tavralink-%1").arg(++counter);
}

QString ServiceName() {
  return QStringLiteral("dk.norvik.TavraLink");
}

}  // namespace

FakeServer::FakeServer(std::string address) : m_address(std::move(address)), m_name(NextName()) {}

FakeServer::~FakeServer() {
  quit();
  wait();
}

bool FakeServer::Start() {
  RegisterPortTableRowType();
  start();
  return m_ready.Wait(std::chrono::seconds(10)) && m_owned;
}

void FakeServer::run() {
  QDBusConnection connection =
      QDBusConnection::connectToBus(QString::fromStdString(m_address), m_name);
  Object object(*this);
  m_owned = connection.isConnected() && connection.registerService(ServiceName()) &&
            connection.registerVirtualObject(QStringLiteral("/dk/norvik/TavraLink"), &object,
                                             QDBusConnection::SubPath);
  m_connection = connection;
  m_ready.Set();
  if (m_owned) {
    exec();
  }
  connection.unregisterObject(QStringLiteral("/dk/norvik/TavraLink"),
                              QDBusConnection::UnregisterTree);
  QDBusConnection::disconnectFromBus(m_name);
}

void FakeServer::SetResponder(Responder responder) {
  std::lock_guard lock(m_mutex);
  m_responder = std::move(responder);
}

QDBusMessage FakeServer::DefaultReply(const QDBusMessage& call) {
  const QString member = call.member();
  QDBusMessage reply = call.createReply();
  if (member == QLatin1StringView("GetTavraInterface")) {
    reply << 0
          << QVariant::fromValue(QDBusObjectPath(QStringLiteral("/dk/norvik/TavraLink/Port%1")
                                                     .arg(call.arguments().value(0).toInt())));
  } else if (member == QLatin1StringView("CreateTavra")) {
    reply << 0
          << QVariant::fromValue(QDBusObjectPath(QStringLiteral("/dk/norvik/TavraLink/Tavra1")));
  } else if (member == QLatin1StringView("AddRef") || member == QLatin1StringView("Release")) {
    reply << 0u;
  } else if (member == QLatin1StringView("GetPortTable")) {
    QList<PortTableRow> rows;
    for (int port = 0; port < 10; ++port) {
      rows.append(PortTableRow{port, false, false, 0, QByteArray(6, '\0')});
    }
    reply << QVariant::fromValue(rows);
  } else if (member == QLatin1StringView("Client_Add")) {
    reply << 0 << 5;
  } else if (member == QLatin1StringView("Client_AddEx")) {
    reply << 0 << 5 << 1;
  } else if (member == QLatin1StringView("Management_Request")) {
    reply << 0 << 0 << 0 << 0 << QByteArray();
  } else {
    reply << 0;
  }
  return reply;
}

void FakeServer::Handle(const QDBusMessage& message, const QDBusConnection& connection) {
  Responder responder;
  {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(RecordedCall{message.service(), message.path(), message.member(),
                                   message.signature(), message.arguments()});
    responder = m_responder;
  }
  m_cv.notify_all();
  QDBusMessage reply = responder ? responder(message) : QDBusMessage();
  if (reply.type() == QDBusMessage::InvalidMessage) {
    reply = DefaultReply(message);
  }
  connection.send(reply);
}

bool FakeServer::Object::handleMessage(const QDBusMessage& message,
                                       const QDBusConnection& connection) {
  if (message.type() != QDBusMessage::MethodCallMessage ||
      message.interface().startsWith(QLatin1StringView("org.freedesktop.DBus"))) {
    return false;
  }
  m_server.Handle(message, connection);
  return true;
}

std::vector<RecordedCall> FakeServer::Calls() const {
  std::lock_guard lock(m_mutex);
  return m_calls;
}

std::optional<RecordedCall> FakeServer::WaitForCall(const QString& member,
                                                    std::chrono::milliseconds timeout,
                                                    std::size_t from) {
  std::unique_lock lock(m_mutex);
  std::optional<RecordedCall> found;
  m_cv.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < m_calls.size(); ++i) {
      if (m_calls[i].member == member) {
        found = m_calls[i];
        return true;
      }
    }
    return false;
  });
  return found;
}

bool FakeServer::SendCallback(const QString& client,
                              const QString& path,
                              const QString& member,
                              const QList<QVariant>& arguments,
                              const QString& interfaceName) {
  QDBusMessage message = QDBusMessage::createMethodCall(client, path, interfaceName, member);
  message.setArguments(arguments);
  message.setAutoStartService(false);
  // send() flags a method call no-reply-expected, as the server sends its callbacks.
  return m_connection.send(message);
}

QString FakeServer::UniqueName() const {
  return m_connection.baseService();
}

void FakeServer::ReleaseName() {
  m_connection.unregisterService(ServiceName());
}

}  // namespace tavra::dbus::test
