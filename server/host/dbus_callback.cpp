#include "server/host/dbus_callback.h"

#include <QtDBus/QDBusMessage>

#include "server/host/dbus_names.h"
#include "shared/dbus/callback_arguments.h"

namespace tavra::host {

DBusCallback::DBusCallback(QDBusConnection connection, QString clientName, QString path)
    : m_connection(std::move(connection)),
      m_clientName(std::move(clientName)),
      m_path(std::move(path)) {}

HRESULT DBusCallback::OnEvent(const CallbackEvent& event) {
  QDBusMessage message = QDBusMessage::createMethodCall(m_clientName, m_path, CallbackInterface(),
                                                        dbus::CallbackMember(event));
  message.setArguments(dbus::CallbackArguments(event));
  message.setAutoStartService(false);
  // send() flags a method call no-reply-expected: the bus sends nothing back.
  return m_connection.send(message) ? S_OK : E_FAIL;
}

}  // namespace tavra::host
