#pragma once
// Header form of the transport PDUs between the host's address 0x21 and the controller's
// address 0x21: byte 0 = type (top 4 bits) | N (low 4 bits, or 0xF when N follows in byte 1),
// then the extra byte for types 0x70, 0xD0 and 0xF0, then the data.
//
// Plain functions; no state.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tavra::sim {

inline constexpr std::uint8_t kPduTransactionRefused = 0x00;
inline constexpr std::uint8_t kPduConnectionRefused = 0x10;
inline constexpr std::uint8_t kPduAbortAck = 0x20;
inline constexpr std::uint8_t kPduAbort = 0x30;
inline constexpr std::uint8_t kPduTransactionAnswer = 0x50;
inline constexpr std::uint8_t kPduTransactionBusy = 0x60;
inline constexpr std::uint8_t kPduTransactionRequest = 0x70;
inline constexpr std::uint8_t kPduDisconnectAnswer = 0x80;
inline constexpr std::uint8_t kPduDisconnectRequest = 0x90;
inline constexpr std::uint8_t kPduConnectionDataAnswer = 0xA0;
inline constexpr std::uint8_t kPduConnectionDataRequest = 0xB0;
inline constexpr std::uint8_t kPduConnectionRefusedOther = 0xC0;
inline constexpr std::uint8_t kPduConnectionAccepted = 0xD0;
inline constexpr std::uint8_t kPduConnectionBusy = 0xE0;
inline constexpr std::uint8_t kPduConnectRequest = 0xF0;

[[nodiscard]] constexpr bool PduHasExtraByte(std::uint8_t type) {
  return type == kPduTransactionRequest || type == kPduConnectionAccepted ||
         type == kPduConnectRequest;
}

struct Pdu {
  std::uint8_t type = 0;    // top 4 bits only
  std::uint8_t number = 0;  // N
  std::optional<std::uint8_t> extra;
  std::vector<std::uint8_t> data;
};

// nullopt when the bytes are too short for the header their type needs (empty, 0xF without
// N, or a type that needs an extra byte without it).
std::optional<Pdu> DecodePdu(std::span<const std::uint8_t> bytes);

// extra is written only for the types that carry one (0 when not given).
std::vector<std::uint8_t> EncodePdu(std::uint8_t type,
                                    std::uint8_t number,
                                    std::optional<std::uint8_t> extra = std::nullopt,
                                    std::span<const std::uint8_t> data = {});

}  // namespace tavra::sim
