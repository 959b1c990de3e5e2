#pragma once
// The 6-byte controller identity received when the link comes up: type, four version bytes
// and one further byte that is carried along uninterpreted.

#include <array>
#include <cstdint>
#include <string>

namespace tavra {

struct ControllerIdentity {
  std::array<std::uint8_t, 6> bytes{};

  [[nodiscard]] std::uint8_t Type() const { return bytes[0]; }
  // "TermTavra" (0 and 2), "BootCode" (1), "Tavra Windows" (3), otherwise the number.
  [[nodiscard]] std::string TypeName() const;
  // "%d.%d.%d.%d" of bytes 1..4.
  [[nodiscard]] std::string VersionText() const;
  bool operator==(const ControllerIdentity&) const = default;
};

inline constexpr std::uint8_t kControllerTypeBootCode = 1;

}  // namespace tavra
