// ports: COM1..COM9 with the devices they name and whether each exists and is free. Needs no
// bus: a port is busy when another program holds it exclusively (TIOCEXCL or an flock, as
// TavraLink holds the ports it serves). A network port shows its URL and is not probed (a
// connection would take the device server's port); a bad mapping file shows as such.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <iomanip>
#include <optional>
#include <sstream>

#include "cli_commands.h"
#include "shared/com_port_map.h"
#include "terminal_text.h"

namespace tavra::loader::cli {
namespace {

enum class PortState { NoDevice, Missing, Free, Busy, NoAccess, Network, BadEntry };

std::string_view StateName(PortState state) {
  switch (state) {
    case PortState::NoDevice: return "no device";
    case PortState::Missing: return "missing";
    case PortState::Free: return "free";
    case PortState::Busy: return "busy";
    case PortState::NoAccess: return "no access";
    case PortState::Network: return "network";
    case PortState::BadEntry: return "bad entry";
  }
  return "unknown";
}

PortState Probe(const std::string& device) {
  if (::access(device.c_str(), F_OK) != 0) {
    return PortState::Missing;
  }
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EBUSY) {
      return PortState::Busy;
    }
    return errno == EACCES || errno == EPERM ? PortState::NoAccess : PortState::Missing;
  }
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return locked ? PortState::Busy : PortState::Free;
}

}  // namespace

int RunPortsCommand(CommandContext& context) {
  for (int port = 1; port <= 9; ++port) {
    const auto target = ResolveComPortTarget(port);
    std::optional<std::string> device;
    PortState state = PortState::NoDevice;
    if (target && target->network) {
      device = target->network->text;
      state = PortState::Network;
    } else if (target && !target->problem.empty()) {
      device = target->path;
      state = PortState::BadEntry;
    } else if (target) {
      device = target->path;
      state = Probe(*device);
    }
    if (context.options.json) {
      JsonObject object;
      object.Add("port", port)
          .Add("name", ComPortName(port))
          .Add("device", device.value_or(""))
          .Add("exists",
               state == PortState::Free || state == PortState::Busy || state == PortState::NoAccess)
          .Add("state", StateName(state));
      context.out << object.Text() << "\n";
    } else {
      context.out << std::left << std::setw(6) << ComPortName(port) << std::setw(32)
                  << device.value_or("-") << StateName(state) << "\n";
    }
  }
  return kExitOk;
}

}  // namespace tavra::loader::cli
