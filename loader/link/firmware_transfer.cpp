#include "loader/link/firmware_transfer.h"

#include <string>

namespace tavra::loader {

namespace {

std::string Num(long value) {
  return std::to_string(value);
}

void SetMaximum(Progress* progress, int maximum) {
  if (progress != nullptr) {
    progress->SetMaximum(maximum);
  }
}

void SetPosition(Progress* progress, int position) {
  if (progress != nullptr) {
    progress->SetPosition(position);
  }
}

}  // namespace

bool FirmwareTransfer::InBootCode() const {
  return m_connection.ComStatus() == COM_TAVRA_BOOTCODE_MODE;
}

HRESULT FirmwareTransfer::Request() {
  return m_connection.SendData(m_send.Message());
}

int FirmwareTransfer::DownloadFirmare(const FirmwareImage& image, Progress* progress) {
  enum class Next { Start, Block, Cancel };
  const int rows = image.UsedRows();
  Next selector = Next::Start;
  int nextBlock = 1;
  int position = 0;
  for (;;) {
    if (!InBootCode()) {
      Log("DownloadFirmare NOT in BOOTCODE MODE COM_STATUS:" + Num(m_connection.ComStatus()));
      return 0;
    }
    bool finished = false;
    if (selector == Next::Start) {
      m_send.SetCode(FWDownload_CMD);
      SetMaximum(progress, rows);
      SetPosition(progress, position = 0);
      Log(SendLogLine(FWDownload_CMD));
    } else if (selector == Next::Cancel) {
      m_send.SetCode(FWDownloadCancel_CMD);
      Log(SendLogLine(FWDownloadCancel_CMD));
    } else if (nextBlock > rows) {
      m_send.SetCode(FWDownloadFinished_CMD);
      Log(SendLogLine(FWDownloadFinished_CMD));
      finished = true;
    } else {
      m_send.SetDownloadBlock(static_cast<std::uint16_t>(nextBlock), image.Row(nextBlock));
      SetPosition(progress, ++position);
      Log(SendLogLine(FWDownloadBlock_CMD, nextBlock));
      ++nextBlock;  // a refused block is not sent again
    }
    selector = Next::Block;

    const HRESULT hr = Request();
    Log("DownloadFirmare Data_Request HRESULT:" + Num(hr));
    if (hr != S_OK) {
      return 0;
    }
    if (!m_connection.State().WaitCallbackDataConfirm()) {
      Log("DownloadFirmare WaitCallbackDataConfirm TIMEOUT");
      return 0;
    }
    std::uint8_t code = 0;
    if (!m_connection.State().WaitCallbackDataIndication(code)) {
      Log("DownloadFirmare WaitCallbackDataIndication TIMEOUT");
      return 0;
    }
    const std::uint8_t reason = m_connection.State().IndicationReason();
    const std::uint8_t last = m_send.Code();
    switch (code) {
      case FWDownload_ACK:
        Log("Receive DownloadFirmare FWDownload ACK ");
        if (last != FWDownload_CMD) {
          return 0;
        }
        break;
      case FWDownloadBlock_ACK:
        Log("Receive DownloadFirmare FWDownload BLOCK ACK ");
        if (last != FWDownloadBlock_CMD) {
          return 0;
        }
        break;
      case FWDownloadBlock_NAK:
        Log("Receive DownloadFirmare FWDownloadBlock NAK NAK_REASON:" + Num(reason));
        selector = Next::Cancel;
        break;
      case FWDownloadCancel_ACK:
        Log("Receive DownloadFirmare FWDownloadCancel ACK");
        if (last != FWDownloadCancel_CMD) {
          return 0;
        }
        break;
      case FWDownloadFinished_ACK:
        Log("Receive DownloadFirmare FWDownloadFinshed ACK");
        return finished ? 1 : 0;
      case FWDownloadFinished_NAK:
        Log("Receive DownloadFirmare FWDownloadFinshed NAK NAK_Reason:" + Num(reason));
        return 0;
      default:
        Log("Receive DownloadFirmare UNKNOWN INDICATION :" + Num(code));
        m_boxes.Show("IDS_MB_15_TEXT", kErrorCaption);
        return 0;
    }
  }
}

int FirmwareTransfer::DownloadFirmareHeader(const HeaderText& header) {
  if (!InBootCode()) {
    return 0;
  }
  m_send.SetHeaderDownload(header);
  Log(SendLogLine(FWHDownload_CMD));
  const HRESULT hr = Request();
  Log("DownloadFirmareHeader HRESULT:" + Num(hr));
  std::uint8_t code = 0;
  if (hr != S_OK || !m_connection.State().WaitCallbackDataConfirm() ||
      !m_connection.State().WaitCallbackDataIndication(code)) {
    return 0;
  }
  const std::uint8_t reason = m_connection.State().IndicationReason();
  switch (code) {
    case FWHDownload_NAK:
      Log("Receive DownloadFirmareHeader NAK NAK_Reason:" + Num(reason));
      return 0;
    case FWHDownload_ACK:
      Log("Receive DownloadFirmare Header ACK");
      return m_send.Code() == FWHDownload_CMD ? 1 : 0;
    default: m_boxes.Show("IDS_MB_13_TEXT", kErrorCaption); return 0;
  }
}

void FirmwareTransfer::TakeBlock(FirmwareImage& image) {
  int number = -1;
  switch (m_connection.State().TakeUploadBlock(m_nextUploadBlock, image, number)) {
    case LinkState::Take::Stored:
      ++m_nextUploadBlock;
      image.rowCount = static_cast<std::int16_t>(++m_storedBlocks);
      break;
    case LinkState::Take::WrongNumber:
      Log("UploadFirmare FWUploadBlock_CMD BlockNo " + Num(number) + " dropped, expected " +
          Num(m_nextUploadBlock));
      break;
    case LinkState::Take::NoRow:
      Log("UploadFirmare FWUploadBlock_CMD BlockNo " + Num(number) + " does not fit a row");
      break;
    case LinkState::Take::NothingHeld: break;
  }
}

int FirmwareTransfer::UploadFirmare(FirmwareImage& image, Progress* progress) {
  enum class Next { Start, BlockAck, CancelAck, FinishAck, None };
  Next selector = Next::Start;
  m_storedBlocks = 0;
  m_nextUploadBlock = 1;
  image.rowCount = 0;
  m_connection.State().ClearHeldBlock();
  int position = 0;
  int maximum = 0;
  int refusals = 0;
  for (;;) {
    if (!InBootCode()) {
      return 0;
    }
    bool finishSent = false;
    switch (selector) {
      case Next::Start:
        m_send.SetCode(FWUpload_CMD);
        m_uploadAckCount = 0;
        break;
      case Next::BlockAck:
        m_send.SetCode(FWUploadBlock_ACK);
        ++m_uploadAckCount;
        break;
      case Next::CancelAck: m_send.SetCode(FWUploadCancel_ACK); break;
      case Next::FinishAck:
        m_send.SetCode(FWUploadFinished_ACK);
        finishSent = true;
        break;
      case Next::None: break;  // the message in the buffer goes again
    }
    if (selector != Next::None) {
      Log(SendLogLine(m_send.Code(), static_cast<long>(m_uploadAckCount)));
    }
    selector = Next::None;

    const HRESULT hr = Request();
    Log("UploadFirmare HRESULT:" + Num(hr));
    if (hr != S_OK) {
      return 0;
    }
    if (finishSent) {
      // The controller answers its finish acknowledgement with nothing; its link confirm is
      // waited for (result 1 either way), so the acknowledgement has left before anything that
      // follows (a reset at the end of the program would otherwise drop it from the queue) and
      // no stale confirm is left for the next procedure.
      (void)m_connection.State().WaitCallbackDataConfirm();
      return 1;
    }
    std::uint8_t code = 0;
    if (!m_connection.State().WaitCallbackDataConfirm() ||
        !m_connection.State().WaitCallbackDataIndication(code)) {
      return 0;
    }
    const std::uint8_t reason = m_connection.State().IndicationReason();
    if (code != FWUpload_NAK) {
      refusals = 0;
    }
    switch (code) {
      case FWUpload_NAK:
        Log("Receive Upload Firmware NAK NAK_Reason:" + Num(reason));
        if (++refusals >= kMaxUploadRefusals) {
          Log("UploadFirmare refused " + Num(refusals) + " times in a row");
          return 0;  // a controller that always refuses must not hold the loader for ever
        }
        break;
      case FWUploadBlock_CMD:
        Log("Receive FWUploadBlock_CMD BlockNo ");
        SetPosition(progress, ++position);
        TakeBlock(image);
        selector = Next::BlockAck;
        break;
      case FWUploadCancel_CMD: selector = Next::CancelAck; break;
      case FWUploadFinished_CMD:
        SetPosition(progress, position = maximum);
        selector = Next::FinishAck;
        break;
      case FWUpload_ACK: {
        if (m_send.Code() != FWUpload_CMD) {
          return 0;
        }
        maximum = static_cast<int>(m_connection.State().UploadBlockCount());
        SetMaximum(progress, maximum);
        SetPosition(progress, position = 0);
        if (!m_connection.State().WaitCallbackDataIndication(code)) {
          Log("UploadFirmare FWUploadBlock_CMD Receive TIMEOUT");
          return 0;
        }
        if (code != FWUploadBlock_CMD) {
          return 0;
        }
        TakeBlock(image);
        selector = Next::BlockAck;
        break;
      }
      default: m_boxes.Show("IDS_MB_14_TEXT", kErrorCaption); return 0;
    }
  }
}

int FirmwareTransfer::SingleUpload(std::uint8_t request, const char* requestLog) {
  if (!InBootCode()) {
    return 0;
  }
  m_send.SetCode(request);
  Log(SendLogLine(request));
  const HRESULT hr = Request();
  Log(std::string(requestLog) + " Data_Request HRESULT:" + Num(hr));
  std::uint8_t code = 0;
  if (hr != S_OK || !m_connection.State().WaitCallbackDataConfirm() ||
      !m_connection.State().WaitCallbackDataIndication(code)) {
    return -1;
  }
  return code;
}

int FirmwareTransfer::UploadFirmareHeader() {
  const int code = SingleUpload(FWHUploadREQ, "UploadFirmareHeader");
  if (code < 0) {
    return 0;
  }
  const std::uint8_t reason = m_connection.State().IndicationReason();
  if (code == FWHUpload_NAK) {
    Log("Receive UploadFirmareHeader NAK NAK_Reason:" + Num(reason));
    m_boxes.Show("IDS_MB_25_TEXT", kErrorCaption);
    return 0;
  }
  if (code == FWHUpload_ACK) {
    Log("Receive Firmware Header Upload ");
    return 1;
  }
  m_boxes.Show("IDS_MB_12_TEXT", kErrorCaption);
  return 0;
}

int FirmwareTransfer::UploadProductionData() {
  const int code = SingleUpload(PDUploadREQ, "UploadProductionData");
  if (code < 0) {
    return 0;
  }
  const std::uint8_t reason = m_connection.State().IndicationReason();
  if (code == PDUpload_NAK) {
    Log("Receive Upload Production Data NAK, NAK_Reason:" + Num(reason));
    m_boxes.Show("IDS_MB_27_TEXT", kErrorCaption);
    return 0;
  }
  if (code == PDUpload_ACK) {
    Log("Receive Production Data Upload ");
    return 1;
  }
  m_boxes.Show("IDS_MB_28_TEXT", kErrorCaption);
  return 0;
}

}  // namespace tavra::loader
