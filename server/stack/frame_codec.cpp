#include "server/stack/frame_codec.h"

#include <algorithm>

namespace tavra::stack {

namespace {

[[nodiscard]] constexpr bool NeedsEscape(std::uint8_t b) {
  return b == kStx || b == kEtx || b == kDle;
}

}  // namespace

std::size_t EncodeDataFrame(std::uint8_t sequence,
                            std::uint8_t destination,
                            std::uint8_t source,
                            std::span<const std::uint8_t> data,
                            std::span<std::uint8_t, kMaxEncodedFrame> out) {
  // The worst case (every data byte escaped) is exactly kMaxEncodedFrame, so no write below
  // can pass the end of out once data is cut to kMaxFrameData.
  data = data.first(std::min(data.size(), kMaxFrameData));
  const auto seqByte = static_cast<std::uint8_t>(0x20 + (sequence & 0x1F));
  std::size_t n = 0;
  out[n++] = kStx;
  out[n++] = seqByte;
  out[n++] = destination;
  out[n++] = source;
  unsigned sum = kStx + seqByte + destination + source;
  for (const std::uint8_t b : data) {
    if (NeedsEscape(b)) {
      out[n++] = kDle;
    }
    out[n++] = b;
    sum += b;
  }
  out[n++] = kEtx;
  sum += kEtx;
  out[n++] = static_cast<std::uint8_t>(sum);
  return n;
}

std::vector<std::uint8_t> EncodeDataFrame(std::uint8_t sequence,
                                          std::uint8_t destination,
                                          std::uint8_t source,
                                          std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, kMaxEncodedFrame> buffer{};
  const std::size_t n = EncodeDataFrame(sequence, destination, source, data, buffer);
  return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n)};
}

}  // namespace tavra::stack
