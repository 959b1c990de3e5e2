#include <cstring>
#include <string>

#include "loader/app/firmware_file.h"

namespace tavra::loader {
namespace {

std::string WithSystemError(std::string text, int systemError) {
  if (systemError != 0) {
    text += ": ";
    text += std::strerror(systemError);
  }
  return text;
}

std::string AtLine(int line, std::string_view text) {
  return "line " + std::to_string(line) + ": " + std::string(text);
}

}  // namespace

std::string DescribeFileResult(const FileResult& result) {
  switch (result.error) {
    case FileError::None: return "ok";
    case FileError::CannotOpen: return WithSystemError("cannot open the file", result.systemError);
    case FileError::ReadError: return WithSystemError("cannot read the file", result.systemError);
    case FileError::LineTooLong: return AtLine(result.line, "line is longer than 199 characters");
    case FileError::HeaderLineTooLong:
      return AtLine(result.line, "header line is longer than 99 characters");
    case FileError::NotHex:
      return AtLine(result.line, "record line has a character that is not a hex digit (column " +
                                     std::to_string(result.column) + ")");
    case FileError::TooManyRows: return AtLine(result.line, "more than 19999 record lines");
    case FileError::HeaderTooLong:
      return AtLine(result.line, "header lines need more than 511 bytes of header text");
    case FileError::ZeroInHeader: return AtLine(result.line, "header line holds a zero byte");
    case FileError::CannotCreate:
      return WithSystemError("cannot create the file", result.systemError);
    case FileError::WriteError: return WithSystemError("cannot write the file", result.systemError);
    case FileError::BadImage:
      return "the firmware image has a row count or row length out of range";
    case FileError::NotStarted: return "no backup file was begun";
  }
  return "unknown error";
}

}  // namespace tavra::loader
