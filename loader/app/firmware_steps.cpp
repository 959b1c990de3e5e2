#include "loader/app/firmware_steps.h"

#include "loader/app/backup_file_writer.h"
#include "loader/app/header_temp_file.h"

namespace tavra::loader {

FirmwareSteps::FirmwareSteps(DriverConnection& connection, MessageBoxes& boxes)
    : m_connection(connection), m_boxes(boxes), m_transfer(connection, boxes) {}

std::unique_ptr<InhibitLock> FirmwareSteps::Inhibit(std::string_view reason) {
  if (m_inhibitor == nullptr) {
    return nullptr;
  }
  std::string whyNot;
  auto lock =
      m_inhibitor->Acquire(std::string(reason) + std::to_string(m_connection.Port()), whyNot);
  if (!lock) {
    Log("No inhibitor lock, the desktop may suspend during the transfer: " + whyNot);
  }
  return lock;
}

StepResult FirmwareSteps::ShowFirmwareVersion(std::string& info) {
  info.clear();
  const int result = m_transfer.UploadFirmareHeader();
  if (result == 0) {
    Log("UploadFirmareHeader FAILED !! :" + std::to_string(result));
    return StepResult::Failed;
  }
  Log("UploadFirmareHeader SUCCESS  :" + std::to_string(result));
  HeaderText header;
  m_connection.State().CopyUploadedHeader(header);
  if (!ProductInfoOfHeader(header, info).Ok()) {
    Error("IDS_MB_11_TEXT");
    return StepResult::FileFailed;
  }
  return StepResult::Done;
}

bool FirmwareSteps::AcceptFirmwareFile(const std::filesystem::path& path) {
  if (!VerifyFirmwareFile(path)) {
    Error("IDS_MB_2_TEXT");
    return false;
  }
  std::lock_guard lock(m_selectedMutex);
  m_selectedFirmwareFile = std::filesystem::absolute(path);
  return true;
}

std::filesystem::path FirmwareSteps::SelectedFirmwareFile() const {
  std::lock_guard lock(m_selectedMutex);
  return m_selectedFirmwareFile;
}

StepResult FirmwareSteps::Backup(const std::filesystem::path& target, Progress* progress) {
  if (target.empty()) {
    return StepResult::Cancelled;
  }
  const auto lock = Inhibit(kBackupInhibitReason);
  if (m_transfer.UploadFirmareHeader() == 0) {
    Error("IDS_MB_6_TEXT");
    return StepResult::Failed;
  }
  HeaderText header;
  m_connection.State().CopyUploadedHeader(header);
  BackupFileWriter writer;
  if (!writer.Begin(target, header).Ok()) {
    Error("IDS_MB_10_TEXT");
    return StepResult::Failed;
  }
  if (m_transfer.UploadFirmare(*m_uploadImage, progress) == 0) {
    Error("IDS_MB_7_TEXT");
    return StepResult::Failed;  // the writer removes the unfinished file
  }
  const FileResult written = writer.Append(*m_uploadImage);
  if (!written.Ok() || !writer.Commit().Ok()) {
    Log("Backup file not written: " + DescribeFileResult(written));
    Error("IDS_MB_10_TEXT");
    return StepResult::Failed;
  }
  switch (VerifyBackupFile(writer.Target())) {
    case BackupCheck::HeaderChecksumError: Error("IDS_MB_9_TEXT"); return StepResult::Failed;
    case BackupCheck::RecordChecksumError: Error("IDS_MB_8_TEXT"); return StepResult::Failed;
    case BackupCheck::Ok: break;
  }
  m_boxes.Show("IDS_MB_26_TEXT", kSuccessCaption);
  return StepResult::Done;
}

StepResult FirmwareSteps::Update(Progress* progress) {
  const std::filesystem::path file = SelectedFirmwareFile();
  if (file.empty()) {
    Error("IDS_MB_3_TEXT");
    return StepResult::Cancelled;
  }
  const auto lock = Inhibit(kUpdateInhibitReason);
  if (m_transfer.UploadProductionData() != 0) {
    ProductionData production;
    m_connection.State().CopyProductionData(production);
    if (!IsFirmwareAllowed(file, production)) {
      Error("IDS_MB_29_TEXT");
      return StepResult::Failed;
    }
  }
  // Read again now (not verified again); a file that no longer loads is never sent, since
  // an empty image would leave the controller without firmware.
  const FileResult header = BuildDownloadHeader(file, m_downloadHeader);
  const FileResult image = LoadDownloadImage(file, *m_downloadImage);
  if (!header.Ok() || !image.Ok()) {
    Log("Firmware file no longer loads: " + DescribeFileResult(header.Ok() ? image : header));
    Error("IDS_MB_4_TEXT");
    return StepResult::Failed;
  }
  if (m_transfer.DownloadFirmare(*m_downloadImage, progress) == 0) {
    Error("IDS_MB_4_TEXT");
    return StepResult::Failed;
  }
  if (m_transfer.DownloadFirmareHeader(m_downloadHeader) == 0) {
    return StepResult::HeaderRefused;
  }
  m_boxes.Show("IDS_MB_5_TEXT", kSuccessCaption);
  return StepResult::Done;
}

}  // namespace tavra::loader
