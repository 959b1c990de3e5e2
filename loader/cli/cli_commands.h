#pragma once
// tavraloader-cli: the command-line front end of the firmware loader. Each command is one entry
// of a table (name, arguments, summary, handler), so commands that talk to a controller are
// added the same way as the file commands.
//
// Single-threaded: main() calls RunCli() once.

#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavra::loader::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

inline constexpr std::string_view kProgramName = "tavraloader-cli";

struct CommandContext {
  std::vector<std::string> args;  // the command's arguments, without the command name
  std::ostream& out;
  std::ostream& err;
};

struct Command {
  std::string_view name;
  std::string_view arguments;  // e.g. "FILE"
  std::string_view summary;    // one line for --help
  int minArgs;
  int maxArgs;
  int (*run)(CommandContext& context);
};

// All commands, in the order --help lists them.
[[nodiscard]] std::span<const Command> Commands();

// Parses the command line (argv without the program name) and runs the command. Returns the
// exit code: 0 success, 1 the command failed, 2 wrong usage.
[[nodiscard]] int RunCli(const std::vector<std::string>& argv,
                         std::ostream& out,
                         std::ostream& err);

// The file commands (file_commands.cpp).
int RunCheckCommand(CommandContext& context);
int RunInfoCommand(CommandContext& context);

}  // namespace tavra::loader::cli
