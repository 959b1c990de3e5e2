#pragma once
// A network serial port named by a URL: rfc2217://HOST:PORT (Telnet with the COM port control
// option) or tcp://HOST:PORT (raw bytes; the line settings are fixed on the server). HOST is a
// name, an IPv4 address or an IPv6 address in brackets; PORT is 1..65535.
//
// Plain value types and pure functions; any thread.

#include <optional>
#include <string>
#include <string_view>

namespace tavra {

enum class NetworkPortScheme { Rfc2217, RawTcp };

struct NetworkPortUrl {
  NetworkPortScheme scheme = NetworkPortScheme::Rfc2217;
  std::string host;  // without brackets
  int port = 0;
  std::string text;  // the URL as written

  friend bool operator==(const NetworkPortUrl&, const NetworkPortUrl&) = default;
};

// Nothing for anything that is not exactly such a URL (no path, no user, no spaces inside).
[[nodiscard]] std::optional<NetworkPortUrl> ParseNetworkPortUrl(std::string_view text);

}  // namespace tavra
