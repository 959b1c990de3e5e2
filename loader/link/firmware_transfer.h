#pragma once
// The firmware transfer procedures of a controller in its boot code: DownloadFirmare and
// DownloadFirmareHeader write a firmware; UploadFirmareHeader, UploadFirmare and
// UploadProductionData read from it. Each message is one exchange: build it into the send
// buffer, Data_Request, wait for Data_Confirm, wait for Data_Indication (15000 ms each), then
// decide by the reply's code. Every procedure returns 1 on success, 0 on failure, and writes
// the log lines and shows the messages of its reply table.
//
// Plain C++, no Qt: the window runs these on a worker thread of its own and receives progress,
// log lines and boxes through queued signals; the command line runs them directly.
// Owner: the program; one procedure runs at a time. Threads: the thread that runs a procedure;
// the images and the header passed in are not touched by any other thread meanwhile.

#include <cstdint>

#include "loader/link/driver_connection.h"
#include "loader/link/firmware_image.h"
#include "loader/link/firmware_messages.h"
#include "loader/link/header_text.h"
#include "loader/link/loader_reports.h"

namespace tavra::loader {

class FirmwareTransfer {
 public:
  // A controller that refuses the same upload message this often in a row fails the backup.
  static constexpr int kMaxUploadRefusals = 100;

  FirmwareTransfer(DriverConnection& connection, MessageBoxes& boxes)
      : m_connection(connection), m_boxes(boxes) {}

  // Sends rows 1..RowCount of `image`; `progress` goes from 0 to RowCount (may be null).
  int DownloadFirmare(const FirmwareImage& image, Progress* progress);
  int DownloadFirmareHeader(const HeaderText& header);

  // Fills `image` with the controller's blocks (rows 1..B, rowCount B); `progress` from 0 to
  // the size / 67 (may be null).
  int UploadFirmare(FirmwareImage& image, Progress* progress);
  // The header lands in the LinkState's UploadedHeader.
  int UploadFirmareHeader();
  // The record lands in the LinkState's ProductionData.
  int UploadProductionData();

  [[nodiscard]] const SendBuffer& Buffer() const { return m_send; }
  // Blocks stored by the last UploadFirmare.
  [[nodiscard]] int StoredBlocks() const { return m_storedBlocks; }

 private:
  HRESULT Request();
  void Log(std::string_view line) const { m_connection.Log(line); }
  bool InBootCode() const;
  // The single exchanges: the reply's code, or -1 (request failed or a wait timed out).
  int SingleUpload(std::uint8_t request, const char* requestLog);
  void TakeBlock(FirmwareImage& image);

  DriverConnection& m_connection;
  MessageBoxes& m_boxes;
  SendBuffer m_send;
  std::uint32_t m_uploadAckCount = 0;
  int m_nextUploadBlock = 1;
  int m_storedBlocks = 0;
};

}  // namespace tavra::loader
