#include "shared/network_port_url.h"

#include <array>
#include <utility>

namespace tavra {
namespace {

constexpr std::size_t kMaxHostLength = 253;

[[nodiscard]] bool IsHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

[[nodiscard]] bool IsIpv6Character(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' ||
         c == '.';
}

[[nodiscard]] std::optional<int> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) {
    return std::nullopt;
  }
  int port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) {
    return std::nullopt;
  }
  return port;
}

// Splits "HOST:PORT" or "[V6]:PORT"; checks the host's characters.
[[nodiscard]] std::optional<std::pair<std::string, int>> ParseAuthority(std::string_view text) {
  std::string_view host;
  std::string_view rest;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
    for (const char c : host) {
      if (!IsIpv6Character(c)) {
        return std::nullopt;
      }
    }
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      return std::nullopt;
    }
    host = text.substr(0, colon);
    rest = text.substr(colon);
    for (const char c : host) {
      if (!IsHostCharacter(c)) {
        return std::nullopt;
      }
    }
  }
  if (host.empty() || host.size() > kMaxHostLength || rest.empty() || rest.front() != ':') {
    return std::nullopt;
  }
  const std::optional<int> port = ParsePort(rest.substr(1));
  if (!port) {
    return std::nullopt;
  }
  return std::make_pair(std::string(host), *port);
}

}  // namespace

std::optional<NetworkPortUrl> ParseNetworkPortUrl(std::string_view text) {
  struct Prefix {
    std::string_view text;
    NetworkPortScheme scheme;
  };
  constexpr std::array<Prefix, 2> kPrefixes{
      {{"rfc2217://", NetworkPortScheme::Rfc2217}, {"tcp://", NetworkPortScheme::RawTcp}}};
  for (const Prefix& prefix : kPrefixes) {
    if (text.substr(0, prefix.text.size()) != prefix.text) {
      continue;
    }
    const auto authority = ParseAuthority(text.substr(prefix.text.size()));
    if (!authority) {
      return std::nullopt;
    }
    return NetworkPortUrl{prefix.scheme, authority->first, authority->second, std::string(text)};
  }
  return std::nullopt;
}

}  // namespace tavra
