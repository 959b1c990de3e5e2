#include "shared/com_port_map.h"

#include <cstdlib>
#include <filesystem>

namespace tavra {

std::string ComPortName(int portNumber) {
  return "COM" + std::to_string(portNumber);
}

std::optional<std::string> ResolveComPort(int portNumber) {
  if (portNumber < 0 || portNumber >= kPortCount) {
    return std::nullopt;
  }
  const std::string name = ComPortName(portNumber);
  if (const char* dir = std::getenv("TAVRA_PORT_DIR"); dir != nullptr && *dir != '\0') {
    return std::string(dir) + "/" + name;
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
    if (std::filesystem::is_symlink(pinned, ec)) {
      return pinned;
    }
  }
  if (portNumber >= 1 && portNumber <= 4) {
    return "/dev/ttyS" + std::to_string(portNumber - 1);
  }
  if (portNumber >= 5 && portNumber <= 8) {
    return "/dev/ttyUSB" + std::to_string(portNumber - 5);
  }
  if (portNumber == 9) {
    return std::string("/dev/ttyACM0");
  }
  return std::nullopt;
}

}  // namespace tavra
