#pragma once
// ProductionData: the 256-byte production data record that the controller returns on request.
// It holds the controller's serial number text; the characters at positions 3, 4 and 5 form
// the code that decides whether a version 3 firmware may be loaded. Plain data.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tavra::loader {

struct ProductionData {
  static constexpr std::size_t kSize = 256;
  static constexpr std::size_t kCodeOffset = 3;
  static constexpr std::size_t kCodeLength = 3;

  std::array<std::uint8_t, kSize> bytes{};

  // The three characters at positions 3..5.
  [[nodiscard]] std::string_view CompatibilityCode() const {
    return {reinterpret_cast<const char*>(bytes.data()) + kCodeOffset, kCodeLength};
  }
};

}  // namespace tavra::loader
