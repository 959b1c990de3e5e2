#include "e2e_support.h"

#include <cstdlib>

namespace tavra::test {

bool SeeLine(ChildProcess& watch, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto line = watch.ReadLine(std::chrono::milliseconds(kWait));
    if (line && line->find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

long Counter(const std::string& status, const std::string& name) {
  const auto at = status.find("  " + name + " ");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 32, nullptr, 10);
}

void EndToEnd::MakeFirmware(const std::string& name, std::vector<std::string> args) {
  args.insert(args.begin(), {"python3", MAKE_FIRMWARE_SCRIPT, File(name).string()});
  ChildProcess maker(args, {}, File("maker.log"));
  ASSERT_EQ(maker.Wait(std::chrono::milliseconds(kWait)), 0) << ReadFile(File("maker.log"));
}

std::unique_ptr<ChildProcess> EndToEnd::StartSim(int port, std::vector<std::string> options) {
  options.insert(options.begin(), {TAVRA_SIM_PATH, "--port", std::to_string(port)});
  const auto link = m_bus.PortFolder() / ("COM" + std::to_string(port));
  auto sim = std::make_unique<ChildProcess>(options, Environment{},
                                            File("sim" + std::to_string(port) + ".log"));
  EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(link); }, kWait)) << link;
  return sim;
}

std::unique_ptr<ChildProcess> EndToEnd::Start(std::vector<std::string> args) {
  args.insert(args.begin(), TAVRALOADER_CLI_PATH);
  std::filesystem::remove(File("cli.err"));
  return std::make_unique<ChildProcess>(args, Environment{{"TAVRALINK_PROGRAM", TAVRALINK_PATH}},
                                        File("cli.err"));
}

CliRun EndToEnd::Finish(ChildProcess& cli) {
  CliRun run;
  for (const std::string& line : cli.ReadAllLines(kCommandLimit)) {
    run.out += line + "\n";
  }
  run.exitCode = cli.Wait(std::chrono::milliseconds(kWait)).value_or(-1000);
  run.err = ReadFile(File("cli.err"));
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

std::unique_ptr<ChildProcess> EndToEnd::StartWatch(int port) {
  return std::make_unique<ChildProcess>(
      std::vector<std::string>{TAVRACTL_PATH, "watch", std::to_string(port)},
      Environment{{"TAVRALINK_PROGRAM", TAVRALINK_PATH}},
      File("watch" + std::to_string(port) + ".err"));
}

std::unique_ptr<ChildProcess> EndToEnd::Watch(int port) {
  auto watch = StartWatch(port);
  const auto first = watch->ReadLine(std::chrono::milliseconds(kWait));
  EXPECT_TRUE(first && first->starts_with("Watching ")) << first.value_or("(nothing)");
  return watch;
}

bool EndToEnd::WaitForTransfer(const std::string& label) {
  return WaitUntil(
      [&] { return ReadFile(File("cli.err")).find(label + ": ") != std::string::npos; },
      std::chrono::milliseconds(60s));
}

}  // namespace tavra::test
