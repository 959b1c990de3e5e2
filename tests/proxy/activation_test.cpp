// Reaching the server: started by the bus from its activation file, or by the proxy from the
// program named in the options or in TAVRALINK_PROGRAM when the name is not activatable.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "proxy_support.h"
#include "tests/common/file_contents.h"

namespace tavra::dbus::test {
namespace {

using tavra::test::ReadFile;
using tavra::test::TempDir;
using tavra::test::TestBus;

void ExpectEmptyPortTable(TavraPoolProxy& pool) {
  std::vector<PortStatus> ports;
  ASSERT_EQ(pool.GetPortTable(ports), S_OK);
  ASSERT_EQ(ports.size(), 10u);
  for (int n = 0; n < 10; ++n) {
    EXPECT_EQ(ports[static_cast<std::size_t>(n)], (PortStatus{n, false, false, 0, {}}));
  }
}

TEST(ProxyActivation, BusStartsTheServerFromItsActivationFile) {
  TestBus bus(true);
  ASSERT_TRUE(bus.Ready());
  EXPECT_EQ(ReadFile(bus.ServiceFile()), "[D-BUS Service]\nName=dk.norvik.TavraLink\nExec='" +
                                             std::filesystem::canonical(TAVRALINK_PATH).string() +
                                             "'\n");
  EXPECT_FALSE(bus.NameHasOwner("dk.norvik.TavraLink"));

  ProxyOptions options = OptionsFor(bus);
  options.program = (bus.Dir() / "no-such-program").string();  // only the bus can start it
  std::shared_ptr<TavraPoolProxy> pool;
  std::string error;
  ASSERT_EQ(ConnectTavraPool(options, pool, &error), S_OK) << error;
  EXPECT_FALSE(LastCallStatus().failed);
  const std::string owner = bus.NameOwner("dk.norvik.TavraLink");
  ASSERT_FALSE(owner.empty());
  EXPECT_EQ(pool->ServerName(), owner);
  EXPECT_EQ(owner.front(), ':');
  EXPECT_FALSE(pool->ServerGone());
  ExpectEmptyPortTable(*pool);
}

TEST(ProxyActivation, BusStartsAProgramWhosePathHasASpaceAndAQuote) {
  TempDir programs;
  const std::filesystem::path base = std::filesystem::canonical(programs.Path());
  const std::filesystem::path dir = base / "Tavra Link's bin";
  std::filesystem::create_directories(dir);
  const std::filesystem::path program = dir / "tavralink";
  std::filesystem::copy_file(TAVRALINK_PATH, program);
  TestBus bus(true, program.string());
  ASSERT_TRUE(bus.Ready());
  EXPECT_EQ(ReadFile(bus.ServiceFile()), "[D-BUS Service]\nName=dk.norvik.TavraLink\nExec='" +
                                             base.string() +
                                             "/Tavra Link'\\\\''s bin/tavralink'\n");
  ProxyOptions options = OptionsFor(bus);
  options.program = (bus.Dir() / "no-such-program").string();  // only the bus can start it
  std::shared_ptr<TavraPoolProxy> pool;
  std::string error;
  ASSERT_EQ(ConnectTavraPool(options, pool, &error), S_OK) << error;
  const pid_t server = bus.ProcessOf("dk.norvik.TavraLink");
  ASSERT_GT(server, 0);
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(server) + "/exe"), program);
  ExpectEmptyPortTable(*pool);
}

TEST(ProxyActivation, ProxyStartsTheProgramNamedInTheEnvironment) {
  TestBus bus(false);
  ASSERT_TRUE(bus.Ready());
  ProxyOptions options = OptionsFor(bus);
  options.program.clear();
  ::setenv("TAVRALINK_PROGRAM", TAVRALINK_PATH, 1);
  std::shared_ptr<TavraPoolProxy> pool;
  std::string error;
  const HRESULT result = ConnectTavraPool(options, pool, &error);
  ::unsetenv("TAVRALINK_PROGRAM");
  ASSERT_EQ(result, S_OK) << error;
  EXPECT_EQ(pool->ServerName(), bus.NameOwner("dk.norvik.TavraLink"));
  EXPECT_GT(bus.ProcessOf("dk.norvik.TavraLink"), 0);
  ExpectEmptyPortTable(*pool);
}

TEST(ProxyActivation, SecondClientReachesTheRunningServer) {
  TestBus bus(false);
  ASSERT_TRUE(bus.Ready());
  std::shared_ptr<TavraPoolProxy> first;
  std::shared_ptr<TavraPoolProxy> second;
  ASSERT_EQ(ConnectTavraPool(OptionsFor(bus), first), S_OK);
  const pid_t server = bus.ProcessOf("dk.norvik.TavraLink");
  ASSERT_EQ(ConnectTavraPool(OptionsFor(bus), second), S_OK);
  EXPECT_EQ(second->ServerName(), first->ServerName());
  EXPECT_EQ(bus.ProcessOf("dk.norvik.TavraLink"), server);
}

TEST(ProxyActivation, FailsAtOnceWithoutServerOrProgram) {
  TestBus bus(false);
  ASSERT_TRUE(bus.Ready());
  ProxyOptions options = OptionsFor(bus);
  options.program = (bus.Dir() / "no-such-program").string();
  std::shared_ptr<TavraPoolProxy> pool;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectTavraPool(options, pool, &error), kServerUnavailable);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(pool, nullptr);
  EXPECT_NE(error.find("no-such-program"), std::string::npos) << error;
  EXPECT_TRUE(LastCallStatus().failed);
  EXPECT_FALSE(bus.NameHasOwner("dk.norvik.TavraLink"));
}

TEST(ProxyActivation, LookingOnlyNeverStartsTheServer) {
  TestBus bus(true);
  ASSERT_TRUE(bus.Ready());
  ProxyOptions options = OptionsFor(bus);
  options.startServer = false;
  std::shared_ptr<TavraPoolProxy> pool;
  std::string error;
  EXPECT_EQ(ConnectTavraPool(options, pool, &error), kServerUnavailable);
  EXPECT_EQ(error, "TavraLink is not running");
  EXPECT_FALSE(bus.NameHasOwner("dk.norvik.TavraLink"));

  // Once one runs, the same options reach it.
  std::shared_ptr<TavraPoolProxy> starter;
  ASSERT_EQ(ConnectTavraPool(OptionsFor(bus), starter), S_OK);
  ASSERT_EQ(ConnectTavraPool(options, pool, &error), S_OK) << error;
  EXPECT_EQ(pool->ServerName(), starter->ServerName());
}

TEST(ProxyActivation, NoBusIsReportedAsUnavailable) {
  TempDir dir;
  ProxyOptions options;
  options.busAddress = "unix:path=" + (dir.Path() / "no-bus").string();
  std::shared_ptr<TavraPoolProxy> pool;
  std::string error;
  EXPECT_EQ(ConnectTavraPool(options, pool, &error), kServerUnavailable);
  EXPECT_NE(error.find("cannot connect to the session bus"), std::string::npos) << error;
  EXPECT_TRUE(LastCallStatus().failed);
}

}  // namespace
}  // namespace tavra::dbus::test
