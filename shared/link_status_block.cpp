#include "shared/link_status_block.h"

namespace tavra {

std::vector<std::uint8_t> LinkStatusBlock::Encode() const {
  std::vector<std::uint8_t> out(kLinkStatusBlockSize);
  for (std::size_t i = 0; i < kLinkStatusWordCount; ++i) {
    for (std::size_t b = 0; b < 4; ++b) {
      out[i * 4 + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
    }
  }
  return out;
}

std::optional<LinkStatusBlock> LinkStatusBlock::Decode(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kLinkStatusBlockSize) {
    return std::nullopt;
  }
  LinkStatusBlock block;
  for (std::size_t i = 0; i < kLinkStatusWordCount; ++i) {
    std::uint32_t w = 0;
    for (std::size_t b = 0; b < 4; ++b) {
      w |= static_cast<std::uint32_t>(bytes[i * 4 + b]) << (8 * b);
    }
    block.words[i] = w;
  }
  return block;
}

}  // namespace tavra
