#include "tools/tavractl/tavractl_text.h"

#include <array>
#include <cstdio>

#include "shared/hex_text.h"

namespace tavra::tavractl {
namespace {

std::string Hex32(std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) {
    text.append(width - text.size(), ' ');
  }
  return text;
}

constexpr std::array<std::string_view, kLinkStatusWordCount> kWordNames = {
    "LinkUp",
    "ControllerType",
    "LinkEstablishments",
    "Retransmissions",
    "FramesGivenUp",
    "RepeatedDataFrames",
    "AcknowledgementsReceived",
    "AcknowledgementsBadCheck",
    "AcknowledgementsInsideData",
    "DataFramesAccepted",
    "DataFramesNoDestination",
    "Unused",
    "DataFramesTooLong",
    "DataFramesBadCheck",
    "BitRate",
    "MoreThanOneRetransmission",
    "MoreThanTwoRetransmissions",
    "MoreThanThreeRetransmissions",
};

}  // namespace

std::string ResultText(HRESULT code) {
  if (code == S_OK) {
    return "S_OK";
  }
  const std::string_view name = ResultCodeName(code);
  if (name.empty()) {
    return Hex32(code);
  }
  return std::string(name) + " (" + Hex32(code) + ")";
}

std::string CodeName(HRESULT code) {
  const std::string_view name = ResultCodeName(code);
  return name.empty() ? Hex32(code) : std::string(name);
}

std::string StatusName(std::int32_t status) {
  switch (status) {
    case STATUS_ONLINE: return "STATUS_ONLINE";
    case STATUS_NO_CONNECTION: return "STATUS_NO_CONNECTION";
    default: return Hex32(status);
  }
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const std::uint8_t b : bytes) {
    if (!text.empty()) {
      text += ' ';
    }
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == ':') {
      if (high >= 0) {
        return std::nullopt;  // a separator inside a pair
      }
      continue;
    }
    const int digit = HexDigit(c);
    if (digit < 0) {
      return std::nullopt;
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) {
    return std::nullopt;  // an odd digit
  }
  return bytes;
}

std::optional<int> ParseNumber(std::string_view text, int min, int max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 9) {
    return std::nullopt;
  }
  long value = 0;
  for (const char c : text) {
    const int digit = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (digit < 0) {
      return std::nullopt;
    }
    value = value * base + digit;
  }
  if (value < min || value > max) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

std::string PortName(int port) {
  return "COM" + std::to_string(port);
}

std::string PortTableHeader() {
  return "PORT  LINK  CONTROLLER     VERSION   CLIENTS";
}

std::string PortTableLine(const dbus::PortStatus& port) {
  // The identity is the one of the last link; without a link there is none to show.
  const std::string type = port.linkUp ? port.identity.TypeName() : "-";
  const std::string version = port.linkUp ? port.identity.VersionText() : "-";
  return Padded(PortName(port.port), 6) + Padded(port.linkUp ? "up" : "down", 6) +
         Padded(type, 15) + Padded(version, 10) + std::to_string(port.clientCount);
}

std::string ControllerText(const ControllerIdentity& identity) {
  return identity.TypeName() + " " + identity.VersionText();
}

std::string_view LinkStatusWordName(LinkStatusWord word) {
  return kWordNames[static_cast<std::size_t>(word)];
}

std::vector<std::string> LinkStatusLines(const LinkStatusBlock& block) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < kLinkStatusWordCount; ++i) {
    lines.push_back("  " + Padded(std::string(kWordNames[i]), 30) + std::to_string(block.words[i]));
  }
  return lines;
}

}  // namespace tavra::tavractl
