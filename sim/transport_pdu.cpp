#include "sim/transport_pdu.h"

namespace tavra::sim {

std::optional<Pdu> DecodePdu(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) {
    return std::nullopt;
  }
  Pdu pdu;
  pdu.type = static_cast<std::uint8_t>(bytes[0] & 0xF0);
  std::size_t pos = 1;
  const std::uint8_t low = bytes[0] & 0x0F;
  if (low == 0x0F) {
    if (bytes.size() < 2) {
      return std::nullopt;
    }
    pdu.number = bytes[1];
    pos = 2;
  } else {
    pdu.number = low;
  }
  if (PduHasExtraByte(pdu.type)) {
    if (bytes.size() <= pos) {
      return std::nullopt;
    }
    pdu.extra = bytes[pos];
    ++pos;
  }
  pdu.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos), bytes.end());
  return pdu;
}

std::vector<std::uint8_t> EncodePdu(std::uint8_t type,
                                    std::uint8_t number,
                                    std::optional<std::uint8_t> extra,
                                    std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out;
  out.reserve(3 + data.size());
  const std::uint8_t top = type & 0xF0;
  if (number < 15) {
    out.push_back(static_cast<std::uint8_t>(top | number));
  } else {
    out.push_back(static_cast<std::uint8_t>(top | 0x0F));
    out.push_back(number);
  }
  if (PduHasExtraByte(top)) {
    out.push_back(extra.value_or(0));
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace tavra::sim
