#include "cli_commands.h"

#include <array>
#include <iomanip>

namespace tavra::loader::cli {
namespace {

constexpr std::array kCommands = {
    Command{"check", "FILE", "check a firmware file as the loader does when it is opened", 1, 1,
            &RunCheckCommand},
    Command{"info", "FILE",
            "show a firmware file's product data, checksums, row count and header size", 1, 1,
            &RunInfoCommand},
};

bool IsHelp(std::string_view arg) {
  return arg == "-h" || arg == "--help";
}

void PrintHelp(std::ostream& out) {
  out << "Usage: " << kProgramName << " COMMAND [ARGUMENTS]\n"
      << "       " << kProgramName << " COMMAND --help\n\n"
      << "The command-line front end of the Tavra firmware loader.\n\nCommands:\n";
  for (const Command& command : kCommands) {
    const std::string usage = std::string(command.name) + " " + std::string(command.arguments);
    out << "  " << std::left << std::setw(14) << usage << command.summary << "\n";
  }
  out << "\nOptions:\n  -h, --help    show this help and exit\n\n"
      << "Exit status: 0 success, 1 the command failed, 2 wrong usage.\n";
}

void PrintCommandUsage(std::ostream& out, const Command& command) {
  out << "Usage: " << kProgramName << " " << command.name << " " << command.arguments << "\n"
      << command.summary << "\n";
}

int UsageError(std::ostream& err, std::string_view message) {
  err << kProgramName << ": " << message << "\nTry '" << kProgramName << " --help'.\n";
  return kExitUsage;
}

}  // namespace

std::span<const Command> Commands() {
  return kCommands;
}

int RunCli(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err) {
  if (argv.empty()) {
    return UsageError(err, "no command given");
  }
  const std::string& name = argv.front();
  if (IsHelp(name) || name == "help") {
    PrintHelp(out);
    return kExitOk;
  }
  const Command* command = nullptr;
  for (const Command& candidate : kCommands) {
    if (candidate.name == name) {
      command = &candidate;
    }
  }
  if (command == nullptr) {
    return UsageError(err, "unknown command '" + name + "'");
  }

  CommandContext context{{}, out, err};
  bool endOfOptions = false;
  for (auto it = argv.begin() + 1; it != argv.end(); ++it) {
    if (!endOfOptions && *it == "--") {
      endOfOptions = true;
    } else if (!endOfOptions && IsHelp(*it)) {
      PrintCommandUsage(out, *command);
      return kExitOk;
    } else if (!endOfOptions && it->size() > 1 && it->front() == '-') {
      return UsageError(err, std::string(command->name) + ": unknown option '" + *it + "'");
    } else {
      context.args.push_back(*it);
    }
  }
  const auto count = static_cast<int>(context.args.size());
  if (count < command->minArgs || count > command->maxArgs) {
    return UsageError(err,
                      std::string(command->name) + ": expected " + std::string(command->arguments));
  }
  return command->run(context);
}

}  // namespace tavra::loader::cli
