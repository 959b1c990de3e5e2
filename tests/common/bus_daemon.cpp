#include "bus_daemon.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <optional>

#include "tests/common/file_contents.h"
#include "tests/common/wait_until.h"

namespace tavra::test {

std::string BusDaemon::SocketAddress(const std::filesystem::path& folder) {
  return "unix:path=" + (folder / "bus").string();
}

BusDaemon::BusDaemon(const std::filesystem::path& folder, const Environment& environment) {
  // The daemon prints its address on descriptor 3 once it listens.
  m_daemon = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-daemon", "--session", "--nofork",
                               "--address=" + SocketAddress(folder), "--print-address=3"},
      environment, folder / "daemon.log", 3);
  const std::optional<std::string> address = m_daemon->ReadLine(kWait);
  if (!address || address->empty()) {
    ADD_FAILURE() << "dbus-daemon did not start: " << ReadFile(folder / "daemon.log");
    return;
  }
  m_address = *address;
}

BusDaemon::~BusDaemon() {
  m_daemon->Signal(SIGTERM);
  m_daemon->Wait(kWait);
}

}  // namespace tavra::test
