#pragma once
// Bytes as hex text and back, as the store file, firmware files and the command line write
// them: two digits a byte, no separators.
//
// Plain functions; no state, any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavra::sim {

// Upper-case digits.
std::string Hex(const std::vector<std::uint8_t>& bytes);
// Digits of either case, at most `limit` bytes. False for an odd count, another character or
// too many bytes; *out is unspecified then.
bool ParseHex(const std::string& text, std::size_t limit, std::vector<std::uint8_t>* out);

}  // namespace tavra::sim
