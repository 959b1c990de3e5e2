#pragma once
// Helpers shared by the firmware file tests: a temporary folder that is removed again, whole
// files written and read as bytes, and the small demonstration file with its known values.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tavra::loader::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }
  [[nodiscard]] std::filesystem::path operator/(std::string_view name) const {
    return m_path / name;
  }

 private:
  std::filesystem::path m_path;
};

void WriteFile(const std::filesystem::path& path, std::string_view bytes);
[[nodiscard]] std::string ReadFile(const std::filesystem::path& path);

// Lines joined with CR LF, a CR LF after the last one too.
[[nodiscard]] std::string JoinCrLf(const std::vector<std::string>& lines);

// The 12 lines of the demonstration file (header checksum 6340, record checksum 1589).
[[nodiscard]] std::vector<std::string> DemoLines();
[[nodiscard]] inline std::string DemoFile() {
  return JoinCrLf(DemoLines());
}

}  // namespace tavra::loader::test
