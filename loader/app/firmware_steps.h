#pragma once
// The loader's four firmware steps without their windows: show the version of the firmware in
// the controller, accept a firmware file, back the controller's firmware up into a file, and
// update it from the accepted file. The window and the command line run the same steps; they
// show the progress bars and the boxes through the interfaces they pass in.
//
// Owner: the program, one per driver connection. Threads: the controller steps (version,
// backup, update) run on one thread at a time (the window's worker, or the command line's main
// thread); AcceptFirmwareFile and SelectedFirmwareFile may be called from another thread at the
// same time (the accepted path is guarded by its own mutex, and an update takes its copy when
// it starts, so a file accepted during an update does not change it).

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "loader/app/firmware_file.h"
#include "loader/app/history_record.h"
#include "loader/link/driver_connection.h"
#include "loader/link/firmware_transfer.h"
#include "loader/link/loader_reports.h"
#include "loader/link/transfer_inhibitor.h"

namespace tavra::loader {

// How a controller step ended; the window hides the step's progress bar on Failed.
enum class StepResult {
  Done,           // the success box (if any) was shown
  Failed,         // an error box was shown (by the step or the procedure it ran)
  HeaderRefused,  // update: the rows went in, the header did not ("Opdater Firmware fejlet !"
                  // is shown; the bar stays visible)
  FileFailed,     // version: the header came, but its temporary file could not be made
  Cancelled,      // nothing was done (no file chosen)
};

class FirmwareSteps {
 public:
  FirmwareSteps(DriverConnection& connection, MessageBoxes& boxes);

  // The desktop lock that a backup and an update hold from their first message to the
  // controller to their end (null: none). Set before the first step; not owned.
  void SetInhibitor(TransferInhibitor* inhibitor) { m_inhibitor = inhibitor; }
  // The update history file every version read, backup and update is appended to (empty:
  // none). A backup cancelled in its dialog is not recorded. Set before the first step.
  void SetHistoryFile(std::filesystem::path file) { m_historyFile = std::move(file); }

  // Step 1: the product information of the controller's header ("Name \r\n..."), in `info`.
  StepResult ShowFirmwareVersion(std::string& info);

  // Step 2, the open dialog's confirmation: verifies the file; when it passes it becomes the
  // selected file, else "Forkert checksum i fil !" is shown and the earlier choice stays.
  bool AcceptFirmwareFile(const std::filesystem::path& path);
  [[nodiscard]] std::filesystem::path SelectedFirmwareFile() const;

  // Step 3 after the save dialog: the header and every block of the controller's firmware into
  // `target`. The file is written beside the chosen name and put in its place only after the
  // upload succeeded, so a failed backup leaves an earlier file of that name as it was. An empty
  // `target` (the dialog was cancelled) does nothing.
  StepResult Backup(const std::filesystem::path& target, Progress* progress);

  // Step 4: the compatibility test (when the controller delivers its production data), then the
  // accepted file's rows and header into the controller.
  StepResult Update(Progress* progress);

  // The last backup's image and the last update's rows (for a row-by-row comparison).
  [[nodiscard]] const FirmwareImage& UploadImage() const { return *m_uploadImage; }
  [[nodiscard]] const FirmwareImage& DownloadImage() const { return *m_downloadImage; }
  [[nodiscard]] FirmwareTransfer& Transfer() { return m_transfer; }

 private:
  void Log(std::string_view line) const { m_connection.Log(line); }
  void Error(std::string_view textId) { Box(textId, kErrorCaption); }
  void Box(std::string_view textId, std::string_view captionId) {
    m_lastBox = textId;
    m_boxes.Show(textId, captionId);
  }
  StepResult VersionStep(std::string& info, HistoryRecord& record);
  StepResult BackupStep(const std::filesystem::path& target,
                        Progress* progress,
                        HistoryRecord& record);
  StepResult UpdateStep(Progress* progress, HistoryRecord& record);
  // The record's time, port and action; the step fills in the rest.
  HistoryRecord BeginRecord(std::string_view action) const;
  void FinishRecord(HistoryRecord& record, StepResult result, double seconds);
  // Controller and version from a product information block ("Name\r\nVersion  Country\r\n...").
  void NoteController(const std::string& info, HistoryRecord& record);
  // The inhibitor's lock for `reason` + the port number; a missing lock is logged.
  std::unique_ptr<InhibitLock> Inhibit(std::string_view reason);

  DriverConnection& m_connection;
  MessageBoxes& m_boxes;
  TransferInhibitor* m_inhibitor = nullptr;
  std::filesystem::path m_historyFile;
  std::string m_lastBox;         // the step thread's; for the history record
  std::string m_lastController;  // as last read from the controller (step thread)
  std::string m_lastVersion;
  FirmwareTransfer m_transfer;
  std::unique_ptr<FirmwareImage> m_downloadImage = std::make_unique<FirmwareImage>();
  std::unique_ptr<FirmwareImage> m_uploadImage = std::make_unique<FirmwareImage>();
  HeaderText m_downloadHeader;

  mutable std::mutex m_selectedMutex;
  std::filesystem::path m_selectedFirmwareFile;  // guarded by m_selectedMutex
};

}  // namespace tavra::loader
