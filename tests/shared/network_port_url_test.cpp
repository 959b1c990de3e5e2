// Network port URLs: the two schemes, hosts by name, IPv4 and bracketed IPv6, and everything
// else refused.

#include "shared/network_port_url.h"

#include <gtest/gtest.h>

namespace tavra {
namespace {

TEST(NetworkPortUrl, Accepted) {
  const NetworkPortUrl cases[] = {
      {NetworkPortScheme::Rfc2217, "127.0.0.1", 7000, "rfc2217://127.0.0.1:7000"},
      {NetworkPortScheme::RawTcp, "device-server.local", 4001, "tcp://device-server.local:4001"},
      {NetworkPortScheme::Rfc2217, "::1", 1, "rfc2217://[::1]:1"},
      {NetworkPortScheme::RawTcp, "fe80::1", 65535, "tcp://[fe80::1]:65535"},
  };
  for (const NetworkPortUrl& expected : cases) {
    EXPECT_EQ(ParseNetworkPortUrl(expected.text), expected) << expected.text;
  }
}

TEST(NetworkPortUrl, Refused) {
  const char* cases[] = {
      "",
      "rfc2217://",
      "rfc2217://host",
      "rfc2217://host:",
      "rfc2217://:7000",
      "rfc2217://host:0",
      "rfc2217://host:65536",
      "rfc2217://host:123456",
      "rfc2217://host:7000/path",
      "rfc2217://user@host:7000",
      "rfc2217://host:7000 ",
      "rfc2217://ho st:7000",
      "rfc2217://[::1:7000",
      "rfc2217://[::g]:7000",
      "rfc2217://[::1]7000",
      "rfc2217://host:+700",
      "RFC2217://host:7000",
      "telnet://host:7000",
      "tcp:/host:7000",
      "/dev/ttyUSB0",
  };
  for (const char* text : cases) {
    EXPECT_EQ(ParseNetworkPortUrl(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace tavra
