#pragma once
// The link-management messages of CL2 as plain functions: the 5-byte requests it sends to the
// controller's address 0x20, the classes of the controller's replies, and the connect
// parameters that announce the time T after which the controller gives up on a silent host.
// No state, no locks: callable from any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace tavra::stack {

// Request codes of CL2's link-management requests (not the command bytes on the line).
enum class LinkRequest : std::int32_t {
  ConnectNormal = 1,    // command 0x01
  SetBitRate = 3,       // command 0x04
  KeepAlive = 6,        // command 0x05
  RestartNormal = 8,    // command 0x03
  ConnectBootCode = 9,  // command 0x06
  Identify = 10,        // command 0x00
};

inline constexpr std::size_t kLinkRequestSize = 5;
inline constexpr std::size_t kDescriptionSize = 19;
inline constexpr std::size_t kIdentityOffset = 13;  // within the description
inline constexpr std::size_t kIdentitySize = 6;

using LinkRequestBytes = std::array<std::uint8_t, kLinkRequestSize>;
using ConnectParameters = std::array<std::uint8_t, 4>;

// T = noActivityMs + offsetMs, kept within 0..0xFFFF so that its two bytes (and the derived
// fourth byte) fit: T mod 256, T / 256, 0, (T / 256) / 5 + 4. The defaults give 58 1B 00 09.
[[nodiscard]] ConnectParameters MakeConnectParameters(std::int32_t noActivityMs,
                                                      std::int32_t offsetMs);

// The parameter byte of a set-bit-rate request: 1 for 19200, 2 for 38400, 3 for 57600.
[[nodiscard]] std::optional<std::uint8_t> BitRateCode(int bitRate);

// The 5 bytes of request `code` (`bitRate` only for SetBitRate); nothing for an unknown code or
// a rate that has no code.
[[nodiscard]] std::optional<LinkRequestBytes> BuildLinkRequest(std::int32_t code,
                                                               int bitRate,
                                                               const ConnectParameters& connect);

enum class ReplyClass {
  IdentifyAnswered,  // S = 0x20 and the 19 description bytes are there
  ConnectAccepted,   // S = 0x21 or 0x26
  BitRateAccepted,   // S = 0x24
  BitRateRefused,    // low 5 bits 4, other top bits
  Failed,            // anything else, also an empty reply or a short identify answer
};

// Class of a link-management reply (the data of a frame to 0x20; byte 0 is the status byte).
[[nodiscard]] ReplyClass ClassifyReply(std::span<const std::uint8_t> reply);

}  // namespace tavra::stack
