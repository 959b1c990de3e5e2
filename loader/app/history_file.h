#pragma once
// The update history file: $XDG_STATE_HOME/tavra/history.jsonl (~/.local/state/tavra/ when the
// variable is unset or not absolute), one HistoryRecord per line. A record is appended with one
// write() on a descriptor opened with O_APPEND, so records of programs that run side by side
// never mix within a line; reading skips any line that does not parse.
//
// No state; any thread, no lock (the kernel orders the appends).

#include <filesystem>
#include <vector>

#include "loader/app/history_record.h"

namespace tavra::loader {

[[nodiscard]] std::filesystem::path DefaultHistoryFile();

// Creates the folder when needed (mode 0700).
[[nodiscard]] bool AppendHistory(const std::filesystem::path& file, const HistoryRecord& record);

// Oldest first; a missing file gives no records.
[[nodiscard]] std::vector<HistoryRecord> ReadHistory(const std::filesystem::path& file);

}  // namespace tavra::loader
