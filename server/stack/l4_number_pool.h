#pragma once
// A pool of the 256 byte-sized numbers of one kind (request numbers, or connection numbers)
// of one transport layer. A new number is the next free one after the last handed out,
// wrapping from 255 to 0, so that a number just released is not reused at once and a late
// PDU about an old request is unlikely to match a new one. The first number handed out is 1.
//
// Thread-safe: one internal lock, held only inside Take and Release. Callers may hold a
// transport table lock while they call (table lock before pool lock).

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

namespace tavra::stack {

class L4NumberPool {
 public:
  static constexpr int kSize = 256;

  // The next free number after the last one handed out, or nothing when all 256 are in use.
  [[nodiscard]] std::optional<std::uint8_t> Take();
  // Gives a number back; releasing a free number changes nothing.
  void Release(std::uint8_t number);
  [[nodiscard]] int InUse() const;

 private:
  mutable std::mutex m_mutex;
  std::array<bool, kSize> m_used{};
  std::uint8_t m_last = 0;
};

}  // namespace tavra::stack
