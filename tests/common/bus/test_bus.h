#pragma once
// A private session bus per test: its own dbus-daemon, with its own XDG folders and COM port
// folder, so that tests never meet another suite's server. The constructor points this
// process's environment at it (DBUS_SESSION_BUS_ADDRESS, XDG_DATA_HOME, XDG_DATA_DIRS,
// XDG_CONFIG_HOME, TAVRA_PORT_DIR, QT_QPA_PLATFORM=offscreen; TAVRALINK_PROGRAM removed), so
// that the daemon, the servers it or a proxy starts and the programs a test runs all use it.
// The destructor ends the server that owns dk.norvik.TavraLink (SIGTERM, then SIGKILL) and the
// daemon; the environment is left as it is (the next bus sets it again).
//
// Owner: the test that made it. Threads: the test's thread; the calls of the bus itself go
// through a QtDBus connection of its own. No lock. Linking this library gives the test program
// a QCoreApplication for the whole run (QtDBus needs one).

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/bus_daemon.h"
#include "tests/common/child_process.h"
#include "tests/common/temp_dir.h"

namespace tavra::test {

class TestBus {
 public:
  // registered: the built tavralink first writes its activation file into this bus's
  // XDG_DATA_HOME (--RegServer).
  explicit TestBus(bool registered);
  // The same with another program to register (one that behaves like tavralink or not).
  TestBus(bool registered, const std::string& program);
  ~TestBus();
  TestBus(const TestBus&) = delete;
  TestBus& operator=(const TestBus&) = delete;

  [[nodiscard]] bool Ready() const { return !m_address.empty(); }
  [[nodiscard]] const std::string& Address() const { return m_address; }
  [[nodiscard]] const std::filesystem::path& Dir() const { return m_dir.Path(); }
  // The COM port folder this bus's programs use (TAVRA_PORT_DIR).
  [[nodiscard]] std::filesystem::path PortFolder() const { return m_dir / "ports"; }
  [[nodiscard]] std::filesystem::path ServiceFile() const;

  // Calls of the bus itself.
  bool NameHasOwner(const std::string& name);
  std::string NameOwner(const std::string& name);
  pid_t ProcessOf(const std::string& name);  // 0 when it has no owner
  // Sends `signal` to the server and waits for its process to end.
  bool StopServer(int signal);

  // Runs a program to its end (bounded) with this bus's environment plus `environment`.
  ProgramOutcome Run(const std::vector<std::string>& argv, const Environment& environment = {});

 private:
  void PointEnvironmentHere();
  bool Register(const std::string& program);
  bool Connect();

  TempDir m_dir{"tavra-bus"};
  std::unique_ptr<BusDaemon> m_daemon;
  std::string m_address;  // empty until connected
  std::string m_connectionName;
};

}  // namespace tavra::test
