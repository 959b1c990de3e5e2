#include "client/dbus_proxy/tavra_proxy.h"

#include <QtCore/QByteArray>
#include <QtDBus/QDBusObjectPath>

#include "client/dbus_proxy/call_status.h"
#include "shared/dbus/bus_names.h"

namespace tavra::dbus {
namespace {

QVariant Int(std::int32_t value) {
  return QVariant::fromValue(static_cast<int>(value));
}
QVariant Byte(std::uint8_t value) {
  return QVariant::fromValue(static_cast<uchar>(value));
}
QString Name(const char* method) {
  return QString::fromLatin1(method);
}

}  // namespace

bool DataArgument(std::int32_t P_DataLength,
                  const std::uint8_t* P_Data,
                  QVariant& argument,
                  HRESULT& refusal) {
  if (P_DataLength < 0 || (P_DataLength > 0 && P_Data == nullptr) ||
      P_DataLength > kMaxBusDataLength) {
    refusal = CommandFailed_DataTooLong;
    SetCallSucceeded();  // no call was made
    return false;
  }
  argument =
      QVariant::fromValue(P_DataLength == 0 ? QByteArray()
                                            : QByteArray(reinterpret_cast<const char*>(P_Data),
                                                         static_cast<qsizetype>(P_DataLength)));
  return true;
}

TavraProxy::TavraProxy(std::shared_ptr<BusSession> session, QString path)
    : m_session(std::move(session)), m_path(std::move(path)) {}

TavraProxy::~TavraProxy() {
  QList<QVariant> reply;
  const bool answered =
      m_session->Call(m_path, TavraInterface(), QStringLiteral("Release"), {}, reply);
  // At 0 the controller object has ended and removed its clients; a server that cannot be
  // reached calls none of them any more either.
  if (!answered || reply[0].toUInt() == 0) {
    m_session->Registry().RemoveObject(m_path);
  }
}

HRESULT TavraProxy::Simple(const char* method, const QList<QVariant>& arguments) {
  QList<QVariant> reply;
  if (!m_session->Call(m_path, TavraInterface(), Name(method), arguments, reply)) {
    return kCallFailed;
  }
  return static_cast<HRESULT>(reply[0].toInt());
}

HRESULT TavraProxy::WithData(const char* method,
                             QList<QVariant> arguments,
                             std::int32_t P_DataLength,
                             const std::uint8_t* P_Data,
                             const QList<QVariant>& after) {
  QVariant data;
  HRESULT refusal = S_OK;
  if (!DataArgument(P_DataLength, P_Data, data, refusal)) {
    return refusal;
  }
  arguments.append(data);
  arguments.append(after);
  return Simple(method, arguments);
}

HRESULT TavraProxy::Register(const char* method,
                             std::shared_ptr<ITavraCallback> callback,
                             std::int32_t& P_ClientId,
                             std::int32_t* P_ConnectionToTavra) {
  CallbackRegistry& registry = m_session->Registry();
  const bool hasCallback = callback != nullptr;
  // Exported before the call: the server's first callback may come before its answer. A null
  // callback travels as "/", which the server refuses.
  const QString path = hasCallback ? registry.Add(std::move(callback)) : QStringLiteral("/");
  QList<QVariant> reply;
  if (!m_session->Call(m_path, TavraInterface(), Name(method),
                       {QVariant::fromValue(QDBusObjectPath(path))}, reply)) {
    if (hasCallback) {
      registry.Remove(path);
    }
    return kCallFailed;
  }
  const auto result = static_cast<HRESULT>(reply[0].toInt());
  if (result != S_OK) {
    if (hasCallback) {
      registry.Remove(path);
    }
    return result;
  }
  P_ClientId = static_cast<std::int32_t>(reply[1].toInt());
  if (P_ConnectionToTavra != nullptr) {
    *P_ConnectionToTavra = static_cast<std::int32_t>(reply[2].toInt());
  }
  if (hasCallback) {
    registry.Bind(path, m_path, P_ClientId);
  }
  return result;
}

HRESULT TavraProxy::Client_Add(std::shared_ptr<ITavraCallback> P_Callback,
                               std::int32_t& P_ClientId) {
  return Register("Client_Add", std::move(P_Callback), P_ClientId, nullptr);
}

HRESULT TavraProxy::Client_AddEx(std::shared_ptr<ITavraCallback> P_Callback,
                                 std::int32_t& P_ClientId,
                                 std::int32_t& P_ConnectionToTavra) {
  return Register("Client_AddEx", std::move(P_Callback), P_ClientId, &P_ConnectionToTavra);
}

HRESULT TavraProxy::Client_Remove(std::int32_t P_ClientId) {
  const HRESULT result = Simple("Client_Remove", {Int(P_ClientId)});
  if (result == S_OK || result == CommandFailed_ClientNotRegistered) {
    m_session->Registry().RemoveClient(m_path, P_ClientId);
  }
  return result;
}

HRESULT TavraProxy::Data_Request(std::int32_t P_ClientId,
                                 std::int32_t P_RxId,
                                 std::int32_t P_DataLength,
                                 const std::uint8_t* P_Data,
                                 std::uint8_t P_L7ResponseRequired,
                                 std::int32_t P_RequestId) {
  return WithData("Data_Request", {Int(P_ClientId), Int(P_RxId)}, P_DataLength, P_Data,
                  {Byte(P_L7ResponseRequired), Int(P_RequestId)});
}

HRESULT TavraProxy::Data_Response(std::int32_t P_ClientId,
                                  std::int32_t P_ResponseId,
                                  std::int32_t P_DataLength,
                                  const std::uint8_t* P_Data) {
  return WithData("Data_Response", {Int(P_ClientId), Int(P_ResponseId)}, P_DataLength, P_Data);
}

HRESULT TavraProxy::Connect_Request(std::int32_t P_ClientId,
                                    std::int32_t P_RequestId,
                                    std::int32_t P_RxId,
                                    std::int32_t P_DataLength,
                                    const std::uint8_t* P_Data) {
  return WithData("Connect_Request", {Int(P_ClientId), Int(P_RequestId), Int(P_RxId)}, P_DataLength,
                  P_Data);
}

HRESULT TavraProxy::Management_Request(std::int32_t P_ClientId,
                                       std::int32_t P_Command,
                                       std::int32_t& P_Result,
                                       std::int32_t& P_DataType,
                                       std::int32_t& P_DataSize,
                                       std::vector<std::uint8_t>& P_Data) {
  QList<QVariant> reply;
  if (!m_session->Call(m_path, TavraInterface(), QStringLiteral("Management_Request"),
                       {Int(P_ClientId), Int(P_Command)}, reply)) {
    return kCallFailed;
  }
  const auto result = static_cast<HRESULT>(reply[0].toInt());
  if (result != S_OK) {
    return result;  // outputs untouched, as in process
  }
  const QByteArray data = reply[4].toByteArray();
  const auto size = static_cast<std::int32_t>(reply[3].toInt());
  if (size != data.size()) {
    SetCallFailed(QString::fromLatin1(kBadReplyError),
                  QStringLiteral("Management_Request answered P_DataSize %1 with %2 bytes")
                      .arg(size)
                      .arg(data.size()));
    return kCallFailed;
  }
  P_Result = static_cast<std::int32_t>(reply[1].toInt());
  P_DataType = static_cast<std::int32_t>(reply[2].toInt());
  P_DataSize = size;
  P_Data.assign(data.begin(), data.end());
  return result;
}

HRESULT TavraProxy::Connect_Response(std::int32_t P_ClientId,
                                     std::int32_t P_ConnectionId,
                                     std::uint8_t P_Accept,
                                     std::int32_t P_DataLength,
                                     const std::uint8_t* P_Data) {
  return WithData("Connect_Response", {Int(P_ClientId), Int(P_ConnectionId), Byte(P_Accept)},
                  P_DataLength, P_Data);
}

HRESULT TavraProxy::Management_SetupBackoff(std::int32_t P_ClientId,
                                            std::int32_t P_L4_BackoffRetries,
                                            std::int32_t P_L4_BackoffTime,
                                            std::int32_t P_L2_BackoffRetries,
                                            std::int32_t P_L2_BackoffTime) {
  return Simple("Management_SetupBackoff",
                {Int(P_ClientId), Int(P_L4_BackoffRetries), Int(P_L4_BackoffTime),
                 Int(P_L2_BackoffRetries), Int(P_L2_BackoffTime)});
}

HRESULT TavraProxy::Disconnect_Request(std::int32_t P_ClientId,
                                       std::int32_t P_ConnectionId,
                                       std::int32_t P_DataLength,
                                       const std::uint8_t* P_Data) {
  return WithData("Disconnect_Request", {Int(P_ClientId), Int(P_ConnectionId)}, P_DataLength,
                  P_Data);
}

HRESULT TavraProxy::Disconnect_Response(std::int32_t P_ClientId,
                                        std::int32_t P_ConnectionId,
                                        std::int32_t P_DataLength,
                                        const std::uint8_t* P_Data) {
  return WithData("Disconnect_Response", {Int(P_ClientId), Int(P_ConnectionId)}, P_DataLength,
                  P_Data);
}

HRESULT TavraProxy::ConnectionData_Request(std::int32_t P_ClientId,
                                           std::int32_t P_ConnectionId,
                                           std::int32_t P_DataLength,
                                           const std::uint8_t* P_Data) {
  return WithData("ConnectionData_Request", {Int(P_ClientId), Int(P_ConnectionId)}, P_DataLength,
                  P_Data);
}

HRESULT TavraProxy::ConnectionData_Response(std::int32_t P_ClientId,
                                            std::int32_t P_ConnectionId,
                                            std::int32_t P_DataLength,
                                            const std::uint8_t* P_Data) {
  return WithData("ConnectionData_Response", {Int(P_ClientId), Int(P_ConnectionId)}, P_DataLength,
                  P_Data);
}

}  // namespace tavra::dbus
