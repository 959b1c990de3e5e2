#pragma once
// TavraProxy: ITavra over the bus, for one controller object (/dk/norvik/TavraLink/Port<n> or
// Tavra<k>) of the server. Holds one server reference to it, released by the destructor
// (Release); see tavra_dbus_proxy.h for results, refusals and callbacks.
//
// Ownership: shares the bus session; callback objects are kept by the session's registry.
// Threads: any, concurrently; no state of its own besides the path.

#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QVariant>
#include <memory>

#include "client/dbus_proxy/bus_session.h"
#include "shared/tavra_interfaces.h"

namespace tavra::dbus {

class TavraProxy final : public ITavra {
 public:
  TavraProxy(std::shared_ptr<BusSession> session, QString path);
  ~TavraProxy() override;

  [[nodiscard]] const QString& Path() const { return m_path; }

  HRESULT Client_Add(std::shared_ptr<ITavraCallback> P_Callback, std::int32_t& P_ClientId) override;
  HRESULT Client_Remove(std::int32_t P_ClientId) override;
  HRESULT Data_Request(std::int32_t P_ClientId,
                       std::int32_t P_RxId,
                       std::int32_t P_DataLength,
                       const std::uint8_t* P_Data,
                       std::uint8_t P_L7ResponseRequired,
                       std::int32_t P_RequestId) override;
  HRESULT Data_Response(std::int32_t P_ClientId,
                        std::int32_t P_ResponseId,
                        std::int32_t P_DataLength,
                        const std::uint8_t* P_Data) override;
  HRESULT Connect_Request(std::int32_t P_ClientId,
                          std::int32_t P_RequestId,
                          std::int32_t P_RxId,
                          std::int32_t P_DataLength,
                          const std::uint8_t* P_Data) override;
  HRESULT Management_Request(std::int32_t P_ClientId,
                             std::int32_t P_Command,
                             std::int32_t& P_Result,
                             std::int32_t& P_DataType,
                             std::int32_t& P_DataSize,
                             std::vector<std::uint8_t>& P_Data) override;
  HRESULT Connect_Response(std::int32_t P_ClientId,
                           std::int32_t P_ConnectionId,
                           std::uint8_t P_Accept,
                           std::int32_t P_DataLength,
                           const std::uint8_t* P_Data) override;
  HRESULT Management_SetupBackoff(std::int32_t P_ClientId,
                                  std::int32_t P_L4_BackoffRetries,
                                  std::int32_t P_L4_BackoffTime,
                                  std::int32_t P_L2_BackoffRetries,
                                  std::int32_t P_L2_BackoffTime) override;
  HRESULT Disconnect_Request(std::int32_t P_ClientId,
                             std::int32_t P_ConnectionId,
                             std::int32_t P_DataLength,
                             const std::uint8_t* P_Data) override;
  HRESULT Disconnect_Response(std::int32_t P_ClientId,
                              std::int32_t P_ConnectionId,
                              std::int32_t P_DataLength,
                              const std::uint8_t* P_Data) override;
  HRESULT ConnectionData_Request(std::int32_t P_ClientId,
                                 std::int32_t P_ConnectionId,
                                 std::int32_t P_DataLength,
                                 const std::uint8_t* P_Data) override;
  HRESULT ConnectionData_Response(std::int32_t P_ClientId,
                                  std::int32_t P_ConnectionId,
                                  std::int32_t P_DataLength,
                                  const std::uint8_t* P_Data) override;
  HRESULT Client_AddEx(std::shared_ptr<ITavraCallback> P_Callback,
                       std::int32_t& P_ClientId,
                       std::int32_t& P_ConnectionToTavra) override;

 private:
  // A method whose reply is just the result code.
  HRESULT Simple(const char* method, const QList<QVariant>& arguments);
  // A method taking `arguments`, then P_Data (see DataArgument), then `after`, and answering the
  // result code; a refused buffer is answered without a call.
  HRESULT WithData(const char* method,
                   QList<QVariant> arguments,
                   std::int32_t P_DataLength,
                   const std::uint8_t* P_Data,
                   const QList<QVariant>& after = {});
  // Client_Add and Client_AddEx.
  HRESULT Register(const char* method,
                   std::shared_ptr<ITavraCallback> callback,
                   std::int32_t& P_ClientId,
                   std::int32_t* P_ConnectionToTavra);

  std::shared_ptr<BusSession> m_session;
  const QString m_path;
};

// P_DataLength bytes at P_Data as the `ay` argument; false with the result code when the buffer
// is refused without a call (see tavra_dbus_proxy.h).
[[nodiscard]] bool DataArgument(std::int32_t P_DataLength,
                                const std::uint8_t* P_Data,
                                QVariant& argument,
                                HRESULT& refusal);

}  // namespace tavra::dbus
