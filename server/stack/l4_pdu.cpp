#include "server/stack/l4_pdu.h"

namespace tavra::stack {

std::vector<std::uint8_t> EncodeL4Pdu(L4PduType type,
                                      std::uint8_t number,
                                      std::uint8_t extra,
                                      std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> pdu;
  pdu.reserve(L4HeaderLength(type, number) + data.size());
  const auto typeBits = static_cast<std::uint8_t>(type);
  if (number < kL4TwoByteMarker) {
    pdu.push_back(static_cast<std::uint8_t>(typeBits | number));
  } else {
    pdu.push_back(static_cast<std::uint8_t>(typeBits | kL4TwoByteMarker));
    pdu.push_back(number);
  }
  if (HasExtraByte(type)) {
    pdu.push_back(extra);
  }
  pdu.insert(pdu.end(), data.begin(), data.end());
  return pdu;
}

std::optional<L4Pdu> DecodeL4Pdu(std::span<const std::uint8_t> frameData) {
  if (frameData.empty()) {
    return std::nullopt;
  }
  L4Pdu pdu;
  pdu.type = static_cast<L4PduType>(frameData[0] & 0xF0);
  if (pdu.type == L4PduType::NotAPdu) {
    return std::nullopt;
  }
  std::size_t pos = 1;
  const std::uint8_t low = frameData[0] & 0x0F;
  if (low == kL4TwoByteMarker) {
    if (frameData.size() < pos + 1) {
      return std::nullopt;
    }
    pdu.number = frameData[pos++];
  } else {
    pdu.number = low;
  }
  if (HasExtraByte(pdu.type)) {
    if (frameData.size() < pos + 1) {
      return std::nullopt;
    }
    pdu.extra = frameData[pos++];
  }
  pdu.handedOn = HandsOnWholePdu(pdu.type) ? frameData : frameData.subspan(pos);
  return pdu;
}

}  // namespace tavra::stack
