#pragma once
// One entry of the update history: a version read, a backup or an update, as a technician keeps
// it for the controllers he services, and its form in the history file: one JSON object on one
// line. Unknown checksums are left out of the line; a line that is not such an object (cut off
// by a crash, edited by hand) does not parse.
//
// Plain values; any thread, no lock.

#include <optional>
#include <string>
#include <string_view>

namespace tavra::loader {

struct HistoryRecord {
  std::string time;           // UTC, "2024-06-01T12:34:56Z"
  int port = 0;               // COM<port>
  std::string action;         // "version", "backup" or "update"
  std::string controller;     // the product name of the controller's firmware (or the file's)
  std::string versionBefore;  // "3.00  DK"; empty when not known
  std::string versionAfter;
  std::string file;           // the backup or firmware file; empty for a version read
  int headerChecksum = -1;    // the file's header checksum; -1 when not known
  int firmwareChecksum = -1;  // the file's record checksum; -1 when not known
  std::string result;         // "ok", "failed" or "cancelled"
  std::string message;        // the id of the box the step showed last (IDS_MB_5_TEXT)
  double seconds = 0;         // how long the step took
};

inline constexpr std::string_view kActionVersion = "version";
inline constexpr std::string_view kActionBackup = "backup";
inline constexpr std::string_view kActionUpdate = "update";
inline constexpr std::string_view kResultOk = "ok";
inline constexpr std::string_view kResultFailed = "failed";
inline constexpr std::string_view kResultCancelled = "cancelled";

// One line of JSON without the line end.
[[nodiscard]] std::string ToJsonLine(const HistoryRecord& record);
[[nodiscard]] std::optional<HistoryRecord> ParseJsonLine(std::string_view line);

}  // namespace tavra::loader
