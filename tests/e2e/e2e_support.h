#pragma once
// Support for the end-to-end tests: tavraloader-cli, tavractl, tavralink and tavra-sim as
// processes on a private session bus (TestBus), with bounded waits for files that another
// process writes, for the lines of a watching client and for the programs' ends.
//
// Owner: the test fixture owns the bus and the processes it starts. Threads: the test's thread
// only. No lock.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/bus/test_bus.h"
#include "tests/common/child_process.h"
#include "tests/common/file_contents.h"
#include "tests/common/wait_until.h"

namespace tavra::test {

// A transfer of 2,000 rows takes about 15 s unloaded; a failing one ends within the 15 s of a
// wait plus the link's own time-outs.
inline constexpr auto kCommandLimit = std::chrono::milliseconds(180s);

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Reads the lines of `watch` until one contains `text` (at most 60 s).
bool SeeLine(ChildProcess& watch, const std::string& text);

// The value of counter `name` in tavractl's "status PORT" output, -1 when missing.
long Counter(const std::string& status, const std::string& name);

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

  // "tavractl watch PORT": a client that stays on the port, so that the server keeps the link
  // and its counters between the commands; its lines show the link going and coming.
  std::unique_ptr<ChildProcess> StartWatch(int port);
  // The same, once it has said that it watches.
  std::unique_ptr<ChildProcess> Watch(int port);

  // Waits until the CLI's progress shows that the transfer runs.
  bool WaitForTransfer(const std::string& label);

  TestBus m_bus{false};
};

}  // namespace tavra::test
