#include "loader/link/firmware_messages.h"

#include <algorithm>

namespace tavra::loader {

void SendBuffer::SetCode(std::uint8_t code) {
  bytes[0] = code;
  length = 1;
}

void SendBuffer::SetDownloadBlock(std::uint16_t block, std::span<const std::uint8_t> row) {
  bytes[0] = FWDownloadBlock_CMD;
  bytes[1] = static_cast<std::uint8_t>(block & 0xFF);
  bytes[2] = static_cast<std::uint8_t>(block >> 8);
  const std::size_t n = std::min(row.size(), kSize - 3);
  std::copy_n(row.begin(), n, bytes.begin() + 3);
  length = 3 + n;
}

void SendBuffer::SetHeaderDownload(const HeaderText& header) {
  bytes[0] = FWHDownload_CMD;
  std::copy(header.bytes.begin(), header.bytes.end(), bytes.begin() + 1);
  length = 1 + HeaderText::kSize;
}

std::string SendLogLine(std::uint8_t code, long number) {
  switch (code) {
    case PDUploadREQ: return "Send PDUploadREQ";
    case FWDownload_CMD: return "Send FWDownload_CMD";
    case FWDownloadBlock_CMD: return "Send FWDownloadBlock_CMD No" + std::to_string(number);
    case FWDownloadCancel_CMD: return "Send FWDownloadCancel_CMD";
    case FWDownloadFinished_CMD: return "Send FWDownloadFinished_CMD";
    case FWUpload_CMD: return "Send FWUpload_CMD";
    case FWUploadBlock_NAK: return "Send FWUploadBlock_NAK";
    case FWHDownload_CMD: return "Send FIRMWARE HEADER Download_CMD";
    case FWHUploadREQ: return "Send FWHUploadREQ";
    case FWUploadBlock_ACK: return "Send FWUploadBlock_ACK BlockNo " + std::to_string(number);
    case FWUploadCancel_ACK: return "Send FWUploadCancel_ACK";
    case FWUploadFinished_ACK: return "Send FWUploadFinished_ACK";
    default: return {};
  }
}

}  // namespace tavra::loader
