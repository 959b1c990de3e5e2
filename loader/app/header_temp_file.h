#pragma once
// A private temporary file that holds a header text, so that the INI reader can read the
// controller's header through a path (the firmware version display).
//
// The file is made in the system's temporary folder ($TMPDIR, else /tmp) with a name no one else
// has and mode 0600; a file the user keeps under any name in the current folder is never
// touched. It is removed by Remove() or the destructor.
//
// Owned and used by one thread at a time.

#include <filesystem>
#include <string>

#include "loader/app/firmware_file.h"

namespace tavra::loader {

class HeaderTempFile {
 public:
  HeaderTempFile() = default;
  ~HeaderTempFile();
  HeaderTempFile(const HeaderTempFile&) = delete;
  HeaderTempFile& operator=(const HeaderTempFile&) = delete;

  // Writes `header` into a new private file. CannotCreate or WriteError on failure (then no
  // file is left). A file made before is removed first.
  [[nodiscard]] FileResult Create(const HeaderText& header);
  // The full path of the file; empty when there is none.
  [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }
  void Remove();

 private:
  std::filesystem::path m_path;
};

// The product information of a header text (see FormatProductInfo), read through a private
// temporary file that is removed again. CannotCreate or WriteError when the temporary file could
// not be made; `info` is then empty.
[[nodiscard]] FileResult ProductInfoOfHeader(const HeaderText& header, std::string& info);

}  // namespace tavra::loader
