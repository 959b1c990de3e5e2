#pragma once
// A session bus of its own: a dbus-daemon listening on a socket in a given folder, so that tests
// running side by side never share the server's well-known name. It does not touch this
// process's environment; its address is for the programs and connections a test points at it.
//
// Owner: the test (or a test helper) that made it; the destructor ends the daemon.
// Threads: the test's thread. No lock.

#include <filesystem>
#include <memory>
#include <string>

#include "tests/common/child_process.h"

namespace tavra::test {

class BusDaemon {
 public:
  // `folder`: where the socket (bus) and the daemon's log (daemon.log) go; it must outlive the
  // daemon and be short (socket paths are limited to 107 bytes). `environment`: put over this
  // process's for the daemon and the services it starts. A failure to start is a test failure,
  // and Ready() is false.
  explicit BusDaemon(const std::filesystem::path& folder, const Environment& environment = {});
  ~BusDaemon();
  BusDaemon(const BusDaemon&) = delete;
  BusDaemon& operator=(const BusDaemon&) = delete;

  [[nodiscard]] bool Ready() const { return !m_address.empty(); }
  // The address the daemon listens on, as DBUS_SESSION_BUS_ADDRESS takes it.
  [[nodiscard]] const std::string& Address() const { return m_address; }
  // Where the daemon will listen, known before it runs (for the programs started first).
  [[nodiscard]] static std::string SocketAddress(const std::filesystem::path& folder);

 private:
  std::unique_ptr<ChildProcess> m_daemon;
  std::string m_address;
};

}  // namespace tavra::test
