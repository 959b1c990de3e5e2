#include <array>

#include "loader/app/firmware_file.h"

namespace tavra::loader {
namespace {

// Value of each byte as a hex digit (either case), -1 for any other byte.
constexpr std::array<std::int8_t, 256> kHexValue = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 10; ++i) {
    table[static_cast<std::size_t>('0' + i)] = static_cast<std::int8_t>(i);
  }
  for (int i = 0; i < 6; ++i) {
    table[static_cast<std::size_t>('A' + i)] = static_cast<std::int8_t>(10 + i);
    table[static_cast<std::size_t>('a' + i)] = static_cast<std::int8_t>(10 + i);
  }
  return table;
}();

int HexValue(char c) {
  return kHexValue[static_cast<unsigned char>(c)];
}

FileResult Problem(FileError error, const LineReader& reader, int column = 0) {
  return FileResult{error, reader.LineNumber(), column, reader.SystemError()};
}

// 1-based column of the first character after ':' that is not a hex digit; 0 when none.
int FirstBadColumn(std::string_view digits) {
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (HexValue(digits[i]) < 0) {
      return static_cast<int>(i) + 2;
    }
  }
  return 0;
}

// Decodes the digits after ':' into `row`. Pairs are read while a pair starts before the end of
// the line; an odd last digit is read alone. Returns the byte count, or -1 with the 1-based
// column of the first character that is not a hex digit (0 when the line does not fit a row).
int DecodeRecord(std::string_view line,
                 std::array<std::uint8_t, FirmwareImage::kRowBytes>& row,
                 int& badColumn) {
  const std::string_view digits = line.substr(1);
  const std::size_t count = (digits.size() + 1) / 2;
  if (count > row.size()) {
    badColumn = 0;
    return -1;  // cannot happen within 199 characters; kept as a guard
  }
  const std::size_t pairs = digits.size() / 2;
  int invalid = 0;  // any -1 digit value makes it negative
  for (std::size_t p = 0; p < pairs; ++p) {
    const int high = HexValue(digits[2 * p]);
    const int low = HexValue(digits[2 * p + 1]);
    invalid |= high | low;
    row[p] = static_cast<std::uint8_t>(((high & 0x0F) << 4) | (low & 0x0F));
  }
  if (pairs < count) {
    const int single = HexValue(digits.back());
    invalid |= single;
    row[pairs] = static_cast<std::uint8_t>(single);
  }
  if (invalid < 0) {
    badColumn = FirstBadColumn(digits);
    return -1;
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
