#pragma once
// CallbackAdapter: an ITavraCallback for code that treats the ten callback methods alike
// (records, prints or forwards them). Each method becomes one CallbackEvent
// (callback_event.h) handed to OnEvent, whose result is the method's result.
//
// Threads and locks: none of its own; OnEvent runs on the thread that calls the method, with
// the event's data valid only during that call.

#include "shared/callback_event.h"
#include "shared/tavra_interfaces.h"

namespace tavra {

class CallbackAdapter : public ITavraCallback {
 public:
  HRESULT Connect_Indication(std::int32_t P_TxId,
                             std::int32_t P_ConnectionId,
                             std::int32_t P_DataLength,
                             const std::uint8_t* P_Data) final;
  HRESULT Connect_Confirm(std::int32_t P_RequestId,
                          std::int32_t P_ConnectionId,
                          std::int32_t P_ConfirmResult,
                          std::int32_t P_DataLength,
                          const std::uint8_t* P_Data) final;
  HRESULT Disconnect_Indication(std::int32_t P_ConnectionId,
                                std::int32_t P_DataLength,
                                const std::uint8_t* P_Data) final;
  HRESULT Disconnected_Indication(std::int32_t P_ConnectionId, std::int32_t P_Reason) final;
  HRESULT Disconnect_Confirm(std::int32_t P_ConnectionId,
                             std::int32_t P_DataLength,
                             const std::uint8_t* P_Data) final;
  HRESULT ConnectionData_Indication(std::int32_t P_ConnectionId,
                                    std::int32_t P_DataLength,
                                    const std::uint8_t* P_Data) final;
  HRESULT ConnectionData_Confirm(std::int32_t P_ConnectionId,
                                 std::int32_t P_DataLength,
                                 const std::uint8_t* P_Data) final;
  HRESULT Data_Indication(std::int32_t P_TxId,
                          std::int32_t P_DataLength,
                          const std::uint8_t* P_Data,
                          std::uint8_t P_L7ResponseRequired,
                          std::int32_t P_ResponseId) final;
  HRESULT Data_Confirm(std::int32_t P_RequestId,
                       std::int32_t P_ConfirmResult,
                       std::int32_t P_DataLength,
                       const std::uint8_t* P_Data) final;
  HRESULT Management_Indication(std::int32_t P_Type,
                                std::int32_t P_Subtype,
                                std::int32_t P_DataLength,
                                const std::uint8_t* P_Data) final;

 protected:
  // One callback; its result is the method's.
  virtual HRESULT OnEvent(const CallbackEvent& event) = 0;
};

}  // namespace tavra
