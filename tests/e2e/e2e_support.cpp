#include "e2e_support.h"

#include <fstream>
#include <sstream>
#include <thread>

namespace tavra::dbus::test {

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

void EndToEnd::MakeFirmware(const std::string& name, std::vector<std::string> args) {
  args.insert(args.begin(), {"python3", MAKE_FIRMWARE_SCRIPT, File(name).string()});
  ChildProcess maker(args, {}, File("maker.log"));
  ASSERT_EQ(maker.Wait(std::chrono::milliseconds(kWait)), 0) << ReadText(File("maker.log"));
}

std::unique_ptr<ChildProcess> EndToEnd::StartSim(int port, std::vector<std::string> options) {
  options.insert(options.begin(), {TAVRA_SIM_PATH, "--port", std::to_string(port)});
  const auto link = m_bus.PortDir() / ("COM" + std::to_string(port));
  auto sim = std::make_unique<ChildProcess>(options, std::map<std::string, std::string>{},
                                            File("sim" + std::to_string(port) + ".log"));
  EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(link); }, kWait)) << link;
  return sim;
}

std::unique_ptr<ChildProcess> EndToEnd::Start(std::vector<std::string> args) {
  args.insert(args.begin(), TAVRALOADER_CLI_PATH);
  std::filesystem::remove(File("cli.err"));
  return std::make_unique<ChildProcess>(
      args, std::map<std::string, std::string>{{"TAVRALINK_PROGRAM", TAVRALINK_PATH}},
      File("cli.err"));
}

CliRun EndToEnd::Finish(ChildProcess& cli) {
  CliRun run;
  for (const std::string& line : cli.ReadAllLines(kCommandLimit)) {
    run.out += line + "\n";
  }
  run.exitCode = cli.Wait(std::chrono::milliseconds(kWait)).value_or(-1000);
  run.err = ReadText(File("cli.err"));
  return run;
}

CliRun EndToEnd::Tavractl(std::vector<std::string> args) {
  args.insert(args.begin(), TAVRACTL_PATH);
  const ProgramOutcome outcome = m_bus.Run(args, {{"TAVRALINK_PROGRAM", TAVRALINK_PATH}});
  CliRun run;
  run.exitCode = outcome.exitCode;
  for (const std::string& line : outcome.out) {
    run.out += line + "\n";
  }
  run.err = outcome.err;
  return run;
}

bool EndToEnd::WaitForTransfer(const std::string& label) {
  return WaitUntil(
      [&] { return ReadText(File("cli.err")).find(label + ": ") != std::string::npos; },
      std::chrono::milliseconds(60s));
}

}  // namespace tavra::dbus::test
