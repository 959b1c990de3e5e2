#pragma once
// Support for the end-to-end tests: tavraloader-cli, tavractl, tavralink and tavra-sim as
// processes on a private session bus (tests/proxy's TestBus), with bounded waits for files
// that another process writes and for the programs' ends.
//
// Threads: used by the test's thread only.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "proxy_support.h"

namespace tavra::dbus::test {

// A transfer of 2,000 rows takes about 15 s unloaded; a failing one ends within the 15 s of a
// wait plus the link's own time-outs.
inline constexpr auto kCommandLimit = std::chrono::milliseconds(180s);

std::string ReadText(const std::filesystem::path& path);

// Polls for a condition, bounded (a file that another process writes has no event to wait on).
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class EndToEnd : public ::testing::Test {
 protected:
  std::filesystem::path File(const std::string& name) const { return m_bus.Dir() / name; }

  // Writes a firmware file with scripts/make-example-firmware and the given options.
  void MakeFirmware(const std::string& name, std::vector<std::string> args);

  // A simulator on COM<port> with the given options; waits until its port is there.
  std::unique_ptr<ChildProcess> StartSim(int port, std::vector<std::string> options);

  // Starts the CLI; its standard output and error are files, read by Finish().
  std::unique_ptr<ChildProcess> Start(std::vector<std::string> args);
  CliRun Finish(ChildProcess& cli);
  CliRun Run(std::vector<std::string> args) { return Finish(*Start(std::move(args))); }

  // Runs tavractl to its end (bounded).
  CliRun Tavractl(std::vector<std::string> args);

  // Waits until the CLI's progress shows that the transfer runs.
  bool WaitForTransfer(const std::string& label);

  TestBus m_bus{false};
};

}  // namespace tavra::dbus::test
