#include "loader/app/firmware_file.h"

namespace tavra::loader {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

FileResult Problem(FileError error, const LineReader& reader, int column = 0) {
  return FileResult{error, reader.LineNumber(), column, reader.SystemError()};
}

// Decodes the digits after ':' into `row`. Pairs are read while a pair starts before the end of
// the line; an odd last digit is read alone. Returns the byte count, or -1 with the 1-based
// column of the first character that is not a hex digit.
int DecodeRecord(std::string_view line,
                 std::array<std::uint8_t, FirmwareImage::kRowBytes>& row,
                 int& badColumn) {
  const std::string_view digits = line.substr(1);
  std::size_t count = 0;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    if (count == row.size()) {
      badColumn = 0;
      return -1;  // cannot happen within 199 characters; kept as a guard
    }
    const int high = HexValue(digits[i]);
    if (high < 0) {
      badColumn = static_cast<int>(i) + 2;
      return -1;
    }
    int value = high;
    if (i + 1 < digits.size()) {
      const int low = HexValue(digits[i + 1]);
      if (low < 0) {
        badColumn = static_cast<int>(i) + 3;
        return -1;
      }
      value = high * 16 + low;
    }
    row[count++] = static_cast<std::uint8_t>(value);
  }
  return static_cast<int>(count);
}

}  // namespace

FileResult BuildDownloadHeader(const LineSource& source, HeaderText& header) {
  header.Clear();
  LineReader reader(source, kHeaderLineChars);
  if (!reader.Opened()) {
    return Problem(FileError::CannotOpen, reader);
  }
  std::size_t used = 0;
  for (;;) {
    const LineReader::Status status = reader.Next();
    if (status == LineReader::Status::End) {
      return {};
    }
    FileResult problem;
    if (status == LineReader::Status::ReadError) {
      problem = Problem(FileError::ReadError, reader);
    } else if (IsRecordLine(reader.Text())) {
      continue;  // record lines are not part of the header, whatever their length
    } else if (status == LineReader::Status::TooLong) {
      problem = Problem(FileError::HeaderLineTooLong, reader);
    } else if (reader.Text().find('\0') != std::string_view::npos) {
      problem = Problem(FileError::ZeroInHeader, reader);
    } else if (reader.Text().size() + 2 > HeaderText::kMaxText - used) {
      problem = Problem(FileError::HeaderTooLong, reader);
    } else {
      const std::string_view text = reader.Text();
      std::copy(text.begin(), text.end(), header.bytes.begin() + static_cast<std::ptrdiff_t>(used));
      used += text.size();
      header.bytes[used++] = '\r';
      header.bytes[used++] = '\n';
      continue;
    }
    header.Clear();
    return problem;
  }
}

namespace {

// Reads the record lines into `image`, or only checks them when `image` is null.
FileResult ReadRecords(const LineSource& source, FirmwareImage* image, int& rows) {
  rows = 0;
  LineReader reader(source, kRecordLineChars);
  if (!reader.Opened()) {
    return Problem(FileError::CannotOpen, reader);
  }
  std::array<std::uint8_t, FirmwareImage::kRowBytes> scratch{};
  for (;;) {
    const LineReader::Status status = reader.Next();
    if (status == LineReader::Status::End) {
      return {};
    }
    if (status == LineReader::Status::ReadError) {
      return Problem(FileError::ReadError, reader);
    }
    if (status == LineReader::Status::TooLong) {
      return Problem(FileError::LineTooLong, reader);
    }
    if (!IsRecordLine(reader.Text())) {
      continue;
    }
    if (rows == FirmwareImage::kMaxRows) {
      return Problem(FileError::TooManyRows, reader);
    }
    const auto index = static_cast<std::size_t>(rows + 1);
    auto& row = image != nullptr ? image->rows[index] : scratch;
    int badColumn = 0;
    const int count = DecodeRecord(reader.Text(), row, badColumn);
    if (count < 0) {
      return Problem(badColumn > 0 ? FileError::NotHex : FileError::LineTooLong, reader, badColumn);
    }
    if (image != nullptr) {
      image->rowLength[index] = static_cast<std::uint8_t>(count);
    }
    ++rows;
  }
}

}  // namespace

FileResult LoadDownloadImage(const LineSource& source, FirmwareImage& image) {
  image.rowCount = 0;
  int rows = 0;
  const FileResult result = ReadRecords(source, &image, rows);
  if (result.Ok()) {
    image.rowCount = static_cast<std::int16_t>(rows);
  }
  return result;
}

FileResult ScanDownloadImage(const LineSource& source, int& rows) {
  const FileResult result = ReadRecords(source, nullptr, rows);
  if (!result.Ok()) {
    rows = 0;
  }
  return result;
}

}  // namespace tavra::loader
