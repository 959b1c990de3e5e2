#include "shared/com_port_map.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tavra {
namespace {

constexpr std::size_t kMaxUrlLine = 512;

[[nodiscard]] bool IsRegularFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::regular;
}

// The target named by the regular file at path: a network port, or the problem with it.
[[nodiscard]] ComPortTarget ReadUrlFile(const std::string& path) {
  ComPortTarget target{path, std::nullopt, {}};
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    target.problem = "cannot be read";
    return target;
  }
  std::string line;
  char c = 0;
  while (line.size() <= kMaxUrlLine && in.get(c) && c != '\n') {
    line.push_back(c);
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.pop_back();
  }
  target.network = ParseNetworkPortUrl(line);
  if (!target.network) {
    target.problem =
        "is neither a link to a device nor a file whose first line is rfc2217://HOST:PORT or "
        "tcp://HOST:PORT";
  }
  return target;
}

[[nodiscard]] ComPortTarget EntryAt(const std::string& path) {
  if (IsRegularFile(path)) {
    return ReadUrlFile(path);
  }
  return ComPortTarget{path, std::nullopt, {}};
}

}  // namespace

std::string ComPortName(int portNumber) {
  return "COM" + std::to_string(portNumber);
}

std::optional<ComPortTarget> ResolveComPortTarget(int portNumber) {
  if (portNumber < 0 || portNumber >= kPortCount) {
    return std::nullopt;
  }
  const std::string name = ComPortName(portNumber);
  if (const char* dir = std::getenv("TAVRA_PORT_DIR"); dir != nullptr && *dir != '\0') {
    return EntryAt(std::string(dir) + "/" + name);
  }
  std::string configHome;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    configHome = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    configHome = std::string(home) + "/.config";
  }
  if (!configHome.empty()) {
    const std::string pinned = configHome + "/tavra/ports/" + name;
    std::error_code ec;
    if (std::filesystem::is_symlink(pinned, ec) || IsRegularFile(pinned)) {
      return EntryAt(pinned);
    }
  }
  if (portNumber >= 1 && portNumber <= 4) {
    return ComPortTarget{"/dev/ttyS" + std::to_string(portNumber - 1), std::nullopt, {}};
  }
  if (portNumber >= 5 && portNumber <= 8) {
    return ComPortTarget{"/dev/ttyUSB" + std::to_string(portNumber - 5), std::nullopt, {}};
  }
  if (portNumber == 9) {
    return ComPortTarget{"/dev/ttyACM0", std::nullopt, {}};
  }
  return std::nullopt;
}

std::optional<std::string> ResolveComPort(int portNumber) {
  std::optional<ComPortTarget> target = ResolveComPortTarget(portNumber);
  if (!target || target->network || !target->problem.empty()) {
    return std::nullopt;
  }
  return std::move(target->path);
}

}  // namespace tavra
