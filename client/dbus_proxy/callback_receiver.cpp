#include "client/dbus_proxy/callback_receiver.h"

#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusError>
#include <QtDBus/QDBusMessage>

#include "client/dbus_proxy/callback_message.h"
#include "shared/dbus/bus_names.h"
#include "shared/dbus/contract_xml.h"

namespace tavra::dbus {

CallbackReceiver::CallbackReceiver(std::shared_ptr<CallbackRegistry> registry, QObject* parent)
    : QDBusVirtualObject(parent), m_registry(std::move(registry)) {}

QString CallbackReceiver::introspect(const QString& path) const {
  if (!m_registry->Has(path)) {
    return {};
  }
  return ContractInterfaceXml(CallbackInterface());
}

bool CallbackReceiver::handleMessage(const QDBusMessage& message,
                                     const QDBusConnection& connection) {
  if (message.type() != QDBusMessage::MethodCallMessage) {
    return false;
  }
  const QString iface = message.interface();
  if (!iface.isEmpty() && iface != CallbackInterface()) {
    return false;  // Introspectable, Peer: Qt answers
  }
  // A copy: the entry may go (Client_Remove on another thread) while the callback runs.
  const std::shared_ptr<ITavraCallback> callback =
      m_registry->Find(message.path(), message.service());
  if (!callback) {
    if (!message.isReplyRequired()) {
      return true;  // dropped
    }
    connection.send(message.createErrorReply(QDBusError::AccessDenied,
                                             QStringLiteral("no callback of this sender here")));
    return true;
  }
  const CallbackMessageResult result =
      DeliverCallbackMessage(message.member(), message.signature(), message.arguments(), *callback);
  if (message.isReplyRequired()) {
    switch (result) {
      case CallbackMessageResult::Delivered: connection.send(message.createReply()); break;
      case CallbackMessageResult::UnknownMethod:
        connection.send(message.createErrorReply(QDBusError::UnknownMethod, message.member()));
        break;
      case CallbackMessageResult::BadArguments:
        connection.send(message.createErrorReply(QDBusError::InvalidArgs, message.member()));
        break;
    }
  }
  return true;
}

}  // namespace tavra::dbus
