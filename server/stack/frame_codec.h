#pragma once
// Encoding of the frames on the serial line.
//
// Data frame: STX, 0x20 + sequence (0..31), destination, source, data with every 0x02, 0x03 and
// 0x10 preceded by DLE 0x10, ETX, check byte. The check byte is the sum mod 256 of STX, the
// three header bytes, the data bytes at their own value and ETX (inserted DLEs not counted).
// Acknowledgement frame: STX, X, X + 2.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavra::stack {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kDle = 0x10;

inline constexpr std::size_t kMaxFrameData = 1024;
inline constexpr std::size_t kMaxEncodedFrame = 2054;

// Answer codes (top three bits of an acknowledgement byte).
inline constexpr std::uint8_t kAckAccepted = 0x40;
inline constexpr std::uint8_t kAckNoSuchAddress = 0x80;
inline constexpr std::uint8_t kAckBusy = 0xA0;
inline constexpr std::uint8_t kAckTooLong = 0xC0;

// True for bytes whose top three bits are 010, 100, 101 or 110 (0x40..0x5F, 0x80..0xDF).
[[nodiscard]] constexpr bool IsAcknowledgementByte(std::uint8_t b) {
  return (b >= 0x40 && b <= 0x5F) || (b >= 0x80 && b <= 0xDF);
}

// Encodes a data frame into out and returns the number of bytes written. data holds at most
// kMaxFrameData bytes (longer data is cut to that length: the caller checks lengths).
std::size_t EncodeDataFrame(std::uint8_t sequence,
                            std::uint8_t destination,
                            std::uint8_t source,
                            std::span<const std::uint8_t> data,
                            std::span<std::uint8_t, kMaxEncodedFrame> out);

std::vector<std::uint8_t> EncodeDataFrame(std::uint8_t sequence,
                                          std::uint8_t destination,
                                          std::uint8_t source,
                                          std::span<const std::uint8_t> data);

[[nodiscard]] constexpr std::array<std::uint8_t, 3> EncodeAckFrame(std::uint8_t x) {
  return {kStx, x, static_cast<std::uint8_t>(x + kStx)};
}

}  // namespace tavra::stack
