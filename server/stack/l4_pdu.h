#pragma once
// Transport PDUs: the data of a data frame between TavraLink's address 0x21 and the
// controller's address 0x21.
//
//   byte 0   type in the top 4 bits; the number N (request or connection number) in the low
//            4 bits when N is 0..14, else 0xF and N follows in byte 1
//   next     N, only in the two-byte form
//   next     extra byte, only for types 0x70, 0xD0 and 0xF0 (destination + 0x20, or the
//            controller's connection number for 0xD0)
//   rest     data
//
// Pure functions; any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tavra::stack {

enum class L4PduType : std::uint8_t {
  TransactionRefused = 0x00,
  ConnectionRefused = 0x10,
  AbortAcknowledged = 0x20,
  AbortConnection = 0x30,
  NotAPdu = 0x40,
  TransactionAnswer = 0x50,
  TransactionBusy = 0x60,
  TransactionRequest = 0x70,
  DisconnectAnswer = 0x80,
  DisconnectRequest = 0x90,
  ConnectionDataAnswer = 0xA0,
  ConnectionDataRequest = 0xB0,
  ConnectionRefusedOther = 0xC0,
  ConnectionAccepted = 0xD0,
  ConnectionBusy = 0xE0,
  ConnectRequest = 0xF0,
};

// Numbers 0..14 fit into the low 4 bits of byte 0; 15 and above take the two-byte form.
inline constexpr std::uint8_t kL4TwoByteMarker = 0x0F;
// The extra byte of 0x70 and 0xF0 is the destination P_RxId + 0x20 (a controller's request
// names a transport number the same way).
inline constexpr std::uint8_t kL4DestinationOffset = 0x20;

[[nodiscard]] constexpr bool HasExtraByte(L4PduType type) {
  return type == L4PduType::TransactionRequest || type == L4PduType::ConnectionAccepted ||
         type == L4PduType::ConnectRequest;
}

// Types whose whole PDU, header included, is what is handed on as data.
[[nodiscard]] constexpr bool HandsOnWholePdu(L4PduType type) {
  switch (type) {
    case L4PduType::TransactionRefused:
    case L4PduType::ConnectionRefused:
    case L4PduType::AbortAcknowledged:
    case L4PduType::AbortConnection:
    case L4PduType::TransactionBusy:
    case L4PduType::ConnectionBusy: return true;
    default: return false;
  }
}

// Header length for a number and type: 1 or 2 bytes, plus 1 for the extra byte.
[[nodiscard]] constexpr std::size_t L4HeaderLength(L4PduType type, std::uint8_t number) {
  return (number < kL4TwoByteMarker ? 1U : 2U) + (HasExtraByte(type) ? 1U : 0U);
}

// Builds a PDU. `extra` is written only for the types that carry it. Allocation failure
// throws std::bad_alloc (the transport layer turns it into its no-memory code).
[[nodiscard]] std::vector<std::uint8_t> EncodeL4Pdu(L4PduType type,
                                                    std::uint8_t number,
                                                    std::uint8_t extra,
                                                    std::span<const std::uint8_t> data);

// A received PDU. `handedOn` views into the frame data given to DecodeL4Pdu: after N for
// 0x50, 0x80, 0x90, 0xA0, 0xB0, 0xC0; after the extra byte for 0x70, 0xD0, 0xF0; the whole
// PDU for 0x00, 0x10, 0x20, 0x30, 0x60, 0xE0.
struct L4Pdu {
  L4PduType type = L4PduType::TransactionRefused;
  std::uint8_t number = 0;
  std::uint8_t extra = 0;  // 0 for the types without one
  std::span<const std::uint8_t> handedOn;
};

// Parses frame data from address 0x21. Nothing when the data is empty, is of type 0x40, or
// is cut short inside its header (the two-byte form without its number, or a missing extra
// byte).
[[nodiscard]] std::optional<L4Pdu> DecodeL4Pdu(std::span<const std::uint8_t> frameData);

}  // namespace tavra::stack
