#include "loader/app/firmware_file.h"
#include "loader/app/profile_reader.h"

namespace tavra::loader {
namespace {

constexpr int kProductLines = 7;
constexpr std::int32_t kMissingFirmwareChecksum = 65535;

// Adds the characters as signed 8-bit values and then CR LF (13 + 10), as every line is summed
// as if it ended with CR LF whatever its real line end. Wraps modulo 2^32, which keeps the low
// 16 bits right.
std::uint32_t SumLine(std::uint32_t sum, std::string_view line) {
  for (const char c : line) {
    sum += static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
  }
  return sum + 13 + 10;
}

std::uint16_t Low16(std::int32_t value) {
  return static_cast<std::uint16_t>(value & 0xFFFF);
}

}  // namespace

std::uint16_t CalcFileHeaderChecksum(const LineSource& source) {
  LineReader reader(source, kRecordLineChars);
  std::uint32_t sum = 0;
  for (int lines = 0; lines < kProductLines; ++lines) {
    if (reader.Next() != LineReader::Status::Line) {
      break;
    }
    if (!IsRecordLine(reader.Text())) {
      sum = SumLine(sum, reader.Text());
    }
  }
  return static_cast<std::uint16_t>(sum);
}

std::uint16_t CalcFirmwareChecksum(const LineSource& source) {
  LineReader reader(source, kRecordLineChars);
  std::uint32_t sum = 0;
  while (reader.Next() == LineReader::Status::Line) {
    if (IsRecordLine(reader.Text())) {
      sum = SumLine(sum, reader.Text());
    }
  }
  return static_cast<std::uint16_t>(sum);
}

FirmwareFileCheck CheckFirmwareFile(const LineSource& source) {
  FirmwareFileCheck check;
  check.storedFirmwareChecksum = ParseProfileInt(
      FindProfileValue(source, "Checksum", "FirmwareChecksum").value_or(std::string()));
  check.storedHeaderChecksum = ParseProfileInt(
      FindProfileValue(source, "Checksum", "FileHeaderChecksum").value_or(std::string()));
  const std::int32_t firmware = check.storedFirmwareChecksum.value_or(kMissingFirmwareChecksum);
  check.expectedFirmwareChecksum = Low16(firmware);
  check.expectedHeaderChecksum = Low16(check.storedHeaderChecksum.value_or(firmware));
  check.computedHeaderChecksum = CalcFileHeaderChecksum(source);
  check.computedFirmwareChecksum = CalcFirmwareChecksum(source);

  // Whether a download could be built from the file: the same readers as before a download.
  HeaderText header;
  check.layout = BuildDownloadHeader(source, header);
  check.headerBytes = header.Text().size();
  if (check.layout.Ok()) {
    check.layout = ScanDownloadImage(source, check.rows);
  }
  return check;
}

bool VerifyFirmwareFile(const LineSource& source) {
  return CheckFirmwareFile(source).Passed();
}

BackupCheck VerifyBackupFile(const LineSource& source) {
  // A backup whose header carries no checksum cannot be shown to be whole: a missing or
  // unreadable value fails its check instead of standing in for a default.
  const auto header = ParseProfileInt(
      FindProfileValue(source, "Checksum", "FileHeaderChecksum").value_or(std::string()));
  const auto firmware = ParseProfileInt(
      FindProfileValue(source, "Checksum", "FirmwareChecksum").value_or(std::string()));
  if (!header || CalcFileHeaderChecksum(source) != Low16(*header)) {
    return BackupCheck::HeaderChecksumError;
  }
  if (!firmware || CalcFirmwareChecksum(source) != Low16(*firmware)) {
    return BackupCheck::RecordChecksumError;
  }
  return BackupCheck::Ok;
}

}  // namespace tavra::loader
