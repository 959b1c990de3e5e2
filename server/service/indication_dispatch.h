#pragma once
// Turns one indication item into one ITavraCallback call. Runs on the client's delivery thread
// and takes no lock; the callback may call back into ITavra.
//
// | Kind | Method                    | Arguments                                              |
// |  1   | Data_Indication           | P_TxId b, len, data, P_L7ResponseRequired c & 0xFF,     |
// |      |                           | P_ResponseId a                                         |
// |  2   | Data_Confirm              | P_RequestId a, P_ConfirmResult b, len, data            |
// |  3   | Management_Indication     | P_Type a, P_Subtype b, len, data                       |
// |  4   | Connect_Confirm           | P_RequestId a, P_ConnectionId c, P_ConfirmResult b,    |
// |      |                           | len, data                                              |
// |  5   | Connect_Indication        | P_TxId a, P_ConnectionId b, len, data                  |
// |  6   | Disconnect_Confirm        | P_ConnectionId a, len, data                            |
// |  7   | Disconnect_Indication     | P_ConnectionId a, len, data                            |
// |  8   | Disconnected_Indication   | P_ConnectionId a, P_Reason b                           |
// |  9   | ConnectionData_Indication | P_ConnectionId a, len, data                            |
// | 10   | ConnectionData_Confirm    | P_ConnectionId a, len, data                            |
// Any other kind makes no call.

#include "server/service/indication_item.h"
#include "shared/tavra_interfaces.h"

namespace tavra::service {

enum class DispatchOutcome {
  Called,         // the method was called (its result is ignored)
  NotDispatched,  // no method for this kind, or data too long for a 32-bit length: no call
  CallbackThrew,  // the method threw; the exception was swallowed
};

// P_Data always points at valid memory, also for an item without data (then at a one-byte
// buffer of the server with P_DataLength 0); it is valid only during the call.
DispatchOutcome DispatchIndication(ITavraCallback& callback, const IndicationItem& item);

}  // namespace tavra::service
