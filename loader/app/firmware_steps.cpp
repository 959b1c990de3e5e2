#include "loader/app/firmware_steps.h"

#include <chrono>
#include <ctime>

#include "loader/app/backup_file_writer.h"
#include "loader/app/header_temp_file.h"
#include "loader/app/history_file.h"

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

HistoryRecord FirmwareSteps::BeginRecord(std::string_view action) const {
  HistoryRecord record;
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char time[32];
  std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
  record.time = time;
  record.port = m_connection.Port();
  record.action = action;
  record.controller = m_lastController;
  record.versionBefore = m_lastVersion;
  return record;
}

void FirmwareSteps::FinishRecord(HistoryRecord& record, StepResult result, double seconds) {
  if (m_historyFile.empty()) {
    return;
  }
  record.result = result == StepResult::Done        ? kResultOk
                  : result == StepResult::Cancelled ? kResultCancelled
                                                    : kResultFailed;
  record.message = m_lastBox;
  record.seconds = seconds;
  if (!AppendHistory(m_historyFile, record)) {
    Log("Update history not written: " + m_historyFile.string());
  }
}

void FirmwareSteps::NoteController(const std::string& info, HistoryRecord& record) {
  const auto line = [&info](std::size_t index) {
    std::size_t begin = 0;
    for (std::size_t i = 0; i < index && begin != std::string::npos; ++i) {
      begin = info.find('\n', begin);
      begin = begin == std::string::npos ? begin : begin + 1;
    }
    if (begin == std::string::npos) {
      return std::string();
    }
    std::string text = info.substr(begin, info.find('\n', begin) - begin);
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) {
      text.pop_back();
    }
    return text;
  };
  m_lastController = record.controller = line(0);
  m_lastVersion = record.versionBefore = record.versionAfter = line(1);
}

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

StepResult FirmwareSteps::ShowFirmwareVersion(std::string& info) {
  const auto start = std::chrono::steady_clock::now();
  m_lastBox.clear();
  HistoryRecord record = BeginRecord(kActionVersion);
  const StepResult result = VersionStep(info, record);
  FinishRecord(record, result == StepResult::FileFailed ? StepResult::Done : result,
               SecondsSince(start));
  return result;
}

StepResult FirmwareSteps::VersionStep(std::string& info, HistoryRecord& record) {
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
  NoteController(info, record);
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
    return StepResult::Cancelled;  // the dialog was cancelled: nothing to record
  }
  const auto start = std::chrono::steady_clock::now();
  m_lastBox.clear();
  HistoryRecord record = BeginRecord(kActionBackup);
  record.file = std::filesystem::absolute(target).string();
  const StepResult result = BackupStep(target, progress, record);
  FinishRecord(record, result, SecondsSince(start));
  return result;
}

StepResult FirmwareSteps::BackupStep(const std::filesystem::path& target,
                                     Progress* progress,
                                     HistoryRecord& record) {
  const auto lock = Inhibit(kBackupInhibitReason);
  if (m_transfer.UploadFirmareHeader() == 0) {
    Error("IDS_MB_6_TEXT");
    return StepResult::Failed;
  }
  HeaderText header;
  m_connection.State().CopyUploadedHeader(header);
  if (std::string info; ProductInfoOfHeader(header, info).Ok()) {
    NoteController(info, record);
  }
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
  record.headerChecksum = CalcFileHeaderChecksum(writer.Target());
  record.firmwareChecksum = CalcFirmwareChecksum(writer.Target());
  Box("IDS_MB_26_TEXT", kSuccessCaption);
  return StepResult::Done;
}

StepResult FirmwareSteps::Update(Progress* progress) {
  const auto start = std::chrono::steady_clock::now();
  m_lastBox.clear();
  HistoryRecord record = BeginRecord(kActionUpdate);
  const StepResult result = UpdateStep(progress, record);
  FinishRecord(record, result, SecondsSince(start));
  return result;
}

StepResult FirmwareSteps::UpdateStep(Progress* progress, HistoryRecord& record) {
  const std::filesystem::path file = SelectedFirmwareFile();
  if (file.empty()) {
    Error("IDS_MB_3_TEXT");
    return StepResult::Cancelled;
  }
  record.file = file.string();
  record.headerChecksum = CalcFileHeaderChecksum(file);
  record.firmwareChecksum = CalcFirmwareChecksum(file);
  const std::string fileInfo = FormatProductInfo(file);
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
    // Said, not left to silence: without its header the controller holds no usable firmware.
    Error("IDS_MB_4_TEXT");
    return StepResult::HeaderRefused;
  }
  const std::string before = m_lastVersion;
  NoteController(fileInfo, record);  // the controller now holds the file's firmware
  record.versionBefore = before;
  Box("IDS_MB_5_TEXT", kSuccessCaption);
  return StepResult::Done;
}

}  // namespace tavra::loader
