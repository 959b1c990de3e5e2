#include "loader/window/port_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "shared/com_port_map.h"

namespace tavra::loader {

bool PortDeviceExists(const std::string& path) {
  // Non-blocking, so a modem line without carrier does not hold the form up.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  return errno != ENOENT && errno != ENOTDIR;
}

PortList PortList::Probe() {
  std::vector<ListedPort> ports;
  for (int port = kFirstListedPort; port <= kLastListedPort; ++port) {
    const std::optional<ComPortTarget> target = ResolveComPortTarget(port);
    if (target && target->network) {
      ports.push_back({port, ComPortName(port), target->network->text});  // not probed
    } else if (target && target->problem.empty() && PortDeviceExists(target->path)) {
      ports.push_back({port, ComPortName(port), target->path});
    }
  }
  return PortList(std::move(ports));
}

PortList::PortList(std::vector<ListedPort> ports) : m_ports(std::move(ports)) {
  for (int i = 0; i < Count(); ++i) {
    const int port = m_ports[static_cast<std::size_t>(i)].port;
    if (port >= 0 && port <= kLastListedPort) {
      m_indexOfPort[static_cast<std::size_t>(port)] = i;
    }
  }
}

std::optional<int> PortList::PortOf(int index) const {
  if (index < 0 || index >= Count()) {
    return std::nullopt;
  }
  return m_ports[static_cast<std::size_t>(index)].port;
}

int PortList::IndexOf(int port) const {
  if (port < 0 || port > kLastListedPort) {
    return 0;
  }
  return m_indexOfPort[static_cast<std::size_t>(port)];
}

}  // namespace tavra::loader
