#include "loader/app/header_temp_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <system_error>

namespace tavra::loader {

HeaderTempFile::~HeaderTempFile() {
  Remove();
}

FileResult HeaderTempFile::Create(const HeaderText& header) {
  Remove();
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
  if (ec) {
    return {FileError::CannotCreate, 0, 0, ec.value()};
  }
  std::string name = (folder / "tavraloader-header-XXXXXX").string();
  const int fd = ::mkstemp(name.data());  // mode 0600, a name of its own
  if (fd < 0) {
    return {FileError::CannotCreate, 0, 0, errno};
  }
  m_path = name;
  const std::string_view text = header.Text();
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      Remove();
      return {FileError::WriteError, 0, 0, error};
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    Remove();
    return {FileError::WriteError, 0, 0, error};
  }
  return {};
}

void HeaderTempFile::Remove() {
  if (m_path.empty()) {
    return;
  }
  ::unlink(m_path.c_str());
  m_path.clear();
}

FileResult ProductInfoOfHeader(const HeaderText& header, std::string& info) {
  info.clear();
  HeaderTempFile file;
  FileResult result = file.Create(header);
  if (result.Ok()) {
    info = FormatProductInfo(file.Path());
  }
  return result;
}

}  // namespace tavra::loader
