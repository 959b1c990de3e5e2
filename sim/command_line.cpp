#include "sim/command_line.h"

#include <fstream>
#include <string_view>
#include <utility>

#include "shared/hex_text.h"
#include "sim/command_line_options.h"

namespace tavra::sim {

namespace {

constexpr std::string_view kUsageHead = R"(Usage: tavra-sim [OPTION]... [PATH]
Simulates a Tavra controller on a pseudo-terminal (or a real tty) until stopped with
Ctrl+C or SIGTERM. The pseudo-terminal's slave is published as a symlink at PATH, or at
$TAVRA_PORT_DIR/COM<n>; the symlink is removed on exit.
)";
// The column of the help texts; longer option texts keep two spaces before theirs.
constexpr std::size_t kHelpColumn = 24;

// "--name=value" -> "--name" and "value"; anything else as it is.
std::pair<std::string, std::optional<std::string>> SplitInline(const std::string& arg) {
  const std::size_t equals = arg.find('=');
  if (!arg.starts_with("--") || equals == std::string::npos) {
    return {arg, std::nullopt};
  }
  return {arg.substr(0, equals), arg.substr(equals + 1)};
}

bool Named(const Option& option, std::string_view name) {
  std::string_view names = option.names;
  while (!names.empty()) {
    const std::size_t comma = names.find(", ");
    if (names.substr(0, comma) == name) {
      return true;
    }
    names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 2);
  }
  return false;
}

const Option* FindOption(std::string_view name) {
  for (const Option& option : CommandLineOptions()) {
    if (Named(option, name)) {
      return &option;
    }
  }
  return nullptr;
}

// An argument that is no option: the one PATH.
bool TakePath(const std::string& arg, CommandLine* cl, std::string* error) {
  if (arg.starts_with("-")) {
    *error = "unknown option " + arg;
    return false;
  }
  if (!cl->linkPath.empty()) {
    *error = "more than one path given: " + arg;
    return false;
  }
  cl->linkPath = arg;
  return true;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string* error) {
  CommandLine cl;
  for (std::size_t i = 0; i < args.size(); ++i) {
    auto [name, value] = SplitInline(args[i]);
    const Option* option = FindOption(name);
    if (option == nullptr) {
      if (!TakePath(name, &cl, error)) {
        return std::nullopt;
      }
      continue;
    }
    if (option->argument == Argument::None) {
      value.reset();
    } else if (option->argument == Argument::Required && !value && i + 1 < args.size()) {
      value = args[++i];
    }
    const bool missing = option->argument == Argument::Required && !value;
    if (missing || !option->set(cl, value)) {
      const std::string_view why = missing || option->bad.empty() ? option->needs : option->bad;
      *error = name + ": " + std::string(why);
      return std::nullopt;
    }
  }
  if (!cl.devicePath.empty() && (!cl.linkPath.empty() || cl.portNumber >= 0)) {
    *error = "--device serves a real tty; it takes no PATH and no --port";
    return std::nullopt;
  }
  return cl;
}

std::string ResolveLinkPath(const CommandLine& commandLine, const std::string& portDir) {
  if (!commandLine.linkPath.empty()) {
    return commandLine.linkPath;
  }
  if (portDir.empty()) {
    return {};
  }
  const int port = commandLine.portNumber >= 0 ? commandLine.portNumber : 1;
  std::string dir = portDir;
  if (dir.back() != '/') {
    dir += '/';
  }
  return dir + "COM" + std::to_string(port);
}

bool LoadFirmwareFile(const std::string& path, FirmwareContent* content, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot open";
    return false;
  }
  FirmwareContent loaded;
  loaded.productionData = content->productionData;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.empty() && line[0] == ':') {
      std::vector<std::uint8_t> row;
      if (!ParseHex(line.substr(1), 99, &row) || loaded.rows.size() >= kMaxRows) {
        *error = path + ": line " + std::to_string(number) + ": bad record";
        return false;
      }
      loaded.rows.push_back(std::move(row));
    } else {
      // The header ends at its first zero byte, so it holds at most 511 bytes of text.
      if (loaded.header.size() + line.size() + 2 > kMaxHeaderBytes - 1) {
        *error = path + ": header longer than 511 bytes";
        return false;
      }
      loaded.header.insert(loaded.header.end(), line.begin(), line.end());
      loaded.header.push_back('\r');
      loaded.header.push_back('\n');
    }
  }
  *content = std::move(loaded);
  return true;
}

std::string UsageText() {
  std::string text(kUsageHead);
  for (const Option& option : CommandLineOptions()) {
    if (!option.heading.empty()) {
      text += "\n" + std::string(option.heading) + "\n";
    }
    std::string shown(option.names);
    if (!option.placeholder.empty()) {
      shown += (option.argument == Argument::Inline ? "" : " ") + std::string(option.placeholder);
    }
    const std::size_t gap = shown.size() + 2 > kHelpColumn ? 2 : kHelpColumn - shown.size();
    text += "  " + shown + std::string(gap, ' ') + std::string(option.help) + "\n";
  }
  return text;
}

}  // namespace tavra::sim
