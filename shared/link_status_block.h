#pragma once
// The link status block that Management_Request(LINK_STATUS_BLOCK) hands to a client: the link
// layer's eighteen unsigned 32-bit counters as 72 bytes, each word little-endian. Plain value
// type; no locks, any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tavra {

inline constexpr std::size_t kLinkStatusWordCount = 18;
inline constexpr std::size_t kLinkStatusBlockSize = kLinkStatusWordCount * 4;  // 72 bytes

// Word numbers of the block. The counters count only while the link is up, except
// LinkEstablishments.
enum class LinkStatusWord : std::size_t {
  LinkUp = 0,          // 1 when the link was up at the time of reading, else 0
  ControllerType = 1,  // identity byte 0 at the time of reading
  LinkEstablishments = 2,
  Retransmissions = 3,
  FramesGivenUp = 4,  // write error, no or wrong acknowledgement
  RepeatedDataFrames = 5,
  AcknowledgementsReceived = 6,
  AcknowledgementsBadCheck = 7,
  AcknowledgementsInsideData = 8,
  DataFramesAccepted = 9,
  DataFramesNoDestination = 10,
  Unused = 11,  // always 0
  DataFramesTooLong = 12,
  DataFramesBadCheck = 13,
  BitRate = 14,  // the serial line's bit rate at the time of reading
  MoreThanOneRetransmission = 15,
  MoreThanTwoRetransmissions = 16,
  MoreThanThreeRetransmissions = 17,
};

struct LinkStatusBlock {
  std::array<std::uint32_t, kLinkStatusWordCount> words{};

  [[nodiscard]] std::uint32_t Get(LinkStatusWord w) const {
    return words[static_cast<std::size_t>(w)];
  }
  void Set(LinkStatusWord w, std::uint32_t value) { words[static_cast<std::size_t>(w)] = value; }

  // The 72 bytes sent to a client.
  [[nodiscard]] std::vector<std::uint8_t> Encode() const;
  // The block from exactly 72 bytes; any other length gives nothing.
  [[nodiscard]] static std::optional<LinkStatusBlock> Decode(std::span<const std::uint8_t> bytes);

  bool operator==(const LinkStatusBlock&) const = default;
};

}  // namespace tavra
