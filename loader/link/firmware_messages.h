#pragma once
// The firmware transfer messages between the loader and the controller's boot code: codes, the
// send buffer and the builders of the loader's messages. Byte 0 is the code; numbers are
// little-endian; the length is the length of the whole message.
//
// Plain data and functions; the send buffer belongs to the one procedure that runs.

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "loader/link/header_text.h"

namespace tavra::loader {

// Loader to controller.
inline constexpr std::uint8_t PDUploadREQ = 0x0C;
inline constexpr std::uint8_t FWDownload_CMD = 0x10;
inline constexpr std::uint8_t FWDownloadBlock_CMD = 0x11;
inline constexpr std::uint8_t FWDownloadCancel_CMD = 0x12;
inline constexpr std::uint8_t FWDownloadFinished_CMD = 0x13;
inline constexpr std::uint8_t FWUpload_CMD = 0x14;
inline constexpr std::uint8_t FWUploadBlock_NAK = 0x15;
inline constexpr std::uint8_t FWHDownload_CMD = 0x18;
inline constexpr std::uint8_t FWHUploadREQ = 0x1A;
inline constexpr std::uint8_t FWUploadBlock_ACK = 0x35;
inline constexpr std::uint8_t FWUploadCancel_ACK = 0x36;
inline constexpr std::uint8_t FWUploadFinished_ACK = 0x37;

// Controller to loader.
inline constexpr std::uint8_t FWDownload_ACK = 0x30;
inline constexpr std::uint8_t FWDownloadBlock_ACK = 0x31;
inline constexpr std::uint8_t FWDownloadBlock_NAK = 0x11;
inline constexpr std::uint8_t FWDownloadCancel_ACK = 0x32;
inline constexpr std::uint8_t FWDownloadFinished_ACK = 0x33;
inline constexpr std::uint8_t FWDownloadFinished_NAK = 0x13;
inline constexpr std::uint8_t FWHDownload_ACK = 0x38;
inline constexpr std::uint8_t FWHDownload_NAK = 0x18;
inline constexpr std::uint8_t FWUpload_ACK = 0x34;
inline constexpr std::uint8_t FWUpload_NAK = 0x14;
inline constexpr std::uint8_t FWUploadBlock_CMD = 0x15;
inline constexpr std::uint8_t FWUploadCancel_CMD = 0x16;
inline constexpr std::uint8_t FWUploadFinished_CMD = 0x17;
inline constexpr std::uint8_t FWHUpload_ACK = 0x3A;
inline constexpr std::uint8_t FWHUpload_NAK = 0x1A;
inline constexpr std::uint8_t PDUpload_ACK = 0x2C;
inline constexpr std::uint8_t PDUpload_NAK = 0x0C;

// True for the reply codes that carry a reason byte at byte 1.
[[nodiscard]] constexpr bool CarriesReason(std::uint8_t code) {
  return code == 0x0B || code == 0x0D || code == 0x11 || code == 0x13 || code == 0x14 ||
         code == 0x1A;
}

// The upload size is divided by this to give the progress maximum of a backup.
inline constexpr std::uint32_t kUploadBytesPerBlock = 67;

// SendBuffer: the message being sent, from offset 0, and its length. A message stays until the
// next one is built (a refused upload message is sent again from here).
struct SendBuffer {
  static constexpr std::size_t kSize = 1024;
  std::array<std::uint8_t, kSize> bytes{};
  std::size_t length = 0;

  [[nodiscard]] std::span<const std::uint8_t> Message() const { return {bytes.data(), length}; }
  [[nodiscard]] std::uint8_t Code() const { return bytes[0]; }
  // A one-byte message.
  void SetCode(std::uint8_t code);
  // FWDownloadBlock_CMD k with the row's bytes (at most 1021 are taken).
  void SetDownloadBlock(std::uint16_t block, std::span<const std::uint8_t> row);
  // FWHDownload_CMD: the code and all 512 header bytes.
  void SetHeaderDownload(const HeaderText& header);
};

// The log line of a built message ("Send FWDownloadBlock_CMD No" and the number, ...); the
// upload acknowledgement's count is passed in `number`.
[[nodiscard]] std::string SendLogLine(std::uint8_t code, long number = 0);

}  // namespace tavra::loader
