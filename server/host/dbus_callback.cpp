#include "server/host/dbus_callback.h"

#include <QtDBus/QDBusMessage>

#include "server/host/dbus_names.h"

namespace tavra::host {

namespace {
// The bytes of a callback buffer; a length below 0 or a missing buffer gives none.
QByteArray Bytes(std::int32_t length, const std::uint8_t* data) {
  if (length <= 0 || data == nullptr) {
    return {};
  }
  return QByteArray(reinterpret_cast<const char*>(data), length);
}
}  // namespace

DBusCallback::DBusCallback(QDBusConnection connection, QString clientName, QString path)
    : m_connection(std::move(connection)),
      m_clientName(std::move(clientName)),
      m_path(std::move(path)) {}

HRESULT DBusCallback::Send(const char* method, const QList<QVariant>& arguments) {
  QDBusMessage message = QDBusMessage::createMethodCall(m_clientName, m_path, CallbackInterface(),
                                                        QString::fromLatin1(method));
  message.setArguments(arguments);
  message.setAutoStartService(false);
  // send() flags a method call no-reply-expected: the bus sends nothing back.
  return m_connection.send(message) ? S_OK : E_FAIL;
}

HRESULT DBusCallback::Connect_Indication(std::int32_t P_TxId,
                                         std::int32_t P_ConnectionId,
                                         std::int32_t P_DataLength,
                                         const std::uint8_t* P_Data) {
  return Send("Connect_Indication", {P_TxId, P_ConnectionId, Bytes(P_DataLength, P_Data)});
}

HRESULT DBusCallback::Connect_Confirm(std::int32_t P_RequestId,
                                      std::int32_t P_ConnectionId,
                                      std::int32_t P_ConfirmResult,
                                      std::int32_t P_DataLength,
                                      const std::uint8_t* P_Data) {
  return Send("Connect_Confirm",
              {P_RequestId, P_ConnectionId, P_ConfirmResult, Bytes(P_DataLength, P_Data)});
}

HRESULT DBusCallback::Disconnect_Indication(std::int32_t P_ConnectionId,
                                            std::int32_t P_DataLength,
                                            const std::uint8_t* P_Data) {
  return Send("Disconnect_Indication", {P_ConnectionId, Bytes(P_DataLength, P_Data)});
}

HRESULT DBusCallback::Disconnected_Indication(std::int32_t P_ConnectionId, std::int32_t P_Reason) {
  return Send("Disconnected_Indication", {P_ConnectionId, P_Reason});
}

HRESULT DBusCallback::Disconnect_Confirm(std::int32_t P_ConnectionId,
                                         std::int32_t P_DataLength,
                                         const std::uint8_t* P_Data) {
  return Send("Disconnect_Confirm", {P_ConnectionId, Bytes(P_DataLength, P_Data)});
}

HRESULT DBusCallback::ConnectionData_Indication(std::int32_t P_ConnectionId,
                                                std::int32_t P_DataLength,
                                                const std::uint8_t* P_Data) {
  return Send("ConnectionData_Indication", {P_ConnectionId, Bytes(P_DataLength, P_Data)});
}

HRESULT DBusCallback::ConnectionData_Confirm(std::int32_t P_ConnectionId,
                                             std::int32_t P_DataLength,
                                             const std::uint8_t* P_Data) {
  return Send("ConnectionData_Confirm", {P_ConnectionId, Bytes(P_DataLength, P_Data)});
}

HRESULT DBusCallback::Data_Indication(std::int32_t P_TxId,
                                      std::int32_t P_DataLength,
                                      const std::uint8_t* P_Data,
                                      std::uint8_t P_L7ResponseRequired,
                                      std::int32_t P_ResponseId) {
  return Send("Data_Indication",
              {P_TxId, Bytes(P_DataLength, P_Data),
               QVariant::fromValue(static_cast<uchar>(P_L7ResponseRequired)), P_ResponseId});
}

HRESULT DBusCallback::Data_Confirm(std::int32_t P_RequestId,
                                   std::int32_t P_ConfirmResult,
                                   std::int32_t P_DataLength,
                                   const std::uint8_t* P_Data) {
  return Send("Data_Confirm", {P_RequestId, P_ConfirmResult, Bytes(P_DataLength, P_Data)});
}

HRESULT DBusCallback::Management_Indication(std::int32_t P_Type,
                                            std::int32_t P_Subtype,
                                            std::int32_t P_DataLength,
                                            const std::uint8_t* P_Data) {
  return Send("Management_Indication", {P_Type, P_Subtype, Bytes(P_DataLength, P_Data)});
}

}  // namespace tavra::host
