#pragma once
// HeaderText: the header lines of a firmware file, each ended by CR LF, from the first byte and
// followed by zero bytes. Two instances live in the loader: DownloadHeader (built from the chosen
// file, sent after the firmware rows) and UploadedHeader (what the controller returns).
// Plain data; the owner decides who may touch it (the loader keeps both under LinkLock where a
// callback thread fills them).

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace tavra::loader {

struct HeaderText {
  static constexpr std::size_t kSize = 512;
  // The text ends at the first zero byte; the last byte always counts as the end, so a buffer
  // that was filled to the brim from outside is never read beyond.
  static constexpr std::size_t kMaxText = kSize - 1;

  std::array<char, kSize> bytes{};

  [[nodiscard]] std::string_view Text() const {
    const auto* end = std::find(bytes.begin(), bytes.begin() + kMaxText, '\0');
    return {bytes.data(), static_cast<std::size_t>(end - bytes.begin())};
  }
  void Clear() { bytes.fill('\0'); }
};

}  // namespace tavra::loader
