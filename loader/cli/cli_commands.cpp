#include "cli_commands.h"

#include <array>
#include <charconv>
#include <iomanip>
#include <optional>

namespace tavra::loader::cli {
namespace {

constexpr std::array kCommands = {
    Command{"version", "", "show the version of the firmware in the controller", 0, 0,
            &RunVersionCommand},
    Command{"check", "FILE", "check a firmware file as the loader does when it is opened", 1, 1,
            &RunCheckCommand},
    Command{"info", "FILE",
            "show a firmware file's product data, checksums, row count and header size", 1, 1,
            &RunInfoCommand},
    Command{"backup", "FILE", "back the controller's firmware up into FILE", 1, 1,
            &RunBackupCommand},
    Command{"update", "FILE", "update the controller's firmware from FILE ([--verify])", 1, 1,
            &RunUpdateCommand, true},
    Command{"status", "", "show the port's connection, the controller's type and version", 0, 0,
            &RunStatusCommand},
    Command{"ports", "", "list COM1..COM9 with their devices and whether they are free", 0, 0,
            &RunPortsCommand},
    Command{"history", "", "show the update history: version reads, backups and updates", 0, 0,
            &RunHistoryCommand},
};

bool IsHelp(std::string_view arg) {
  return arg == "-h" || arg == "--help";
}

void PrintHelp(std::ostream& out) {
  out << "Usage: " << kProgramName << " COMMAND [ARGUMENTS] [OPTIONS]\n"
      << "       " << kProgramName << " COMMAND --help\n\n"
      << "The command-line front end of the Tavra firmware loader.\n\nCommands:\n";
  for (const Command& command : kCommands) {
    const std::string usage = std::string(command.name) + " " + std::string(command.arguments);
    out << "  " << std::left << std::setw(14) << usage << command.summary << "\n";
  }
  out << "\nOptions:\n"
      << "  --port N      the controller's port COM<N> (1..9, default 1)\n"
      << "  --debug       write the debug log \"Debug.Log\" in the current folder\n"
      << "  --json        print one JSON object per result\n"
      << "  --quiet       no progress display\n"
      << "  --lang NAME   language of the messages: DANISH (default), ENGLISH, GERMAN\n"
      << "  --verify      update: read the firmware back and compare it row by row\n"
      << "  -h, --help    show this help and exit\n\n"
      << "Exit status: 0 success, 1 the command failed, 2 wrong usage.\n";
}

void PrintCommandUsage(std::ostream& out, const Command& command) {
  out << "Usage: " << kProgramName << " " << command.name << " " << command.arguments
      << (command.allowsVerify ? " [--verify]" : "") << "\n"
      << command.summary << "\n";
}

int UsageError(std::ostream& err, std::string_view message) {
  err << kProgramName << ": " << message << "\nTry '" << kProgramName << " --help'.\n";
  return kExitUsage;
}

const Command* FindCommand(std::string_view name) {
  for (const Command& candidate : kCommands) {
    if (candidate.name == name) {
      return &candidate;
    }
  }
  return nullptr;
}

std::optional<int> ParsePort(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > 9) {
    return std::nullopt;
  }
  return value;
}

struct Parsed {
  const Command* command = nullptr;
  CliOptions options;
  std::vector<std::string> args;
  bool help = false;
  std::string error;  // a usage error
};

// An option that takes a value: "--port N" or "--port=N". Advances `i` past the value.
std::optional<std::string> OptionValue(const std::vector<std::string>& argv,
                                       std::size_t& i,
                                       std::string_view name) {
  const std::string& arg = argv[i];
  if (arg == name) {
    if (i + 1 >= argv.size()) {
      return std::nullopt;
    }
    return argv[++i];
  }
  return arg.substr(name.size() + 1);
}

bool IsValueOption(std::string_view arg, std::string_view name) {
  return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
                         arg[name.size()] == '=');
}

std::string Prefix(const Parsed& parsed) {
  return parsed.command != nullptr ? std::string(parsed.command->name) + ": " : std::string();
}

// Handles one option; false with parsed.error set when it is wrong.
bool TakeOption(const std::vector<std::string>& argv, std::size_t& i, Parsed& parsed) {
  const std::string& arg = argv[i];
  CliOptions& options = parsed.options;
  if (arg == "--debug") {
    options.debug = true;
  } else if (arg == "--json") {
    options.json = true;
  } else if (arg == "--quiet" || arg == "-q") {
    options.quiet = true;
  } else if (arg == "--verify") {
    options.verify = true;  // judged once the command is known
  } else if (IsValueOption(arg, "--port")) {
    const auto value = OptionValue(argv, i, "--port");
    const auto port = value ? ParsePort(*value) : std::nullopt;
    if (!port) {
      parsed.error = "--port takes a port number 1..9";
      return false;
    }
    options.port = *port;
  } else if (IsValueOption(arg, "--lang")) {
    const auto value = OptionValue(argv, i, "--lang");
    const auto language = value ? OfferedLanguage(*value) : std::nullopt;
    if (!language) {
      parsed.error = "--lang takes DANISH, ENGLISH or GERMAN";
      return false;
    }
    options.language = *language;
  } else {
    parsed.error = Prefix(parsed) + "unknown option '" + arg + "'";
    return false;
  }
  return true;
}

Parsed Parse(const std::vector<std::string>& argv) {
  Parsed parsed;
  bool endOfOptions = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (!endOfOptions && arg == "--") {
      endOfOptions = true;
    } else if (!endOfOptions && IsHelp(arg)) {
      parsed.help = true;
      return parsed;
    } else if (!endOfOptions && arg.size() > 1 && arg.front() == '-') {
      if (!TakeOption(argv, i, parsed)) {
        return parsed;
      }
    } else if (parsed.command == nullptr) {
      if (arg == "help") {
        parsed.help = true;
        return parsed;
      }
      parsed.command = FindCommand(arg);
      if (parsed.command == nullptr) {
        parsed.error = "unknown command '" + arg + "'";
        return parsed;
      }
    } else {
      parsed.args.push_back(arg);
    }
  }
  return parsed;
}

}  // namespace

std::span<const Command> Commands() {
  return kCommands;
}

int RunCli(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err) {
  const Parsed parsed = Parse(argv);
  if (!parsed.error.empty()) {
    return UsageError(err, parsed.error);
  }
  if (parsed.help) {
    if (parsed.command != nullptr) {
      PrintCommandUsage(out, *parsed.command);
    } else {
      PrintHelp(out);
    }
    return kExitOk;
  }
  if (parsed.command == nullptr) {
    return UsageError(err, "no command given");
  }
  const Command& command = *parsed.command;
  if (parsed.options.verify && !command.allowsVerify) {
    return UsageError(err, std::string(command.name) + ": unknown option '--verify'");
  }
  const auto count = static_cast<int>(parsed.args.size());
  if (count < command.minArgs || count > command.maxArgs) {
    const std::string expected =
        command.maxArgs == 0 ? "no arguments" : std::string(command.arguments);
    return UsageError(err, std::string(command.name) + ": expected " + expected);
  }
  CommandContext context{parsed.args, out, err, parsed.options};
  return command.run(context);
}

}  // namespace tavra::loader::cli
