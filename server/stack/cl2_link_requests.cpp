#include "server/stack/cl2_link_requests.h"

#include <algorithm>

namespace tavra::stack {

namespace {

constexpr std::uint8_t kCmdIdentify = 0x00;
constexpr std::uint8_t kCmdConnectNormal = 0x01;
constexpr std::uint8_t kCmdRestart = 0x03;
constexpr std::uint8_t kCmdSetBitRate = 0x04;
constexpr std::uint8_t kCmdKeepAlive = 0x05;
constexpr std::uint8_t kCmdConnectBootCode = 0x06;

constexpr std::uint8_t kPositive = 0x20;  // top three bits 001
constexpr std::uint8_t kTopBits = 0xE0;
constexpr std::uint8_t kCommandBits = 0x1F;

LinkRequestBytes Connect(std::uint8_t command, const ConnectParameters& p) {
  return {command, p[0], p[1], p[2], p[3]};
}

}  // namespace

ConnectParameters MakeConnectParameters(std::int32_t noActivityMs, std::int32_t offsetMs) {
  // Settings are taken unchecked; a sum outside 16 bits would not fit the two bytes.
  const std::int64_t sum = static_cast<std::int64_t>(noActivityMs) + offsetMs;
  const auto t = static_cast<std::uint32_t>(std::clamp<std::int64_t>(sum, 0, 0xFFFF));
  const auto high = static_cast<std::uint8_t>(t / 256);
  return {static_cast<std::uint8_t>(t % 256), high, 0, static_cast<std::uint8_t>(high / 5 + 4)};
}

std::optional<std::uint8_t> BitRateCode(int bitRate) {
  switch (bitRate) {
    case 19200: return 1;
    case 38400: return 2;
    case 57600: return 3;
    default: return std::nullopt;
  }
}

std::optional<LinkRequestBytes> BuildLinkRequest(std::int32_t code,
                                                 int bitRate,
                                                 const ConnectParameters& connect) {
  switch (static_cast<LinkRequest>(code)) {
    case LinkRequest::ConnectNormal: return Connect(kCmdConnectNormal, connect);
    case LinkRequest::ConnectBootCode: return Connect(kCmdConnectBootCode, connect);
    case LinkRequest::SetBitRate: {
      const auto rate = BitRateCode(bitRate);
      if (!rate) {
        return std::nullopt;
      }
      return LinkRequestBytes{kCmdSetBitRate, *rate, 0, 0, 0};
    }
    case LinkRequest::KeepAlive: return LinkRequestBytes{kCmdKeepAlive, 0, 0, 0, 0};
    case LinkRequest::RestartNormal: return LinkRequestBytes{kCmdRestart, 0, 0, 0, 0};
    case LinkRequest::Identify: return LinkRequestBytes{kCmdIdentify, 0, 0, 0, 0};
  }
  return std::nullopt;
}

ReplyClass ClassifyReply(std::span<const std::uint8_t> reply) {
  if (reply.empty()) {
    return ReplyClass::Failed;
  }
  const std::uint8_t s = reply[0];
  const std::uint8_t command = s & kCommandBits;
  const bool positive = (s & kTopBits) == kPositive;
  if (command == kCmdSetBitRate) {
    return positive ? ReplyClass::BitRateAccepted : ReplyClass::BitRateRefused;
  }
  if (!positive) {
    return ReplyClass::Failed;
  }
  if (command == kCmdIdentify) {
    // Without the whole description there is no identity to pass on.
    return reply.size() >= 1 + kDescriptionSize ? ReplyClass::IdentifyAnswered : ReplyClass::Failed;
  }
  if (command == kCmdConnectNormal || command == kCmdConnectBootCode) {
    return ReplyClass::ConnectAccepted;
  }
  return ReplyClass::Failed;
}

}  // namespace tavra::stack
