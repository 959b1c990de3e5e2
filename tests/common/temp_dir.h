#pragma once
// A temporary folder that is removed again, with everything in it.
//
// Owner: the test that made it (a local or a fixture member). Threads: the test's thread.
// No lock.

#include <filesystem>
#include <string_view>

namespace tavra::test {

class TempDir {
 public:
  // Made as /tmp/<prefix>-XXXXXX; throws std::runtime_error when that fails.
  explicit TempDir(std::string_view prefix = "tavra-test");
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

}  // namespace tavra::test
