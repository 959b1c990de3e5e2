#pragma once
// Support for the proxy tests: a private session bus per test (its own dbus-daemon, with its own
// XDG folders and COM port folder, so tests never meet another suite's server), child programs
// with a bounded wait for their output and their end, and a callback object that records what
// arrives.
//
// Threads: TestBus and ChildProcess are used by the test's thread. RecordingCallback is called
// on the proxy's bus thread and read by the test's thread under its own mutex; its hook runs
// with no lock held.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/dbus_proxy/tavra_dbus_proxy.h"
#include "shared/callback_adapter.h"
#include "shared/tavra_interfaces.h"

namespace tavra::dbus::test {

using namespace std::chrono_literals;

inline constexpr auto kWait = 10s;  // every bounded wait of the tests

// A temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// Waits up to `timeout` for process `pid` (any process, not only a child) to end.
bool WaitProcessEnd(pid_t pid, std::chrono::milliseconds timeout);

// A started program with its standard output (or the descriptor `pipeFd`) on a pipe, read line
// by line with a bounded wait, and its standard error (and its standard output, when the pipe is
// another descriptor) in a file. The destructor kills it when it still runs and reaps it.
class ChildProcess {
 public:
  // `environment`: NAME=VALUE entries put over the test process's environment (an empty value
  // removes the name).
  ChildProcess(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& environment,
               const std::filesystem::path& stderrFile,
               int pipeFd = 1);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] bool Started() const { return m_pid > 0; }
  [[nodiscard]] pid_t Pid() const { return m_pid; }
  // The next line of standard output (without its line end), or nothing at the end of output
  // or on time-out.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Every line of standard output up to its end (at most `timeout`).
  std::vector<std::string> ReadAllLines(std::chrono::milliseconds timeout);
  // The exit code (-signal when killed by a signal), or nothing on time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  void Signal(int signal);

 private:
  pid_t m_pid = -1;
  int m_stdout = -1;
  bool m_reaped = false;
  int m_exitCode = -1;
  std::string m_buffer;
  bool m_eof = false;
};

struct ProgramOutcome {
  int exitCode = -1;
  std::vector<std::string> out;
  std::string err;
};

// A private session bus. The constructor points this process's environment at it
// (DBUS_SESSION_BUS_ADDRESS, XDG_DATA_HOME, XDG_DATA_DIRS, XDG_CONFIG_HOME, TAVRA_PORT_DIR,
// QT_QPA_PLATFORM=offscreen; TAVRALINK_PROGRAM removed), so that the daemon, the servers it or a
// proxy starts and the programs a test runs all use it. With `registered` the built tavralink
// first writes its activation file into this bus's XDG_DATA_HOME (--RegServer).
// The destructor ends the server that owns dk.norvik.TavraLink (SIGTERM, then SIGKILL) and the
// daemon.
class TestBus {
 public:
  // registered: `program --RegServer` writes the activation file before the bus starts.
  explicit TestBus(bool registered, const std::string& program = TAVRALINK_PATH);
  ~TestBus();
  TestBus(const TestBus&) = delete;
  TestBus& operator=(const TestBus&) = delete;

  [[nodiscard]] bool Ready() const { return !m_address.empty(); }
  [[nodiscard]] const std::string& Address() const { return m_address; }
  [[nodiscard]] std::filesystem::path PortDir() const { return m_dir.Path() / "ports"; }
  [[nodiscard]] std::filesystem::path ServiceFile() const;
  [[nodiscard]] const std::filesystem::path& Dir() const { return m_dir.Path(); }
  // Options for a proxy on this bus that may start the built tavralink.
  [[nodiscard]] ProxyOptions Options() const;

  // Calls of the bus itself.
  bool NameHasOwner(const std::string& name);
  std::string NameOwner(const std::string& name);
  pid_t ProcessOf(const std::string& name);  // 0 when it has no owner
  // Sends `signal` to the server and waits for its process to end.
  bool StopServer(int signal);

  // Runs a program to its end (bounded) with this bus's environment plus `environment`.
  ProgramOutcome Run(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& environment = {});

 private:
  TempDir m_dir;
  std::unique_ptr<ChildProcess> m_daemon;
  std::string m_address;
  std::string m_connectionName;
};

// One callback as it arrived: the method, its integer arguments in order (byte arguments
// included) and its data.
struct CallbackEvent {
  std::string method;
  std::vector<std::int32_t> values;
  std::vector<std::uint8_t> data;
  bool operator==(const CallbackEvent&) const = default;
};
std::ostream& operator<<(std::ostream& out, const CallbackEvent& event);

class RecordingCallback final : public CallbackAdapter {
 public:
  // Called after each event is recorded, on the callback's thread, with no lock held.
  using Hook = std::function<void(const CallbackEvent&)>;
  explicit RecordingCallback(Hook hook = nullptr) : m_hook(std::move(hook)) {}

  [[nodiscard]] std::vector<CallbackEvent> Events() const;
  [[nodiscard]] std::size_t Count() const;
  // The threads the callbacks ran on.
  [[nodiscard]] std::vector<std::thread::id> Threads() const;
  bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = kWait);
  // The first recorded event (from index `from` on) of `method` that `match` accepts.
  std::optional<CallbackEvent> WaitFor(const std::string& method,
                                       std::function<bool(const CallbackEvent&)> match = nullptr,
                                       std::chrono::milliseconds timeout = kWait,
                                       std::size_t from = 0);

 protected:
  HRESULT OnEvent(const tavra::CallbackEvent& event) override;

 private:
  Hook m_hook;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<CallbackEvent> m_events;
  std::vector<std::thread::id> m_threads;
};

// "0A 0B" <-> bytes, for the expectations.
std::vector<std::uint8_t> Bytes(std::initializer_list<int> values);

}  // namespace tavra::dbus::test
