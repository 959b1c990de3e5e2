#include "sim/firmware_entity.h"

#include <algorithm>
#include <utility>

namespace tavra::sim {

FirmwareEntity::FirmwareEntity(FirmwareContent content) {
  SetContent(std::move(content));
  m_changed = false;
}

void FirmwareEntity::SetContent(FirmwareContent content) {
  // Beyond these limits no message could carry the content.
  if (content.header.size() > kMaxHeaderBytes) {
    content.header.resize(kMaxHeaderBytes);
  }
  if (content.rows.size() > kMaxRows) {
    content.rows.resize(kMaxRows);
  }
  for (std::vector<std::uint8_t>& row : content.rows) {
    if (row.size() > kMaxRowBytes) {
      row.resize(kMaxRowBytes);
    }
  }
  if (content.productionData && content.productionData->size() > kMaxProductionBytes) {
    content.productionData->resize(kMaxProductionBytes);
  }
  m_content = std::move(content);
  m_changed = true;
}

bool FirmwareEntity::TakeChanged() {
  return std::exchange(m_changed, false);
}

void FirmwareEntity::ResetTransfers() {
  m_downloading = false;
  m_incomplete = false;
  m_lastBlock = 0;
  m_staged.clear();
  m_uploading = false;
  m_uploadBlock = 0;
  m_cancelSent = false;
}

void FirmwareEntity::RefuseUploadMessages(int n, std::uint8_t reason) {
  m_refuseUploadsLeft = std::max(n, 0);
  m_refuseUploadReason = reason;
}

FirmwareEntity::MessageList FirmwareEntity::Handle(std::span<const std::uint8_t> message) {
  if (message.empty()) {
    return {};
  }
  switch (message[0]) {
    case kFWDownload_CMD:
      m_downloading = true;
      m_incomplete = false;
      m_lastBlock = 0;
      m_staged.clear();
      return {{kFWDownload_ACK}};
    case kFWDownloadBlock_CMD: return HandleBlock(message);
    case kFWDownloadCancel_CMD:
      // The loader cancels a refused block and goes on with the next one.
      return {{kFWDownloadCancel_ACK}};
    case kFWDownloadFinished_CMD: return HandleFinish();
    case kFWHDownload_CMD: return HandleHeaderDownload(message);
    case kFWHUploadREQ: {
      if (!m_content.HasFirmware()) {
        return {{kFWHUpload_NAK, kReasonNoFirmware}};
      }
      std::vector<std::uint8_t> reply{kFWHUpload_ACK};
      const std::size_t n = std::min(m_content.header.size(), kMaxHeaderBytes);
      reply.insert(reply.end(), m_content.header.begin(),
                   m_content.header.begin() + static_cast<std::ptrdiff_t>(n));
      return {reply};
    }
    case kPDUploadREQ: {
      if (!m_content.productionData) {
        return {{kPDUpload_NAK}};
      }
      const std::vector<std::uint8_t>& record = *m_content.productionData;
      std::vector<std::uint8_t> reply{kPDUpload_ACK};
      const std::size_t n = std::min(record.size(), kMaxProductionBytes);
      reply.insert(reply.end(), record.begin(), record.begin() + static_cast<std::ptrdiff_t>(n));
      return {reply};
    }
    case kFWUpload_CMD:
      if (m_refuseUploadsLeft > 0) {
        --m_refuseUploadsLeft;
        return {{kFWUpload_NAK, m_refuseUploadReason}};
      }
      return StartUpload();
    case kFWUploadBlock_ACK:
      if (!m_uploading) {
        return {{kFWUpload_NAK, kReasonNoUpload}};
      }
      if (m_refuseUploadsLeft > 0) {
        --m_refuseUploadsLeft;
        return {{kFWUpload_NAK, m_refuseUploadReason}};
      }
      return SendUploadStep(m_uploadBlock + 1);
    case kFWUploadCancel_ACK:
    case kFWUploadBlock_NAK:
      // After its cancel, or when the loader refuses a block, the controller sends the same
      // step again.
      if (!m_uploading) {
        return {{kFWUpload_NAK, kReasonNoUpload}};
      }
      return SendUploadStep(m_uploadBlock);
    case kFWUploadFinished_ACK: m_uploading = false; return {};
    default: return {};
  }
}

FirmwareEntity::MessageList FirmwareEntity::HandleBlock(std::span<const std::uint8_t> message) {
  if (message.size() < 3) {
    return {{kFWDownloadBlock_NAK, kReasonBadLength}};
  }
  if (!m_downloading) {
    return {{kFWDownloadBlock_NAK, kReasonNoDownload}};
  }
  const auto block = static_cast<std::uint16_t>(message[1] | (message[2] << 8));
  if (auto it = m_refusedBlocks.find(block); it != m_refusedBlocks.end()) {
    m_incomplete = true;
    m_lastBlock = std::max(m_lastBlock, block);
    return {{kFWDownloadBlock_NAK, it->second}};
  }
  if (block != m_lastBlock + 1) {
    // A gap leaves the download incomplete; the blocks after it are still taken in order.
    m_incomplete = true;
    m_lastBlock = std::max(m_lastBlock, block);
    return {{kFWDownloadBlock_NAK, kReasonOutOfOrder}};
  }
  if (m_staged.size() >= kMaxRows) {
    m_incomplete = true;
    return {{kFWDownloadBlock_NAK, kReasonTooManyRows}};
  }
  m_staged.emplace_back(message.begin() + 3, message.end());
  m_lastBlock = block;
  return {{kFWDownloadBlock_ACK}};
}

FirmwareEntity::MessageList FirmwareEntity::HandleFinish() {
  if (!m_downloading) {
    return {{kFWDownloadFinished_NAK, kReasonNoDownload}};
  }
  m_downloading = false;
  if (m_refuseFinish) {
    return {{kFWDownloadFinished_NAK, *m_refuseFinish}};
  }
  if (m_incomplete) {
    return {{kFWDownloadFinished_NAK, kReasonIncomplete}};
  }
  m_content.rows = std::move(m_staged);
  m_staged.clear();
  // The header of the old firmware no longer describes the rows; the loader sends the new one.
  m_content.header.clear();
  m_changed = true;
  return {{kFWDownloadFinished_ACK}};
}

FirmwareEntity::MessageList FirmwareEntity::HandleHeaderDownload(
    std::span<const std::uint8_t> message) {
  if (message.size() != kHeaderMessageLength) {
    return {{kFWHDownload_NAK, kReasonBadLength}};
  }
  if (m_refuseHeader) {
    return {{kFWHDownload_NAK, 0}};
  }
  const auto text = message.subspan(1);
  const auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
  m_content.header.assign(text.begin(), end);
  m_changed = true;
  return {{kFWHDownload_ACK}};
}

FirmwareEntity::MessageList FirmwareEntity::StartUpload() {
  m_uploading = true;
  m_cancelSent = false;
  const std::uint32_t size = m_content.SizeInBytes();
  MessageList out;
  out.push_back({kFWUpload_ACK, static_cast<std::uint8_t>(size & 0xFF),
                 static_cast<std::uint8_t>((size >> 8) & 0xFF),
                 static_cast<std::uint8_t>((size >> 16) & 0xFF),
                 static_cast<std::uint8_t>((size >> 24) & 0xFF)});
  // The first block follows the acknowledgement at once, without a request in between.
  MessageList first = SendUploadStep(1);
  out.insert(out.end(), first.begin(), first.end());
  return out;
}

FirmwareEntity::MessageList FirmwareEntity::SendUploadStep(int step) {
  m_uploadBlock = step;
  if (step > static_cast<int>(m_content.rows.size())) {
    return {{kFWUploadFinished_CMD}};
  }
  if (step == m_cancelAtBlock && !m_cancelSent) {
    m_cancelSent = true;
    return {{kFWUploadCancel_CMD}};
  }
  return {BlockMessage(step)};
}

std::vector<std::uint8_t> FirmwareEntity::BlockMessage(int block) const {
  const std::vector<std::uint8_t>& row = m_content.rows[static_cast<std::size_t>(block - 1)];
  std::vector<std::uint8_t> message{kFWUploadBlock_CMD, static_cast<std::uint8_t>(block & 0xFF),
                                    static_cast<std::uint8_t>((block >> 8) & 0xFF)};
  message.insert(message.end(), row.begin(), row.end());
  return message;
}

}  // namespace tavra::sim
