#pragma once
// Internal result codes of the link stack. They never leave the server: the controller object
// translates them into the client codes of shared/result_codes.h.

#include <cstdint>

namespace tavra::stack {

using Result = std::int32_t;

inline constexpr Result kOk = 0;

// Serial port and link layer.
inline constexpr Result kPortOpenError = 0x28000001;
inline constexpr Result kPortInUse = 0x28000002;
inline constexpr Result kPortNotFound = 0x28000003;
inline constexpr Result kNotInitialised = 0x28000004;
inline constexpr Result kWriteTimeout = 0x28000005;
inline constexpr Result kNoAcknowledgement = 0x28000006;
inline constexpr Result kWrongAcknowledgement = 0x28000007;
inline constexpr Result kUnknownKey = 0x28000008;
inline constexpr Result kLinkDown = 0x28000009;
inline constexpr Result kModeRequestPending = 0x2800000A;
inline constexpr Result kDataTooLong = 0x2800000B;
inline constexpr Result kBackoffOutOfRange = 0x2800000C;
inline constexpr Result kWriteFailed = 0x2800000D;
inline constexpr Result kNoJob = 0x2800000E;  // also "no memory" for management data
inline constexpr Result kUnknownManagementCommand = 0x2800000F;
inline constexpr Result kDestinationOutOfRange = 0x28000010;

// Transport layer: 0x28000201..0x2800020C (see the transport layer's headers).
// Controller object: 0x28000401..0x28000404.

// Transmit results (kind 256 messages from the link layer).
inline constexpr std::int32_t kTxAccepted = 257;
inline constexpr std::int32_t kTxNoSuchDestination = 258;
inline constexpr std::int32_t kTxBusy = 259;
inline constexpr std::int32_t kTxTooLong = 260;
inline constexpr std::int32_t kTxNotWritten = 261;
inline constexpr std::int32_t kTxNoAcknowledgement = 262;
inline constexpr std::int32_t kTxOther = 271;

}  // namespace tavra::stack
