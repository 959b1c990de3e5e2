#include "shared/callback_event.h"

namespace tavra {
namespace {

using K = CallbackKind;

// By kind, in slot order.
constexpr std::array<CallbackMethod, kCallbackKinds> kMethods{{
    {"Connect_Indication", {"P_TxId", "P_ConnectionId"}, 2, 2},
    {"Connect_Confirm", {"P_RequestId", "P_ConnectionId", "P_ConfirmResult"}, 3, 3},
    {"Disconnect_Indication", {"P_ConnectionId"}, 1, 1},
    {"Disconnected_Indication", {"P_ConnectionId", "P_Reason"}, 2, CallbackMethod::kNoData},
    {"Disconnect_Confirm", {"P_ConnectionId"}, 1, 1},
    {"ConnectionData_Indication", {"P_ConnectionId"}, 1, 1},
    {"ConnectionData_Confirm", {"P_ConnectionId"}, 1, 1},
    {"Data_Indication", {"P_TxId", "P_L7ResponseRequired", "P_ResponseId"}, 3, 1},
    {"Data_Confirm", {"P_RequestId", "P_ConfirmResult"}, 2, 2},
    {"Management_Indication", {"P_Type", "P_Subtype"}, 2, 2},
}};

}  // namespace

const CallbackMethod& MethodOf(CallbackKind kind) {
  return kMethods[static_cast<std::size_t>(kind)];
}

std::optional<CallbackKind> CallbackKindNamed(std::string_view name) {
  for (std::size_t k = 0; k < kMethods.size(); ++k) {
    if (kMethods[k].name == name) {
      return static_cast<CallbackKind>(k);
    }
  }
  return std::nullopt;
}

std::span<const std::uint8_t> CallbackEvent::Data() const {
  if (dataLength <= 0 || data == nullptr) {
    return {};
  }
  return {data, static_cast<std::size_t>(dataLength)};
}

HRESULT DeliverEvent(ITavraCallback& callback, const CallbackEvent& event) {
  const auto& v = event.values;
  const std::int32_t n = event.dataLength;
  const std::uint8_t* d = event.data;
  switch (event.kind) {
    case K::Connect_Indication: return callback.Connect_Indication(v[0], v[1], n, d);
    case K::Connect_Confirm: return callback.Connect_Confirm(v[0], v[1], v[2], n, d);
    case K::Disconnect_Indication: return callback.Disconnect_Indication(v[0], n, d);
    case K::Disconnected_Indication: return callback.Disconnected_Indication(v[0], v[1]);
    case K::Disconnect_Confirm: return callback.Disconnect_Confirm(v[0], n, d);
    case K::ConnectionData_Indication: return callback.ConnectionData_Indication(v[0], n, d);
    case K::ConnectionData_Confirm: return callback.ConnectionData_Confirm(v[0], n, d);
    case K::Data_Indication:
      return callback.Data_Indication(v[0], n, d, static_cast<std::uint8_t>(v[1]), v[2]);
    case K::Data_Confirm: return callback.Data_Confirm(v[0], v[1], n, d);
    case K::Management_Indication: return callback.Management_Indication(v[0], v[1], n, d);
  }
  return E_FAIL;  // not one of the ten
}

}  // namespace tavra
