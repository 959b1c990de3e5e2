#include "shared/callback_adapter.h"

namespace tavra {
namespace {
using K = CallbackKind;
}  // namespace

HRESULT CallbackAdapter::Connect_Indication(std::int32_t P_TxId,
                                            std::int32_t P_ConnectionId,
                                            std::int32_t P_DataLength,
                                            const std::uint8_t* P_Data) {
  return OnEvent({K::Connect_Indication, {P_TxId, P_ConnectionId}, P_DataLength, P_Data});
}

HRESULT CallbackAdapter::Connect_Confirm(std::int32_t P_RequestId,
                                         std::int32_t P_ConnectionId,
                                         std::int32_t P_ConfirmResult,
                                         std::int32_t P_DataLength,
                                         const std::uint8_t* P_Data) {
  return OnEvent(
      {K::Connect_Confirm, {P_RequestId, P_ConnectionId, P_ConfirmResult}, P_DataLength, P_Data});
}

HRESULT CallbackAdapter::Disconnect_Indication(std::int32_t P_ConnectionId,
                                               std::int32_t P_DataLength,
                                               const std::uint8_t* P_Data) {
  return OnEvent({K::Disconnect_Indication, {P_ConnectionId}, P_DataLength, P_Data});
}

HRESULT CallbackAdapter::Disconnected_Indication(std::int32_t P_ConnectionId,
                                                 std::int32_t P_Reason) {
  return OnEvent({K::Disconnected_Indication, {P_ConnectionId, P_Reason}, 0, nullptr});
}

HRESULT CallbackAdapter::Disconnect_Confirm(std::int32_t P_ConnectionId,
                                            std::int32_t P_DataLength,
                                            const std::uint8_t* P_Data) {
  return OnEvent({K::Disconnect_Confirm, {P_ConnectionId}, P_DataLength, P_Data});
}

HRESULT CallbackAdapter::ConnectionData_Indication(std::int32_t P_ConnectionId,
                                                   std::int32_t P_DataLength,
                                                   const std::uint8_t* P_Data) {
  return OnEvent({K::ConnectionData_Indication, {P_ConnectionId}, P_DataLength, P_Data});
}

HRESULT CallbackAdapter::ConnectionData_Confirm(std::int32_t P_ConnectionId,
                                                std::int32_t P_DataLength,
                                                const std::uint8_t* P_Data) {
  return OnEvent({K::ConnectionData_Confirm, {P_ConnectionId}, P_DataLength, P_Data});
}

HRESULT CallbackAdapter::Data_Indication(std::int32_t P_TxId,
                                         std::int32_t P_DataLength,
                                         const std::uint8_t* P_Data,
                                         std::uint8_t P_L7ResponseRequired,
                                         std::int32_t P_ResponseId) {
  return OnEvent(
      {K::Data_Indication, {P_TxId, P_L7ResponseRequired, P_ResponseId}, P_DataLength, P_Data});
}

HRESULT CallbackAdapter::Data_Confirm(std::int32_t P_RequestId,
                                      std::int32_t P_ConfirmResult,
                                      std::int32_t P_DataLength,
                                      const std::uint8_t* P_Data) {
  return OnEvent({K::Data_Confirm, {P_RequestId, P_ConfirmResult}, P_DataLength, P_Data});
}

HRESULT CallbackAdapter::Management_Indication(std::int32_t P_Type,
                                               std::int32_t P_Subtype,
                                               std::int32_t P_DataLength,
                                               const std::uint8_t* P_Data) {
  return OnEvent({K::Management_Indication, {P_Type, P_Subtype}, P_DataLength, P_Data});
}

}  // namespace tavra
