#include <cerrno>
#include <memory>

#include "loader/app/firmware_file.h"

namespace tavra::loader {

bool WriteHeaderText(std::FILE* stream, const HeaderText& header) {
  const std::string_view text = header.Text();
  return stream != nullptr && std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

FileResult WriteUploadImage(std::FILE* stream, const FirmwareImage& image) {
  if (image.rowCount < 0 || image.rowCount > FirmwareImage::kMaxRows) {
    return {FileError::BadImage};
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  // One record line at most: ':' + 2 digits per byte + CR LF.
  std::array<char, 1 + 2 * FirmwareImage::kRowBytes + 2> line{};
  for (int r = 1; r <= image.rowCount; ++r) {
    const auto index = static_cast<std::size_t>(r);
    if (image.rowLength[index] > FirmwareImage::kRowBytes) {
      return {FileError::BadImage, r};
    }
    std::size_t used = 0;
    line[used++] = ':';
    for (const std::uint8_t byte : image.Row(r)) {
      line[used++] = kDigits[byte >> 4];
      line[used++] = kDigits[byte & 0x0F];
    }
    line[used++] = '\r';
    line[used++] = '\n';
    errno = 0;
    if (std::fwrite(line.data(), 1, used, stream) != used) {
      return {FileError::WriteError, r, 0, errno};
    }
  }
  return {};
}

FileResult AppendUploadImage(const std::filesystem::path& path, const FirmwareImage& image) {
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  errno = 0;
  std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "ab"));
  if (!file) {
    return {FileError::CannotCreate, 0, 0, errno};
  }
  FileResult result = WriteUploadImage(file.get(), image);
  errno = 0;
  if (std::fclose(file.release()) != 0 && result.Ok()) {
    result = {FileError::WriteError, 0, 0, errno};
  }
  return result;
}

}  // namespace tavra::loader
