// COM port names to device paths: TAVRA_PORT_DIR, then a pinned link in the user's config
// folder, then the built-in defaults.

#include "shared/com_port_map.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "tests/common/scoped_env.h"
#include "tests/common/temp_dir.h"

namespace tavra {
namespace {

namespace fs = std::filesystem;
using tavra::test::ScopedEnv;
using tavra::test::TempDir;

class ComPortMapTest : public ::testing::Test {
 protected:
  // Pins COM<n> in <configHome>/tavra/ports/ as a link to target.
  void Pin(const fs::path& configHome, int n, const std::string& target) {
    const fs::path ports = configHome / "tavra" / "ports";
    fs::create_directories(ports);
    fs::create_symlink(target, ports / ComPortName(n));
  }

  // What the map reads: unset for each test, and back as it was afterwards.
  const ScopedEnv m_portDir{"TAVRA_PORT_DIR"};
  const ScopedEnv m_configHome{"XDG_CONFIG_HOME"};
  const ScopedEnv m_home{"HOME"};
  const TempDir m_root{"tavra-map"};
};

TEST_F(ComPortMapTest, BuiltInDefaults) {
  const std::pair<int, std::optional<std::string>> expected[] = {
      {0, std::nullopt},   {1, "/dev/ttyS0"},   {2, "/dev/ttyS1"},   {3, "/dev/ttyS2"},
      {4, "/dev/ttyS3"},   {5, "/dev/ttyUSB0"}, {6, "/dev/ttyUSB1"}, {7, "/dev/ttyUSB2"},
      {8, "/dev/ttyUSB3"}, {9, "/dev/ttyACM0"}, {10, std::nullopt},  {-1, std::nullopt},
      {1000, std::nullopt}};
  for (const auto& [n, path] : expected) {
    EXPECT_EQ(ResolveComPort(n), path) << n;
  }
}

TEST_F(ComPortMapTest, PortDirWinsOverEverythingElse) {
  Pin(m_root / "xdg", 3, "/dev/ttyUSB3");
  ::setenv("XDG_CONFIG_HOME", (m_root / "xdg").c_str(), 1);
  ::setenv("TAVRA_PORT_DIR", "/run/tavra-test", 1);
  EXPECT_EQ(ResolveComPort(3), "/run/tavra-test/COM3");
  // Nothing else is tried, not even for ports without an entry there.
  EXPECT_EQ(ResolveComPort(0), "/run/tavra-test/COM0");
  EXPECT_EQ(ResolveComPort(1), "/run/tavra-test/COM1");
  EXPECT_EQ(ResolveComPort(10), std::nullopt);
}

TEST_F(ComPortMapTest, EmptyPortDirCountsAsUnset) {
  ::setenv("TAVRA_PORT_DIR", "", 1);
  EXPECT_EQ(ResolveComPort(2), "/dev/ttyS1");
}

TEST_F(ComPortMapTest, PinnedLinkInXdgConfigHome) {
  Pin(m_root / "xdg", 5, "/dev/serial/by-id/usb-adapter");
  ::setenv("XDG_CONFIG_HOME", (m_root / "xdg").c_str(), 1);
  ::setenv("HOME", (m_root / "home").c_str(), 1);
  EXPECT_EQ(ResolveComPort(5), (m_root / "xdg/tavra/ports/COM5").string());
  EXPECT_EQ(ResolveComPort(6), "/dev/ttyUSB1");
  // A pinned COM0 gives the port that has no default.
  Pin(m_root / "xdg", 0, "/dev/ttyUSB7");
  EXPECT_EQ(ResolveComPort(0), (m_root / "xdg/tavra/ports/COM0").string());
}

TEST_F(ComPortMapTest, PinnedLinkUnderHomeWhenNoXdgConfigHome) {
  Pin(m_root / "home" / ".config", 1, "/dev/ttyUSB0");
  ::setenv("HOME", (m_root / "home").c_str(), 1);
  EXPECT_EQ(ResolveComPort(1), (m_root / "home/.config/tavra/ports/COM1").string());
  // XDG_CONFIG_HOME, when set, replaces ~/.config.
  ::setenv("XDG_CONFIG_HOME", (m_root / "elsewhere").c_str(), 1);
  EXPECT_EQ(ResolveComPort(1), "/dev/ttyS0");
}

TEST_F(ComPortMapTest, LinksPinDevicesAndFilesNameNetworkPorts) {
  const fs::path ports = m_root / "xdg" / "tavra" / "ports";
  fs::create_directories(ports);
  ::setenv("XDG_CONFIG_HOME", (m_root / "xdg").c_str(), 1);
  // A link counts even when its target is missing (the adapter is unplugged).
  Pin(m_root / "xdg", 4, "/nonexistent/tty");
  EXPECT_EQ(ResolveComPort(4), (ports / "COM4").string());

  struct Case {
    int port;
    const char* content;
    std::optional<std::string> url;  // nothing: a bad file
  };
  const Case cases[] = {
      {1, "rfc2217://10.0.0.7:7000\n", "rfc2217://10.0.0.7:7000"},
      {2, "tcp://[::1]:4001\r\nsecond line ignored\n", "tcp://[::1]:4001"},
      {3, "rfc2217://server:7000", "rfc2217://server:7000"},  // no line end
      {5, "not a link\n", std::nullopt},
      {6, "", std::nullopt},
      {7, "http://10.0.0.7:80\n", std::nullopt},
      {8, "\nrfc2217://10.0.0.7:7000\n", std::nullopt},  // only the first line counts
  };
  for (const Case& c : cases) {
    std::ofstream(ports / ComPortName(c.port), std::ios::binary) << c.content;
    const std::optional<ComPortTarget> target = ResolveComPortTarget(c.port);
    ASSERT_TRUE(target) << c.port;
    EXPECT_EQ(target->path, (ports / ComPortName(c.port)).string());
    // Neither kind is a device path, so the serial driver never opens such a file.
    EXPECT_EQ(ResolveComPort(c.port), std::nullopt) << c.port;
    if (c.url) {
      ASSERT_TRUE(target->network) << c.port;
      EXPECT_EQ(target->network->text, *c.url);
      EXPECT_EQ(target->problem, "");
    } else {
      EXPECT_FALSE(target->network) << c.port;
      EXPECT_NE(target->problem, "") << c.port;
    }
  }
  // The same in TAVRA_PORT_DIR.
  ::setenv("TAVRA_PORT_DIR", ports.c_str(), 1);
  ASSERT_TRUE(ResolveComPortTarget(2)->network);
  EXPECT_EQ(ResolveComPortTarget(2)->network->scheme, NetworkPortScheme::RawTcp);
  EXPECT_EQ(ResolveComPortTarget(2)->network->host, "::1");
  EXPECT_EQ(ResolveComPortTarget(2)->network->port, 4001);
}

TEST_F(ComPortMapTest, AnOverlongFirstLineIsNoUrl) {
  const fs::path dir = m_root / "ports";
  fs::create_directories(dir);
  std::ofstream(dir / "COM1") << "rfc2217://" << std::string(100000, 'a') << ":7000\n";
  ::setenv("TAVRA_PORT_DIR", dir.c_str(), 1);
  const std::optional<ComPortTarget> target = ResolveComPortTarget(1);
  ASSERT_TRUE(target);
  EXPECT_FALSE(target->network);
  EXPECT_NE(target->problem, "");
}

TEST_F(ComPortMapTest, Names) {
  EXPECT_EQ(ComPortName(1), "COM1");
  EXPECT_EQ(ComPortName(9), "COM9");
  EXPECT_EQ(ComPortName(0), "COM0");
}

}  // namespace
}  // namespace tavra
