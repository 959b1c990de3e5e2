#include "loader/app/backup_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <string>
#include <system_error>

namespace tavra::loader {
namespace {

constexpr int kNameAttempts = 100;

// Opens a new file with a name no one else has in `folder` (O_EXCL), honouring the umask.
int CreateUniqueFile(const std::filesystem::path& folder,
                     const std::string& stem,
                     std::filesystem::path& created) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = "." + stem + "." + std::to_string(::getpid()) + "." +
                             std::to_string(counter.fetch_add(1)) + "." +
                             std::to_string(random() % 1000000) + ".part";
    std::filesystem::path candidate = folder / name;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      created = std::move(candidate);
      return fd;
    }
    if (errno != EEXIST) {
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

BackupFileWriter::~BackupFileWriter() {
  Abandon();
}

FileResult BackupFileWriter::Begin(const std::filesystem::path& target, const HeaderText& header) {
  Abandon();
  std::error_code ec;
  std::filesystem::path resolved = target;
  if (std::filesystem::is_symlink(target, ec)) {
    resolved = std::filesystem::weakly_canonical(target, ec);
    if (ec) {
      resolved = target;
    }
  }

  m_mode = -1;
  struct stat existing {};
  if (::stat(resolved.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) {
      return {FileError::CannotCreate, 0, 0, EISDIR};
    }
    // The old file would have been truncated in place; a file that may not be written is
    // refused the same way instead of being replaced behind its owner's back.
    if (::access(resolved.c_str(), W_OK) != 0) {
      return {FileError::CannotCreate, 0, 0, errno};
    }
    m_mode = static_cast<int>(existing.st_mode & 07777);
  }

  std::filesystem::path folder = resolved.parent_path();
  if (folder.empty()) {
    folder = ".";
  }
  std::filesystem::path temporary;
  const int fd = CreateUniqueFile(folder, resolved.filename().string(), temporary);
  if (fd < 0) {
    return {FileError::CannotCreate, 0, 0, errno};
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    return {FileError::CannotCreate, 0, 0, error};
  }
  m_file.reset(file);
  m_target = std::move(resolved);
  m_temporary = std::move(temporary);
  m_failed = false;

  errno = 0;
  if (!WriteHeaderText(m_file.get(), header)) {
    const int error = errno;
    Abandon();
    return {FileError::WriteError, 0, 0, error};
  }
  return {};
}

FileResult BackupFileWriter::Append(const FirmwareImage& image) {
  if (!m_file) {
    return {FileError::NotStarted};
  }
  FileResult result = WriteUploadImage(m_file.get(), image);
  if (!result.Ok()) {
    m_failed = true;  // a half-written image must not be committed
  }
  return result;
}

FileResult BackupFileWriter::Commit() {
  if (!m_file) {
    return {FileError::NotStarted};
  }
  if (m_failed) {
    Abandon();
    return {FileError::WriteError};
  }
  FileResult result;
  errno = 0;
  if (std::fflush(m_file.get()) != 0 || ::fsync(::fileno(m_file.get())) != 0) {
    result = {FileError::WriteError, 0, 0, errno};
  }
  if (result.Ok() && m_mode >= 0 &&
      ::fchmod(::fileno(m_file.get()), static_cast<mode_t>(m_mode)) != 0) {
    result = {FileError::WriteError, 0, 0, errno};
  }
  errno = 0;
  if (std::fclose(m_file.release()) != 0 && result.Ok()) {
    result = {FileError::WriteError, 0, 0, errno};
  }
  if (result.Ok() && std::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
    result = {FileError::WriteError, 0, 0, errno};
  }
  if (!result.Ok()) {
    ::unlink(m_temporary.c_str());
  }
  m_temporary.clear();
  return result;
}

void BackupFileWriter::Abandon() {
  if (!m_file) {
    return;
  }
  m_file.reset();
  ::unlink(m_temporary.c_str());
  m_temporary.clear();
}

}  // namespace tavra::loader
