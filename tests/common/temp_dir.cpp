#include "temp_dir.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>

namespace tavra::test {

TempDir::TempDir(std::string_view prefix) {
  // Under /tmp rather than $TMPDIR: a bus socket may live here, and socket paths are limited to
  // 107 bytes.
  std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp " + pattern + " failed");
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

}  // namespace tavra::test
