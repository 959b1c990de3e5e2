#include "server/service/indication_dispatch.h"

#include <cstdint>
#include <limits>

namespace tavra::service {

namespace {

// What a callback gets for "no data": valid memory, never null.
const std::uint8_t kNoData[1] = {0};

HRESULT Call(ITavraCallback& cb,
             const IndicationItem& item,
             std::int32_t len,
             const std::uint8_t* data) {
  switch (item.kind) {
    case kKindDataIndication:
      return cb.Data_Indication(item.b, len, data, static_cast<std::uint8_t>(item.c & 0xFF),
                                item.a);
    case kKindDataConfirm: return cb.Data_Confirm(item.a, item.b, len, data);
    case kKindManagementIndication: return cb.Management_Indication(item.a, item.b, len, data);
    case kKindConnectConfirm: return cb.Connect_Confirm(item.a, item.c, item.b, len, data);
    case kKindConnectIndication: return cb.Connect_Indication(item.a, item.b, len, data);
    case kKindDisconnectConfirm: return cb.Disconnect_Confirm(item.a, len, data);
    case kKindDisconnectIndication: return cb.Disconnect_Indication(item.a, len, data);
    case kKindDisconnectedIndication: return cb.Disconnected_Indication(item.a, item.b);
    case kKindConnectionDataIndication: return cb.ConnectionData_Indication(item.a, len, data);
    case kKindConnectionDataConfirm: return cb.ConnectionData_Confirm(item.a, len, data);
    default: return S_OK;
  }
}

}  // namespace

DispatchOutcome DispatchIndication(ITavraCallback& callback, const IndicationItem& item) {
  if (item.kind < kKindDataIndication || item.kind > kKindConnectionDataConfirm ||
      item.data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return DispatchOutcome::NotDispatched;
  }
  const auto len = static_cast<std::int32_t>(item.data.size());
  const std::uint8_t* data = item.data.empty() ? kNoData : item.data.data();
  try {
    // The client's answer is of no interest: a failed call is as good as a delivered one.
    static_cast<void>(Call(callback, item, len, data));
  } catch (...) {
    // A client's fault must not end its delivery thread; the next item goes out as usual.
    return DispatchOutcome::CallbackThrew;
  }
  return DispatchOutcome::Called;
}

}  // namespace tavra::service
