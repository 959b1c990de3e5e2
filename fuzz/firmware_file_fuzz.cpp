// Fuzzes the firmware file readers with arbitrary file contents: the line reader at both
// limits, the INI reader and its integers, both checksums, the open check, the download header
// and image, and a write-and-read-back of every image that loads.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "loader/app/firmware_file.h"
#include "loader/app/line_reader.h"
#include "loader/app/profile_reader.h"

namespace {

using namespace tavra::loader;

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

void ReadLines(std::string_view text, std::size_t limit) {
  LineReader reader(LineSource::Text(text), limit);
  int lines = 0;
  for (;;) {
    const LineReader::Status status = reader.Next();
    if (status == LineReader::Status::End) {
      break;
    }
    Require(status == LineReader::Status::Line || status == LineReader::Status::TooLong);
    Require(reader.Text().size() <= limit);
    Require(reader.Text().find('\n') == std::string_view::npos);
    Require(reader.LineNumber() == ++lines);
  }
}

// Writes the image as record lines into memory and reads them back: the same rows.
void RoundTrip(const FirmwareImage& image) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* stream = ::open_memstream(&buffer, &size);
  Require(stream != nullptr);
  const bool written = WriteUploadImage(stream, image).Ok();
  std::fclose(stream);
  Require(written);
  const std::string text(buffer, size);
  std::free(buffer);

  static auto again = std::make_unique<FirmwareImage>();
  Require(LoadDownloadImage(LineSource::Text(text), *again).Ok());
  Require(again->rowCount == image.rowCount);
  for (int r = 1; r <= image.rowCount; ++r) {
    const auto a = image.Row(r);
    const auto b = again->Row(r);
    Require(a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const LineSource source = LineSource::Text(text);

  ReadLines(text, kRecordLineChars);
  ReadLines(text, kHeaderLineChars);

  for (const auto& [section, key] :
       {std::pair{"Product", "Version"}, std::pair{"Checksum", "FirmwareChecksum"},
        std::pair{"checksum", "fileheaderchecksum"}}) {
    if (const auto value = FindProfileValue(source, section, key)) {
      (void)ParseProfileInt(*value);
    }
  }
  if (size <= 64) {
    (void)ParseProfileInt(text);
  }
  (void)FormatProductInfo(source);
  (void)IsFirmwareAllowed(source, ProductionData{});

  const std::uint16_t header = CalcFileHeaderChecksum(source);
  const std::uint16_t firmware = CalcFirmwareChecksum(source);
  const FirmwareFileCheck check = CheckFirmwareFile(source);
  Require(check.computedHeaderChecksum == header);
  Require(check.computedFirmwareChecksum == firmware);
  (void)VerifyBackupFile(source);

  HeaderText headerText;
  const FileResult built = BuildDownloadHeader(source, headerText);
  Require(headerText.Text().size() <= HeaderText::kMaxText);
  Require(headerText.bytes[HeaderText::kMaxText] == '\0');
  Require(built.Ok() || headerText.Text().empty());

  static auto image = std::make_unique<FirmwareImage>();
  const FileResult loaded = LoadDownloadImage(source, *image);
  Require(image->rowCount >= 0 && image->rowCount <= FirmwareImage::kMaxRows);
  if (loaded.Ok()) {
    for (int r = 1; r <= image->rowCount; ++r) {
      Require(image->rowLength[static_cast<std::size_t>(r)] <= 99);
    }
    RoundTrip(*image);
  } else {
    Require(image->rowCount == 0);
  }
  return 0;
}
