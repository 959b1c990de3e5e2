#pragma once
// The boot code's firmware entity at link address 0x22: the firmware transfer messages of the
// loader (download start, blocks, cancel, finish; header download and upload; production data
// upload; firmware upload driven block by block by the controller). It deals in message bytes;
// the caller frames them, one data frame per message, back to the loader's address.
//
// A download is collected aside and replaces the firmware rows only when the finish is
// accepted; the finish is refused when a block was refused or missing, so a controller never
// keeps a firmware with holes. The header of the old firmware is gone from then on until the
// new header is downloaded.
//
// Owned and called by one thread at a time (the simulated controller's worker, under its
// state lock); no locks of its own.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "sim/firmware_store.h"

namespace tavra::sim {

// Message codes, loader to controller.
inline constexpr std::uint8_t kPDUploadREQ = 0x0C;
inline constexpr std::uint8_t kFWDownload_CMD = 0x10;
inline constexpr std::uint8_t kFWDownloadBlock_CMD = 0x11;
inline constexpr std::uint8_t kFWDownloadCancel_CMD = 0x12;
inline constexpr std::uint8_t kFWDownloadFinished_CMD = 0x13;
inline constexpr std::uint8_t kFWUpload_CMD = 0x14;
inline constexpr std::uint8_t kFWUploadBlock_NAK = 0x15;
inline constexpr std::uint8_t kFWHDownload_CMD = 0x18;
inline constexpr std::uint8_t kFWHUploadREQ = 0x1A;
inline constexpr std::uint8_t kFWUploadBlock_ACK = 0x35;
inline constexpr std::uint8_t kFWUploadCancel_ACK = 0x36;
inline constexpr std::uint8_t kFWUploadFinished_ACK = 0x37;

// Message codes, controller to loader.
inline constexpr std::uint8_t kFWDownload_ACK = 0x30;
inline constexpr std::uint8_t kFWDownloadBlock_ACK = 0x31;
inline constexpr std::uint8_t kFWDownloadBlock_NAK = 0x11;
inline constexpr std::uint8_t kFWDownloadCancel_ACK = 0x32;
inline constexpr std::uint8_t kFWDownloadFinished_ACK = 0x33;
inline constexpr std::uint8_t kFWDownloadFinished_NAK = 0x13;
inline constexpr std::uint8_t kFWHDownload_ACK = 0x38;
inline constexpr std::uint8_t kFWHDownload_NAK = 0x18;
inline constexpr std::uint8_t kFWUpload_ACK = 0x34;
inline constexpr std::uint8_t kFWUpload_NAK = 0x14;
inline constexpr std::uint8_t kFWUploadBlock_CMD = 0x15;
inline constexpr std::uint8_t kFWUploadCancel_CMD = 0x16;
inline constexpr std::uint8_t kFWUploadFinished_CMD = 0x17;
inline constexpr std::uint8_t kFWHUpload_ACK = 0x3A;
inline constexpr std::uint8_t kFWHUpload_NAK = 0x1A;
inline constexpr std::uint8_t kPDUpload_ACK = 0x2C;
inline constexpr std::uint8_t kPDUpload_NAK = 0x0C;

inline constexpr std::size_t kHeaderMessageLength = 513;

// Reason bytes of the controller's negative replies (the loader only logs them).
inline constexpr std::uint8_t kReasonNoDownload = 1;   // block or finish without a start
inline constexpr std::uint8_t kReasonOutOfOrder = 2;   // block number is not the next one
inline constexpr std::uint8_t kReasonTooManyRows = 3;  // no room for another row
inline constexpr std::uint8_t kReasonIncomplete = 4;   // finish after a refused block
inline constexpr std::uint8_t kReasonNoFirmware = 5;   // header upload without firmware
inline constexpr std::uint8_t kReasonBadLength = 6;    // message shorter/longer than its layout
inline constexpr std::uint8_t kReasonNoUpload = 7;     // upload message outside an upload

class FirmwareEntity {
 public:
  using MessageList = std::vector<std::vector<std::uint8_t>>;

  explicit FirmwareEntity(FirmwareContent content = FirmwareContent::Default());

  // One message from the loader; returns the controller's messages to send back, in order
  // (none for FWUploadFinished_ACK and for unknown or empty messages).
  MessageList Handle(std::span<const std::uint8_t> message);

  [[nodiscard]] const FirmwareContent& Content() const { return m_content; }
  void SetContent(FirmwareContent content);
  // True once after each change of the content (for the store).
  bool TakeChanged();
  // Forgets a download or upload in progress (the controller restarted).
  void ResetTransfers();

  [[nodiscard]] bool Downloading() const { return m_downloading; }
  [[nodiscard]] bool Uploading() const { return m_uploading; }

  // --- faults ---
  void RefuseBlock(std::uint16_t block, std::uint8_t reason) { m_refusedBlocks[block] = reason; }
  void RefuseFinish(std::optional<std::uint8_t> reason) { m_refuseFinish = reason; }
  void RefuseHeader(bool on) { m_refuseHeader = on; }
  void RefuseUploadMessages(int n, std::uint8_t reason);
  void CancelUploadAtBlock(std::uint16_t block) { m_cancelAtBlock = block; }

 private:
  MessageList HandleBlock(std::span<const std::uint8_t> message);
  MessageList HandleFinish();
  MessageList HandleHeaderDownload(std::span<const std::uint8_t> message);
  MessageList StartUpload();
  MessageList SendUploadStep(int step);
  std::vector<std::uint8_t> BlockMessage(int block) const;

  FirmwareContent m_content;
  bool m_changed = false;

  bool m_downloading = false;
  bool m_incomplete = false;
  std::uint16_t m_lastBlock = 0;
  std::vector<std::vector<std::uint8_t>> m_staged;

  bool m_uploading = false;
  int m_uploadBlock = 0;  // the step last sent: block number, or rows + 1 for the finish
  bool m_cancelSent = false;

  std::map<std::uint16_t, std::uint8_t> m_refusedBlocks;
  std::optional<std::uint8_t> m_refuseFinish;
  bool m_refuseHeader = false;
  int m_refuseUploadsLeft = 0;
  std::uint8_t m_refuseUploadReason = 0;
  std::uint16_t m_cancelAtBlock = 0;
};

}  // namespace tavra::sim
