#pragma once
// tavraloader-cli: the command-line front end of the firmware loader. Each command is one entry
// of a table (name, arguments, options, summary, handler). The file commands read a file and
// need no controller; the controller commands connect through TavraLink and run the same
// firmware steps as the window.
//
// Threads: main() calls RunCli() once on the main thread; a controller command may be ended
// early by the stop-signal thread (see stop_signals.h).

#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "loader/link/message_texts.h"

namespace tavra::loader::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

inline constexpr std::string_view kProgramName = "tavraloader-cli";

// The options that stand before or after the command name.
struct CliOptions {
  int port = 1;         // --port N: COM<N>
  bool debug = false;   // --debug: "Debug.Log" in the current folder, as the window's d switch
  bool json = false;    // --json: one JSON object per result on standard output
  bool quiet = false;   // --quiet: no progress
  bool verify = false;  // update --verify
  Language language = Language::Danish;  // --lang NAME
};

struct CommandContext {
  std::vector<std::string> args;  // the command's arguments, without the command name
  std::ostream& out;
  std::ostream& err;
  CliOptions options;
};

struct Command {
  std::string_view name;
  std::string_view arguments;  // e.g. "FILE"
  std::string_view summary;    // one line for --help
  int minArgs;
  int maxArgs;
  int (*run)(CommandContext& context);
  bool allowsVerify = false;  // the command takes --verify
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

// The controller commands (controller_commands.cpp).
int RunVersionCommand(CommandContext& context);
int RunStatusCommand(CommandContext& context);
int RunBackupCommand(CommandContext& context);
int RunUpdateCommand(CommandContext& context);

// ports (port_listing.cpp).
int RunPortsCommand(CommandContext& context);

// history (history_command.cpp).
int RunHistoryCommand(CommandContext& context);

// The product information block as terminal lines: CR LF becomes LF, trailing blanks go.
[[nodiscard]] std::string ProductInfoLines(const std::string& info);

}  // namespace tavra::loader::cli
