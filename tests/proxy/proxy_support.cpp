#include "proxy_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>

extern char** environ;

namespace tavra::dbus::test {
namespace {

// QtDBus needs an application object; the tests never run its event loop.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "proxy_test";
    static char* argv[] = {name, nullptr};
    m_app = std::make_unique<QCoreApplication>(argc, argv);
  }
  void TearDown() override { m_app.reset(); }

 private:
  std::unique_ptr<QCoreApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TempDir::TempDir() {
  // Short: the bus socket lives here and socket paths are limited to 107 bytes.
  char pattern[] = "/tmp/tavra-proxy-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made != nullptr) {
    m_path = made;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!m_path.empty()) {
    std::filesystem::remove_all(m_path, ignored);
  }
}

bool WaitProcessEnd(pid_t pid, std::chrono::milliseconds timeout) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    return errno == ESRCH;  // already gone (and reaped)
  }
  pollfd p{fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  ::close(fd);
  return ready > 0;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& environment,
                           const std::filesystem::path& stderrFile,
                           int pipeFd) {
  int pipeFds[2] = {-1, -1};
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    return;
  }
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos) {
      merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  for (const auto& [name, value] : environment) {
    if (value.empty()) {
      merged.erase(name);
    } else {
      merged[name] = value;
    }
  }
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : merged) {
    envStrings.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& s : envStrings) {
    envp.push_back(s.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) {
    argp.push_back(s.data());
  }
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], pipeFd);
  posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  if (pipeFd != 1) {
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
  }
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return;
  }
  m_pid = pid;
  m_stdout = pipeFds[0];
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0 && !m_reaped) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
  if (m_stdout >= 0) {
    ::close(m_stdout);
  }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto newline = m_buffer.find('\n');
    if (newline != std::string::npos) {
      std::string line = m_buffer.substr(0, newline);
      m_buffer.erase(0, newline + 1);
      return line;
    }
    if (m_eof || m_stdout < 0) {
      if (m_buffer.empty()) {
        return std::nullopt;
      }
      std::string rest;
      rest.swap(m_buffer);
      return rest;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    pollfd p{m_stdout, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return std::nullopt;
    }
    char chunk[4096];
    const ssize_t n = ::read(m_stdout, chunk, sizeof chunk);
    if (n > 0) {
      m_buffer.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      m_eof = true;
    }
  }
}

std::vector<std::string> ChildProcess::ReadAllLines(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> lines;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    std::optional<std::string> line = ReadLine(std::max(left, std::chrono::milliseconds(0)));
    if (!line) {
      return lines;
    }
    lines.push_back(std::move(*line));
  }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (m_pid <= 0) {
    return std::nullopt;
  }
  if (!m_reaped) {
    if (!WaitProcessEnd(m_pid, timeout)) {
      return std::nullopt;
    }
    int status = 0;
    if (::waitpid(m_pid, &status, 0) != m_pid) {
      return std::nullopt;
    }
    m_reaped = true;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  return m_exitCode;
}

void ChildProcess::Signal(int signal) {
  if (m_pid > 0 && !m_reaped) {
    ::kill(m_pid, signal);
  }
}

TestBus::TestBus(bool registered, const std::string& program) {
  if (m_dir.Path().empty()) {
    return;
  }
  const std::filesystem::path dir = m_dir.Path();
  for (const char* sub : {"data", "nodata", "config", "ports"}) {
    std::filesystem::create_directories(dir / sub);
  }
  const std::string socket = "unix:path=" + (dir / "bus").string();
  ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  ::setenv("XDG_DATA_DIRS", (dir / "nodata").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  ::setenv("TAVRA_PORT_DIR", PortDir().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", socket.c_str(), 1);
  ::unsetenv("TAVRALINK_PROGRAM");
  ::unsetenv("DBUS_STARTER_ADDRESS");
  ::unsetenv("DBUS_STARTER_BUS_TYPE");

  if (registered) {
    const ProgramOutcome reg = Run({program, "--RegServer"});
    if (reg.exitCode != 0 || !std::filesystem::exists(ServiceFile())) {
      ADD_FAILURE() << "tavralink --RegServer: exit " << reg.exitCode << ": " << reg.err;
      return;
    }
  }

  // The daemon prints its address on standard output once it listens.
  m_daemon = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--address=" + socket,
                               "--print-address=3"},
      std::map<std::string, std::string>{}, dir / "daemon.log", 3);
  const std::optional<std::string> address = m_daemon->ReadLine(kWait);
  if (!address || address->empty()) {
    ADD_FAILURE() << "dbus-daemon did not start: " << ReadFile(dir / "daemon.log");
    return;
  }
  m_address = *address;
  ::setenv("DBUS_SESSION_BUS_ADDRESS", m_address.c_str(), 1);
  static std::atomic<int> counter{0};
  m_connectionName = "proxy-test-" + std::to_string(++counter);
  const QDBusConnection bus = QDBusConnection::connectToBus(
      QString::fromStdString(m_address), QString::fromStdString(m_connectionName));
  if (!bus.isConnected()) {
    ADD_FAILURE() << "cannot connect to the test bus";
    m_address.clear();
  }
}

TestBus::~TestBus() {
  if (!m_address.empty()) {
    const pid_t server = ProcessOf("dk.norvik.TavraLink");
    if (server > 0 && server != ::getpid()) {
      ::kill(server, SIGTERM);
      if (!WaitProcessEnd(server, kWait)) {
        ::kill(server, SIGKILL);
        WaitProcessEnd(server, kWait);
      }
    }
    QDBusConnection::disconnectFromBus(QString::fromStdString(m_connectionName));
  }
  if (m_daemon) {
    m_daemon->Signal(SIGTERM);
    m_daemon->Wait(kWait);
  }
}

std::filesystem::path TestBus::ServiceFile() const {
  return m_dir.Path() / "data" / "dbus-1" / "services" / "dk.norvik.TavraLink.service";
}

ProxyOptions TestBus::Options() const {
  ProxyOptions options;
  options.busAddress = m_address;
  options.program = TAVRALINK_PATH;
  return options;
}

namespace {

QDBusMessage CallBus(const std::string& connectionName,
                     const char* method,
                     const std::string& name) {
  QDBusMessage message = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QString::fromLatin1(method));
  message.setArguments({QString::fromStdString(name)});
  return QDBusConnection(QString::fromStdString(connectionName)).call(message, QDBus::Block);
}

}  // namespace

bool TestBus::NameHasOwner(const std::string& name) {
  const QDBusMessage reply = CallBus(m_connectionName, "NameHasOwner", name);
  return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
}

std::string TestBus::NameOwner(const std::string& name) {
  const QDBusMessage reply = CallBus(m_connectionName, "GetNameOwner", name);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    return {};
  }
  return reply.arguments().value(0).toString().toStdString();
}

pid_t TestBus::ProcessOf(const std::string& name) {
  const QDBusMessage reply = CallBus(m_connectionName, "GetConnectionUnixProcessID", name);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    return 0;
  }
  return static_cast<pid_t>(reply.arguments().value(0).toUInt());
}

bool TestBus::StopServer(int signal) {
  const pid_t server = ProcessOf("dk.norvik.TavraLink");
  if (server <= 0 || server == ::getpid()) {
    return false;
  }
  ::kill(server, signal);
  return WaitProcessEnd(server, kWait);
}

ProgramOutcome TestBus::Run(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& environment) {
  const std::filesystem::path errFile = m_dir.Path() / "run-stderr";
  std::error_code ignored;
  std::filesystem::remove(errFile, ignored);
  ProgramOutcome outcome;
  ChildProcess child(argv, environment, errFile);
  if (!child.Started()) {
    ADD_FAILURE() << "cannot start " << argv.front();
    return outcome;
  }
  outcome.out = child.ReadAllLines(std::chrono::milliseconds(30s));
  outcome.exitCode = child.Wait(std::chrono::milliseconds(30s)).value_or(-1000);
  outcome.err = ReadFile(errFile);
  return outcome;
}

std::ostream& operator<<(std::ostream& out, const CallbackEvent& event) {
  out << event.method << "(";
  for (std::size_t i = 0; i < event.values.size(); ++i) {
    out << (i == 0 ? "" : ", ") << event.values[i];
  }
  out << ") [";
  for (std::size_t i = 0; i < event.data.size(); ++i) {
    out << (i == 0 ? "" : " ") << std::hex << std::setw(2) << std::setfill('0')
        << static_cast<int>(event.data[i]) << std::dec;
  }
  return out << "]";
}

std::vector<CallbackEvent> RecordingCallback::Events() const {
  std::lock_guard lock(m_mutex);
  return m_events;
}

std::size_t RecordingCallback::Count() const {
  std::lock_guard lock(m_mutex);
  return m_events.size();
}

std::vector<std::thread::id> RecordingCallback::Threads() const {
  std::lock_guard lock(m_mutex);
  return m_threads;
}

bool RecordingCallback::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, timeout, [&] { return m_events.size() >= count; });
}

std::optional<CallbackEvent> RecordingCallback::WaitFor(
    const std::string& method,
    std::function<bool(const CallbackEvent&)> match,
    std::chrono::milliseconds timeout,
    std::size_t from) {
  std::unique_lock lock(m_mutex);
  std::optional<CallbackEvent> found;
  m_cv.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < m_events.size(); ++i) {
      if (m_events[i].method == method && (!match || match(m_events[i]))) {
        found = m_events[i];
        return true;
      }
    }
    return false;
  });
  return found;
}

HRESULT RecordingCallback::OnEvent(const tavra::CallbackEvent& received) {
  const std::span<const std::int32_t> values = received.Values();
  const std::span<const std::uint8_t> data = received.Data();
  const CallbackEvent event{
      std::string(received.Name()), {values.begin(), values.end()}, {data.begin(), data.end()}};
  {
    std::lock_guard lock(m_mutex);
    m_events.push_back(event);
    if (m_threads.empty() || m_threads.back() != std::this_thread::get_id()) {
      m_threads.push_back(std::this_thread::get_id());
    }
  }
  m_cv.notify_all();
  if (m_hook) {
    m_hook(event);
  }
  return S_OK;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (const int v : values) {
    bytes.push_back(static_cast<std::uint8_t>(v));
  }
  return bytes;
}

}  // namespace tavra::dbus::test
