#pragma once
// DBusCallback: a client's callback object as the server sees it. Each ITavraCallback call
// becomes a method call of dk.norvik.TavraLink.TavraCallback to the client's connection (its
// unique name) at the path it gave to Client_Add, flagged no-reply-expected and never starting
// a service. Sending only queues the message, so a callback never waits for the client; one
// client's calls leave in the order in which its delivery thread makes them.
//
// Ownership: held by the client's entry in the controller object (shared_ptr); keeps a copy of
// the server's bus connection. Threads: the client's delivery thread calls it; QDBusConnection
// sends are thread-safe. No locks.

#include <QtCore/QString>
#include <QtDBus/QDBusConnection>

#include "shared/tavra_interfaces.h"

namespace tavra::host {

class DBusCallback final : public ITavraCallback {
 public:
  DBusCallback(QDBusConnection connection, QString clientName, QString path);

  [[nodiscard]] const QString& ClientName() const { return m_clientName; }
  [[nodiscard]] const QString& Path() const { return m_path; }

  HRESULT Connect_Indication(std::int32_t P_TxId,
                             std::int32_t P_ConnectionId,
                             std::int32_t P_DataLength,
                             const std::uint8_t* P_Data) override;
  HRESULT Connect_Confirm(std::int32_t P_RequestId,
                          std::int32_t P_ConnectionId,
                          std::int32_t P_ConfirmResult,
                          std::int32_t P_DataLength,
                          const std::uint8_t* P_Data) override;
  HRESULT Disconnect_Indication(std::int32_t P_ConnectionId,
                                std::int32_t P_DataLength,
                                const std::uint8_t* P_Data) override;
  HRESULT Disconnected_Indication(std::int32_t P_ConnectionId, std::int32_t P_Reason) override;
  HRESULT Disconnect_Confirm(std::int32_t P_ConnectionId,
                             std::int32_t P_DataLength,
                             const std::uint8_t* P_Data) override;
  HRESULT ConnectionData_Indication(std::int32_t P_ConnectionId,
                                    std::int32_t P_DataLength,
                                    const std::uint8_t* P_Data) override;
  HRESULT ConnectionData_Confirm(std::int32_t P_ConnectionId,
                                 std::int32_t P_DataLength,
                                 const std::uint8_t* P_Data) override;
  HRESULT Data_Indication(std::int32_t P_TxId,
                          std::int32_t P_DataLength,
                          const std::uint8_t* P_Data,
                          std::uint8_t P_L7ResponseRequired,
                          std::int32_t P_ResponseId) override;
  HRESULT Data_Confirm(std::int32_t P_RequestId,
                       std::int32_t P_ConfirmResult,
                       std::int32_t P_DataLength,
                       const std::uint8_t* P_Data) override;
  HRESULT Management_Indication(std::int32_t P_Type,
                                std::int32_t P_Subtype,
                                std::int32_t P_DataLength,
                                const std::uint8_t* P_Data) override;

 private:
  HRESULT Send(const char* method, const QList<QVariant>& arguments);

  QDBusConnection m_connection;
  const QString m_clientName;
  const QString m_path;
};

}  // namespace tavra::host
