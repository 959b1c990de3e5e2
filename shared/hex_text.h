#pragma once
// Bytes as hex text and back, as the simulator's store file, firmware files and command lines
// write them: two digits a byte, no separators.
//
// Plain functions; no state, any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavra {

// The value of a hex digit of either case, or -1.
[[nodiscard]] constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

// Upper-case digits.
std::string Hex(const std::vector<std::uint8_t>& bytes);
// Digits of either case, at most `limit` bytes. False for an odd count, another character or
// too many bytes; *out is unspecified then.
bool ParseHex(const std::string& text, std::size_t limit, std::vector<std::uint8_t>* out);

}  // namespace tavra
