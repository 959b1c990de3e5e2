#include "shared/hex_text.h"

namespace tavra {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

bool ParseHex(const std::string& text, std::size_t limit, std::vector<std::uint8_t>* out) {
  if (text.size() % 2 != 0 || text.size() / 2 > limit) {
    return false;
  }
  out->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) {
      return false;
    }
    out->push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

}  // namespace tavra
