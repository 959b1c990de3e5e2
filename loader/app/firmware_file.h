#pragma once
// The firmware file (*.TVW): product information, the two checksums and their checks, the
// download header and image built from a file, the backup file's record lines, and the
// compatibility test.
//
// A file is a text of lines (see line_reader.h): header lines form an INI text with the sections
// [Product] (Name, Version, Country, Agent), [Date] (Date) and [Checksum] (FileHeaderChecksum,
// FirmwareChecksum); record lines (':' and hex digit pairs) hold the firmware. The first seven
// lines are the product description that FileHeaderChecksum protects; FirmwareChecksum
// protects all record lines. Stored checksums are compared on their low 16 bits.
//
// Every operation takes a LineSource (a file by path, or text in memory); the path overloads
// are the same operations on a file. A file that cannot be opened reads as empty. Operations
// that fill a buffer refuse a file that does not fit it (a line over the reader's limit, more
// than 19,999 record lines, more than 511 bytes of header text, a record line with a character
// that is not a hex digit): they then leave the buffer empty and say why. Nothing is ever
// written beyond a buffer.
//
// Free functions without shared state; any thread, as long as the buffers passed in are not
// used by another thread at the same time.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "loader/app/line_reader.h"
#include "loader/link/firmware_image.h"
#include "loader/link/header_text.h"
#include "loader/link/production_data.h"

namespace tavra::loader {

// Why a file operation failed. `line` is the 1-based line where a reading problem was found.
enum class FileError {
  None,
  CannotOpen,         // the file cannot be opened for reading
  ReadError,          // the file could not be read to its end
  LineTooLong,        // a line is longer than 199 characters
  HeaderLineTooLong,  // a header line is longer than 99 characters
  NotHex,             // a record line holds a character that is not a hex digit
  TooManyRows,        // more than 19,999 record lines
  HeaderTooLong,      // the header lines need more than 511 bytes of header text
  ZeroInHeader,       // a header line holds a zero byte, which would end the header text
  CannotCreate,       // a file cannot be created or opened for writing
  WriteError,         // writing or closing a file failed
  BadImage,           // an image to be written has a row count or row length out of range
  NotStarted,         // a backup file writer was used before Begin() succeeded
};

struct FileResult {
  FileError error = FileError::None;
  int line = 0;         // for reading problems
  int column = 0;       // 1-based, for NotHex
  int systemError = 0;  // errno, for open, read and write problems

  [[nodiscard]] bool Ok() const { return error == FileError::None; }
};

// A short English text for logs and the command line, e.g. "line 12: record line has a
// character that is not a hex digit (column 5)".
[[nodiscard]] std::string DescribeFileResult(const FileResult& result);

// Product information: Name, a blank, CR LF; Version, two blanks, Country, a blank, CR LF;
// Agent, a blank, CR LF; Date, a blank, CR LF. Missing values read as empty text.
[[nodiscard]] std::string FormatProductInfo(const LineSource& source);

// Sum over the header lines among the first seven lines (record lines count as lines but add
// nothing): each character as a signed 8-bit value, then 13 and 10 per line; modulo 65536.
// Reading ends early at a line over 199 characters; the lines before it stand.
[[nodiscard]] std::uint16_t CalcFileHeaderChecksum(const LineSource& source);

// The same sum over all record lines of the file, ':' included. Reading ends at a line over
// 199 characters; the lines before it stand.
[[nodiscard]] std::uint16_t CalcFirmwareChecksum(const LineSource& source);

// Everything the open check finds out about a file.
struct FirmwareFileCheck {
  FileResult layout;  // why the file could not be loaded for a download, if so
  std::optional<std::int32_t> storedHeaderChecksum;    // as read; nothing when missing/not int
  std::optional<std::int32_t> storedFirmwareChecksum;  // as read; nothing when missing/not int
  std::uint16_t expectedHeaderChecksum = 0;    // low 16 bits of the stored value or its default
  std::uint16_t expectedFirmwareChecksum = 0;  // low 16 bits of the stored value or 65535
  std::uint16_t computedHeaderChecksum = 0;
  std::uint16_t computedFirmwareChecksum = 0;
  int rows = 0;                 // record lines that the image would hold
  std::size_t headerBytes = 0;  // bytes of download header text

  [[nodiscard]] bool HeaderChecksumMatches() const {
    return computedHeaderChecksum == expectedHeaderChecksum;
  }
  [[nodiscard]] bool FirmwareChecksumMatches() const {
    return computedFirmwareChecksum == expectedFirmwareChecksum;
  }
  [[nodiscard]] bool Passed() const {
    return layout.Ok() && HeaderChecksumMatches() && FirmwareChecksumMatches();
  }
};

// The open check in full: both checksums (a missing FirmwareChecksum counts as 65535, a missing
// FileHeaderChecksum as the FirmwareChecksum value) and whether the header and image can be
// built from the file.
[[nodiscard]] FirmwareFileCheck CheckFirmwareFile(const LineSource& source);

// True when the file passes the open check: both checksums match and the file loads.
[[nodiscard]] bool VerifyFirmwareFile(const LineSource& source);

// Fills `header` with the header lines of the file, each followed by CR LF, and zero bytes.
// Record lines are skipped whatever their length. A header line over 99 characters, a zero
// byte in a header line, or more than 511 bytes of text refuse the file: `header` is then all
// zero.
[[nodiscard]] FileResult BuildDownloadHeader(const LineSource& source, HeaderText& header);

// Fills `image` with the record lines of the file, row 1 first: the characters after ':' are
// read two at a time as hex bytes (either case); an odd last character is read alone as one
// digit (":ABC" gives AB 0C). A line over 199 characters, more than 19,999 record lines, or a
// character that is not a hex digit refuse the file: `image` then has rowCount 0.
[[nodiscard]] FileResult LoadDownloadImage(const LineSource& source, FirmwareImage& image);

// Checks the record lines as LoadDownloadImage does, without an image: `rows` is the number of
// rows the image would get (0 when the file is refused).
[[nodiscard]] FileResult ScanDownloadImage(const LineSource& source, int& rows);

// Writes the header text (up to its first zero byte) as it is. False when a write failed.
[[nodiscard]] bool WriteHeaderText(std::FILE* stream, const HeaderText& header);

// Writes rows 1..rowCount as record lines: ':', two upper-case hex digits per byte, CR LF.
[[nodiscard]] FileResult WriteUploadImage(std::FILE* stream, const FirmwareImage& image);

// Opens the file for appending (bytes as they are) and writes the image with WriteUploadImage.
[[nodiscard]] FileResult AppendUploadImage(const std::filesystem::path& path,
                                           const FirmwareImage& image);

enum class BackupCheck {
  HeaderChecksumError,  // also when FileHeaderChecksum is missing or not an integer
  RecordChecksumError,  // also when FirmwareChecksum is missing or not an integer
  Ok,
};

// The check after a backup: the header checksum first, then the record checksum.
[[nodiscard]] BackupCheck VerifyBackupFile(const LineSource& source);

// Whether the firmware may go into a controller: Version starting with '2' always, with '3'
// only when the production data code is "202"; anything else (an empty Version too) not.
[[nodiscard]] bool IsFirmwareAllowed(const LineSource& source, const ProductionData& production);

// The same operations on a file by path.
[[nodiscard]] inline std::string FormatProductInfo(const std::filesystem::path& path) {
  return FormatProductInfo(LineSource::File(path));
}
[[nodiscard]] inline std::uint16_t CalcFileHeaderChecksum(const std::filesystem::path& path) {
  return CalcFileHeaderChecksum(LineSource::File(path));
}
[[nodiscard]] inline std::uint16_t CalcFirmwareChecksum(const std::filesystem::path& path) {
  return CalcFirmwareChecksum(LineSource::File(path));
}
[[nodiscard]] inline FirmwareFileCheck CheckFirmwareFile(const std::filesystem::path& path) {
  return CheckFirmwareFile(LineSource::File(path));
}
[[nodiscard]] inline bool VerifyFirmwareFile(const std::filesystem::path& path) {
  return VerifyFirmwareFile(LineSource::File(path));
}
[[nodiscard]] inline FileResult BuildDownloadHeader(const std::filesystem::path& path,
                                                    HeaderText& header) {
  return BuildDownloadHeader(LineSource::File(path), header);
}
[[nodiscard]] inline FileResult LoadDownloadImage(const std::filesystem::path& path,
                                                  FirmwareImage& image) {
  return LoadDownloadImage(LineSource::File(path), image);
}
[[nodiscard]] inline BackupCheck VerifyBackupFile(const std::filesystem::path& path) {
  return VerifyBackupFile(LineSource::File(path));
}
[[nodiscard]] inline bool IsFirmwareAllowed(const std::filesystem::path& path,
                                            const ProductionData& production) {
  return IsFirmwareAllowed(LineSource::File(path), production);
}

}  // namespace tavra::loader
