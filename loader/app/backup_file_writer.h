#pragma once
// Writes a backup file without putting an existing file of the chosen name at risk.
//
// The backup is written into a new file beside the chosen one and takes its place only when
// it is complete: Begin() creates the new file and writes the controller's header text into
// it, Append() adds the uploaded firmware rows, Commit() puts the file in place of the chosen
// name in one step (rename). Until then a file of that name stays as it was; Abandon() (or the
// destructor) removes the unfinished file, e.g. when the upload failed. A committed file stays
// in place whatever the backup check then says.
//
// The replaced file's permission bits carry over; a new file gets the usual ones (0666 less the
// umask). A chosen name that is a symbolic link is resolved, so the link keeps pointing at the
// backup.
//
// Owned and used by one thread at a time (the loader's main window thread).

#include <cstdio>
#include <filesystem>
#include <memory>

#include "loader/app/firmware_file.h"

namespace tavra::loader {

class BackupFileWriter {
 public:
  BackupFileWriter() = default;
  ~BackupFileWriter();
  BackupFileWriter(const BackupFileWriter&) = delete;
  BackupFileWriter& operator=(const BackupFileWriter&) = delete;

  // Creates the new file beside `target` and writes `header`. CannotCreate when the chosen
  // name is a folder, names an existing file that may not be written, or its folder does not
  // take a new file; WriteError when the header could not be written. A writer that was begun
  // before is abandoned first.
  [[nodiscard]] FileResult Begin(const std::filesystem::path& target, const HeaderText& header);

  // Appends the image's rows as record lines (upper-case digits, CR LF).
  [[nodiscard]] FileResult Append(const FirmwareImage& image);

  // Writes the file out to the disk and puts it in place of the chosen name. On failure the
  // new file is removed and the chosen name is untouched.
  [[nodiscard]] FileResult Commit();

  // Removes the unfinished file; the chosen name is untouched. Harmless when nothing is begun.
  void Abandon();

  [[nodiscard]] bool Active() const { return m_file != nullptr; }
  // Where the file is put by Commit() (the chosen name, links resolved).
  [[nodiscard]] const std::filesystem::path& Target() const { return m_target; }
  // The unfinished file; empty when none.
  [[nodiscard]] const std::filesystem::path& TemporaryPath() const { return m_temporary; }

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  std::unique_ptr<std::FILE, FileCloser> m_file;
  std::filesystem::path m_target;
  std::filesystem::path m_temporary;
  int m_mode = -1;  // permission bits of the file that is replaced; -1 when there is none
  bool m_failed = false;
};

}  // namespace tavra::loader
