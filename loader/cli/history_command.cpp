// history: the update history file, oldest first; --json gives its records as they are stored.

#include <iomanip>

#include "cli_commands.h"
#include "loader/app/history_file.h"

namespace tavra::loader::cli {
namespace {

std::string Checksums(const HistoryRecord& record) {
  if (record.headerChecksum < 0 && record.firmwareChecksum < 0) {
    return {};
  }
  return " (header " + std::to_string(record.headerChecksum) + ", firmware " +
         std::to_string(record.firmwareChecksum) + ")";
}

std::string Versions(const HistoryRecord& record) {
  if (record.versionBefore == record.versionAfter) {
    return record.versionAfter;
  }
  return (record.versionBefore.empty() ? "?" : record.versionBefore) + " -> " + record.versionAfter;
}

}  // namespace

int RunHistoryCommand(CommandContext& context) {
  const std::filesystem::path file = DefaultHistoryFile();
  const std::vector<HistoryRecord> records = ReadHistory(file);
  if (context.options.json) {
    for (const HistoryRecord& record : records) {
      context.out << ToJsonLine(record) << "\n";
    }
    return kExitOk;
  }
  if (records.empty()) {
    context.out << "No entries in " << file.string() << "\n";
    return kExitOk;
  }
  for (const HistoryRecord& record : records) {
    context.out << record.time << "  COM" << record.port << "  " << std::left << std::setw(8)
                << record.action << std::setw(10) << record.result << std::right << std::fixed
                << std::setprecision(1) << std::setw(7) << record.seconds << " s  "
                << record.controller << " " << Versions(record) << "\n";
    if (!record.file.empty()) {
      context.out << "    " << record.file << Checksums(record) << "\n";
    }
  }
  return kExitOk;
}

}  // namespace tavra::loader::cli
