#pragma once
// Internal result codes of the transport layer CL4 (0x28000201..0x2800020C) and the mapping of
// the link layer's transmit results onto the results that clients see in confirms and
// indications. The controller object translates the internal codes for its callers.

#include <cstdint>

#include "server/stack/internal_codes.h"
#include "shared/result_codes.h"

namespace tavra::stack {

// Start failed: no route function, no serial port, a second start, or a thread not created.
inline constexpr Result kL4StartFailed = 0x28000201;
// 0x28000202 is not used.
// The client key is not registered, or the client table is full.
inline constexpr Result kL4UnknownClient = 0x28000203;
// A disconnect or connection data request is already pending on the connection.
inline constexpr Result kL4RequestPending = 0x28000204;
// Data length outside 0..1020 (also a negative length, or no data for a positive length).
inline constexpr Result kL4DataTooLong = 0x28000205;
// L4 busy budget outside 0..100 or L4 back-off time outside 0..10000 ms.
inline constexpr Result kL4BackoffOutOfRange = 0x28000206;
// No free transaction record or request number.
inline constexpr Result kL4NoTransaction = 0x28000207;
// No pending controller request of the needed kind to answer.
inline constexpr Result kL4NothingToAnswer = 0x28000208;
// No memory for the PDU.
inline constexpr Result kL4NoMemory = 0x28000209;
// No free connection record or connection number.
inline constexpr Result kL4NoConnection = 0x2800020A;
// No such connection for this client.
inline constexpr Result kL4UnknownConnection = 0x2800020B;
// P_RxId outside 0..0xDF: P_RxId + 0x20 must be a destination byte.
inline constexpr Result kL4InvalidRxId = 0x2800020C;

// Connect response is not offered (E_NOTIMPL of the component system).
inline constexpr Result kL4NotImplemented = E_NOTIMPL;

// Results carried in confirms and indications (client codes).
inline constexpr std::int32_t kConfirmOk = 0;
inline constexpr std::int32_t kConfirmNoConnection = 0x22000002;
inline constexpr std::int32_t kConfirmRejected = 0x22000006;
inline constexpr std::int32_t kConfirmControllerBusy = 0x22000007;
inline constexpr std::int32_t kConfirmConnectRefused = 0x22000008;
inline constexpr std::int32_t kConfirmDataTooLong = 0x2200000A;
inline constexpr std::int32_t kConfirmConnectionLost = 0x2200000D;
inline constexpr std::int32_t kConfirmUnknownError = 0x22000100;

// Limits of the transport layer.
inline constexpr std::int32_t kL4MaxData = 1020;
inline constexpr std::int32_t kL4MaxBusyBudget = 100;
inline constexpr std::int32_t kL4MaxBackoffTimeMs = 10000;
inline constexpr std::int32_t kL4MaxRxId = 0xDF;

// The confirm result for a link-layer transmit result other than 257 (accepted):
// 258 rejected, 259 controller busy, 260 data too long, 262 no connection, anything else
// unknown error. 257 itself maps to 0.
[[nodiscard]] constexpr std::int32_t MapTransmitResult(std::int32_t code) {
  switch (code) {
    case kTxAccepted: return kConfirmOk;
    case kTxNoSuchDestination: return kConfirmRejected;
    case kTxBusy: return kConfirmControllerBusy;
    case kTxTooLong: return kConfirmDataTooLong;
    case kTxNoAcknowledgement: return kConfirmNoConnection;
    default: return kConfirmUnknownError;
  }
}

// The confirm result for a send that CL2 refused when the transport layer retried on its own
// (a back-off resend): no link, or another failure.
[[nodiscard]] constexpr std::int32_t ResendFailureResult(Result sendResult) {
  return sendResult == kLinkDown ? kConfirmNoConnection : kConfirmUnknownError;
}

}  // namespace tavra::stack
