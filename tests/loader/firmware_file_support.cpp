#include "firmware_file_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavra::loader::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tavra-fw-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only files or folders behind; make them removable first.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(m_path, ec)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(m_path, ec);
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::vector<std::string> DemoLines() {
  return {"[Product]",
          "Name=Demo",
          "Version=2.05",
          "Country=DK",
          "Agent=Test",
          "[Date]",
          "Date=01-02-2003",
          "[Checksum]",
          "FileHeaderChecksum=6340",
          "FirmwareChecksum=1589",
          ":0400000001020304F2",
          ":00000001FF"};
}

}  // namespace tavra::loader::test
