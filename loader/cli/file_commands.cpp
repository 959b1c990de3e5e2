// check and info: the commands that read a firmware file and need no controller.

#include <string>
#include <string_view>

#include "cli_commands.h"
#include "loader/app/firmware_file.h"
#include "loader/app/profile_reader.h"

namespace tavra::loader::cli {
namespace {

// IDS_MB_2_TEXT, the loader's message for a file that fails the open check.
std::string_view ChecksumErrorText(const CommandContext& context) {
  return LookupMessage("IDS_MB_2_TEXT", context.options.language);
}

std::string ChecksumLine(const std::optional<std::int32_t>& stored,
                         std::uint16_t expected,
                         std::uint16_t computed) {
  std::string text = "stored ";
  if (stored) {
    text += std::to_string(*stored);
    if (*stored != expected) {
      text += " (low 16 bits " + std::to_string(expected) + ")";
    }
  } else {
    text += "none (" + std::to_string(expected) + " used)";
  }
  text += ", computed " + std::to_string(computed);
  text += computed == expected ? ", match" : ", MISMATCH";
  return text;
}

bool CannotRead(const FileResult& result) {
  return result.error == FileError::CannotOpen || result.error == FileError::ReadError;
}

}  // namespace

int RunCheckCommand(CommandContext& context) {
  const std::string& path = context.args.at(0);
  const LineSource source = LineSource::File(path);
  const FirmwareFileCheck check = CheckFirmwareFile(source);
  if (CannotRead(check.layout)) {
    context.err << kProgramName << ": " << path << ": " << DescribeFileResult(check.layout) << "\n";
    context.out << ChecksumErrorText(context) << "\n";
    return kExitFailed;
  }
  context.out << ProductInfoLines(FormatProductInfo(source));
  if (check.Passed()) {
    context.out << "OK\n";
    return kExitOk;
  }
  if (!check.HeaderChecksumMatches()) {
    context.err << kProgramName << ": " << path << ": header checksum "
                << check.computedHeaderChecksum << " does not match the stored "
                << check.expectedHeaderChecksum << "\n";
  }
  if (!check.FirmwareChecksumMatches()) {
    context.err << kProgramName << ": " << path << ": record checksum "
                << check.computedFirmwareChecksum << " does not match the stored "
                << check.expectedFirmwareChecksum << "\n";
  }
  if (!check.layout.Ok()) {
    context.err << kProgramName << ": " << path
                << ": cannot be loaded: " << DescribeFileResult(check.layout) << "\n";
  }
  context.out << ChecksumErrorText(context) << "\n";
  return kExitFailed;
}

int RunInfoCommand(CommandContext& context) {
  const std::string& path = context.args.at(0);
  const LineSource source = LineSource::File(path);
  const FirmwareFileCheck check = CheckFirmwareFile(source);
  if (CannotRead(check.layout)) {
    context.err << kProgramName << ": " << path << ": " << DescribeFileResult(check.layout) << "\n";
    return kExitFailed;
  }
  const auto value = [&](std::string_view section, std::string_view key) {
    return GetProfileString(source, section, key, "");
  };
  auto& out = context.out;
  out << "File:               " << path << "\n"
      << "Name:               " << value("Product", "Name") << "\n"
      << "Version:            " << value("Product", "Version") << "\n"
      << "Country:            " << value("Product", "Country") << "\n"
      << "Agent:              " << value("Product", "Agent") << "\n"
      << "Date:               " << value("Date", "Date") << "\n"
      << "FileHeaderChecksum: "
      << ChecksumLine(check.storedHeaderChecksum, check.expectedHeaderChecksum,
                      check.computedHeaderChecksum)
      << "\n"
      << "FirmwareChecksum:   "
      << ChecksumLine(check.storedFirmwareChecksum, check.expectedFirmwareChecksum,
                      check.computedFirmwareChecksum)
      << "\n";
  if (check.layout.Ok()) {
    out << "Rows:               " << check.rows << "\n"
        << "Header:             " << check.headerBytes << " bytes\n";
  } else {
    out << "Loadable:           no, " << DescribeFileResult(check.layout) << "\n";
  }
  out << "Open check:         " << (check.Passed() ? "passed" : "failed") << "\n";
  return kExitOk;
}

}  // namespace tavra::loader::cli
