#include "loader/app/history_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace tavra::loader {

std::filesystem::path DefaultHistoryFile() {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::filesystem::path folder;
  if (state != nullptr && std::filesystem::path(state).is_absolute()) {
    folder = state;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::filesystem::path(home != nullptr ? home : ".") / ".local" / "state";
  }
  return folder / "tavra" / "history.jsonl";
}

bool AppendHistory(const std::filesystem::path& file, const HistoryRecord& record) {
  std::error_code error;
  if (std::filesystem::create_directories(file.parent_path(), error)) {
    std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, error);
  }
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return false;
  }
  const std::string line = ToJsonLine(record) + "\n";
  ssize_t written = -1;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  ::close(fd);
  return written == static_cast<ssize_t>(line.size());
}

std::vector<HistoryRecord> ReadHistory(const std::filesystem::path& file) {
  std::vector<HistoryRecord> records;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (auto record = ParseJsonLine(line)) {
      records.push_back(std::move(*record));
    }
  }
  return records;
}

}  // namespace tavra::loader
