#pragma once
// The port form's list: COM1..COM8 probed through the COM port mapping. A port whose device
// does not exist is skipped; one that exists is listed whether it opens or is refused (busy,
// no permission), so that the user can pick it and the driver reports the real failure. A
// network port (a mapping file naming rfc2217:// or tcp://) is listed with its URL as its device,
// unprobed; a bad mapping file is skipped.
// The tables never read outside their bounds: IndexOf gives 0 for a port that is not listed,
// PortOf gives nothing for a position that holds no port.
//
// Plain value type, no lock; the port form's thread.

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace tavra::loader {

inline constexpr int kFirstListedPort = 1;
inline constexpr int kLastListedPort = 8;

struct ListedPort {
  int port = 0;
  std::string name;    // "COM5"
  std::string device;  // "/dev/ttyUSB0", or "rfc2217://10.0.0.7:7000"
};

class PortList {
 public:
  // Probes COM1..COM8 now (each port opened and closed again at once).
  [[nodiscard]] static PortList Probe();
  // A list of the given ports (for tests and other probes).
  explicit PortList(std::vector<ListedPort> ports = {});

  [[nodiscard]] const std::vector<ListedPort>& Ports() const { return m_ports; }
  [[nodiscard]] int Count() const { return static_cast<int>(m_ports.size()); }
  // PortOfIndex; nothing outside the list.
  [[nodiscard]] std::optional<int> PortOf(int index) const;
  // IndexOfPort; 0 for a port that is not listed (the first entry is then selected).
  [[nodiscard]] int IndexOf(int port) const;

 private:
  std::vector<ListedPort> m_ports;
  std::array<int, kLastListedPort + 1> m_indexOfPort{};
};

// True when the device at `path` exists (an open that fails for any reason but "no such file"
// counts as existing).
[[nodiscard]] bool PortDeviceExists(const std::string& path);

}  // namespace tavra::loader
