#include "tools/tavractl/tavractl_commands.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "client/dbus_proxy/tavra_dbus_proxy.h"
#include "shared/link_status_block.h"
#include "tools/tavractl/client_callback.h"
#include "tools/tavractl/tavractl_text.h"

namespace tavra::tavractl {
namespace {

constexpr std::int32_t kRequestId = 1;

void PrintHelp(std::ostream& out) {
  out << "Usage: tavractl COMMAND [ARGUMENTS]\n"
         "Looks at and talks to the controllers that TavraLink serves.\n"
         "\n"
         "Commands:\n"
         "  status                 the COM ports in use: link, controller type and version,\n"
         "                         clients (does not start TavraLink)\n"
         "  status PORT            one port, with the counters of its link\n"
         "  watch PORT             registers as a client of the port and prints every\n"
         "                         indication as it arrives, until Ctrl+C (SIGINT) or SIGTERM\n"
         "  send PORT RXID HEX     sends HEX as a datagram to controller entity RXID and prints\n"
         "                         the result of its Data_Confirm\n"
         "  request PORT RXID HEX  sends HEX as a request that entity RXID answers, and prints\n"
         "                         the answer (or the result of the Data_Confirm)\n"
         "\n"
         "PORT is the COM port number 0..9, RXID the entity number 0..223 (decimal or 0x..),\n"
         "HEX the bytes as pairs of hex digits: 0102ff, \"01 02 ff\" or 01:02:ff.\n"
         "send and request start TavraLink when it is not running and wait at most 10 s for\n"
         "the link and 10 s for the confirm.\n"
         "\n"
         "Options:\n"
         "  -h, --help             show this help and exit\n"
         "\n"
         "Exit status: 0 success, 1 the command failed, 2 wrong usage.\n";
}

int UsageError(std::ostream& err, const std::string& message) {
  err << "tavractl: " << message << "\nTry 'tavractl --help'.\n";
  return kExitUsage;
}

// A failed call: its result by name, and for a call that failed on the bus the D-Bus error.
std::string FailureText(HRESULT code) {
  if (code != dbus::kCallFailed) {
    return ResultText(code);
  }
  const dbus::CallStatus status = dbus::LastCallStatus();
  return "the call failed on the bus (" + status.errorName + ": " + status.errorMessage + ")";
}

int Failed(std::ostream& err, const std::string& message) {
  err << "tavractl: " << message << "\n";
  return kExitFailed;
}

std::shared_ptr<dbus::TavraPoolProxy> Connect(bool start, std::ostream& out, std::ostream& err) {
  dbus::ProxyOptions options;
  options.startServer = start;
  std::shared_ptr<dbus::TavraPoolProxy> pool;
  std::string error;
  if (dbus::ConnectTavraPool(options, pool, &error) != S_OK) {
    if (!start && error == dbus::kNotRunningText) {
      out << "TavraLink is not running.\n";
    } else {
      err << "tavractl: cannot reach TavraLink: " << error << "\n";
    }
    return nullptr;
  }
  return pool;
}

// A client registered on one port for the length of a command; removed at the end.
class PortClient {
 public:
  PortClient(std::shared_ptr<dbus::TavraPoolProxy> pool,
             int port,
             std::shared_ptr<ClientCallback> callback)
      : m_pool(std::move(pool)), m_port(port), m_callback(std::move(callback)) {}
  ~PortClient() {
    if (m_registered) {
      (void)m_tavra->Client_Remove(m_client);
    }
  }
  PortClient(const PortClient&) = delete;
  PortClient& operator=(const PortClient&) = delete;

  // Obtains the port's controller object and registers; false after telling `err` why.
  bool Register(std::ostream& err) {
    const HRESULT opened = m_pool->GetTavraInterface(m_port, 0, m_tavra);
    if (opened != S_OK) {
      Failed(err, PortName(m_port) + ": " + FailureText(opened));
      return false;
    }
    const HRESULT added = m_tavra->Client_Add(m_callback, m_client);
    if (added != S_OK) {
      Failed(err, PortName(m_port) + ": Client_Add: " + FailureText(added));
      return false;
    }
    m_registered = true;
    return true;
  }

  [[nodiscard]] ITavra& Tavra() { return *m_tavra; }
  [[nodiscard]] std::int32_t Client() const { return m_client; }

 private:
  std::shared_ptr<dbus::TavraPoolProxy> m_pool;
  const int m_port;
  std::shared_ptr<ClientCallback> m_callback;
  std::shared_ptr<ITavra> m_tavra;
  std::int32_t m_client = 0;
  bool m_registered = false;
};

int RunStatus(std::ostream& out, std::ostream& err) {
  const std::shared_ptr<dbus::TavraPoolProxy> pool = Connect(false, out, err);
  if (!pool) {
    return kExitFailed;
  }
  std::vector<dbus::PortStatus> ports;
  const HRESULT result = pool->GetPortTable(ports);
  if (result != S_OK) {
    return Failed(err, "GetPortTable: " + FailureText(result));
  }
  bool any = false;
  for (const dbus::PortStatus& port : ports) {
    if (port.inUse) {
      if (!any) {
        out << PortTableHeader() << "\n";
        any = true;
      }
      out << PortTableLine(port) << "\n";
    }
  }
  if (!any) {
    out << "No COM port is in use.\n";
  }
  return kExitOk;
}

int RunStatusPort(int port, std::ostream& out, std::ostream& err) {
  const std::shared_ptr<dbus::TavraPoolProxy> pool = Connect(false, out, err);
  if (!pool) {
    return kExitFailed;
  }
  std::vector<dbus::PortStatus> ports;
  const HRESULT result = pool->GetPortTable(ports);
  if (result != S_OK) {
    return Failed(err, "GetPortTable: " + FailureText(result));
  }
  const dbus::PortStatus& row = ports.at(static_cast<std::size_t>(port));
  if (!row.inUse) {
    // Asking for its controller object would open the port: report and stop here.
    out << PortName(port) << ": not in use\n";
    return kExitOk;
  }
  out << PortName(port) << ": in use, link " << (row.linkUp ? "up" : "down") << ", "
      << row.clientCount << (row.clientCount == 1 ? " client" : " clients") << "\n";
  if (row.linkUp) {
    out << "Controller: " << ControllerText(row.identity) << " (identity "
        << HexBytes(row.identity.bytes) << ")\n";
  }
  PortClient client(pool, port, std::make_shared<ClientCallback>());
  if (!client.Register(err)) {
    return kExitFailed;
  }
  std::int32_t value = 0;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  const HRESULT block = client.Tavra().Management_Request(client.Client(), LINK_STATUS_BLOCK, value,
                                                          type, size, data);
  if (block != S_OK) {
    return Failed(err, PortName(port) + ": LINK_STATUS_BLOCK: " + FailureText(block));
  }
  const std::optional<LinkStatusBlock> decoded = LinkStatusBlock::Decode(data);
  if (!decoded) {
    return Failed(err, PortName(port) + ": LINK_STATUS_BLOCK gave " + std::to_string(data.size()) +
                           " bytes, not 72");
  }
  out << "Link status block:\n";
  for (const std::string& line : LinkStatusLines(*decoded)) {
    out << line << "\n";
  }
  return kExitOk;
}

int RunTransfer(int port,
                int rxId,
                const std::vector<std::uint8_t>& bytes,
                bool answer,
                std::ostream& out,
                std::ostream& err) {
  const std::shared_ptr<dbus::TavraPoolProxy> pool = Connect(true, out, err);
  if (!pool) {
    return kExitFailed;
  }
  auto callback = std::make_shared<ClientCallback>();
  PortClient client(pool, port, callback);
  if (!client.Register(err)) {
    return kExitFailed;
  }
  if (!callback->WaitForLink(kWait)) {
    return Failed(err, PortName(port) + ": no link to the controller within " +
                           std::to_string(kWait.count()) + " s");
  }
  const HRESULT sent =
      client.Tavra().Data_Request(client.Client(), rxId, static_cast<std::int32_t>(bytes.size()),
                                  bytes.data(), answer ? 1 : 0, kRequestId);
  if (sent != S_OK) {
    return Failed(err, "Data_Request: " + FailureText(sent));
  }
  const std::optional<DataConfirm> confirm = callback->WaitForConfirm(kRequestId, kWait);
  if (!confirm) {
    return Failed(err, "no Data_Confirm within " + std::to_string(kWait.count()) + " s");
  }
  if (answer && confirm->result == S_OK) {
    out << "Answer:" << (confirm->data.empty() ? "" : " ") << HexBytes(confirm->data) << "\n";
    return kExitOk;
  }
  out << "Data_Confirm: " << ResultText(confirm->result) << "\n";
  return confirm->result == S_OK ? kExitOk : kExitFailed;
}

int RunWatch(int port, std::ostream& out, std::ostream& err) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  const int signals = ::signalfd(-1, &stops, SFD_CLOEXEC);
  const int gone = ::eventfd(0, EFD_CLOEXEC);
  struct Closer {
    int a, b;
    ~Closer() {
      if (a >= 0) {
        ::close(a);
      }
      if (b >= 0) {
        ::close(b);
      }
    }
  } closer{signals, gone};
  if (signals < 0 || gone < 0) {
    return Failed(err, "cannot wait for signals");
  }

  const std::shared_ptr<dbus::TavraPoolProxy> pool = Connect(true, out, err);
  if (!pool) {
    return kExitFailed;
  }
  // The lines of the callbacks and of this thread, one at a time; none after "Stopped.".
  struct Lines {
    std::mutex mutex;
    bool stopped = false;
  };
  auto lines = std::make_shared<Lines>();
  auto callback = std::make_shared<ClientCallback>([&out, lines](const std::string& line) {
    std::lock_guard lock(lines->mutex);
    if (!lines->stopped) {
      out << line << "\n" << std::flush;
    }
  });
  PortClient client(pool, port, callback);
  {
    // The first callbacks (the link state) come while this runs: they wait for the lock, so
    // that the first line says who is watching.
    std::lock_guard lock(lines->mutex);
    if (!client.Register(err)) {
      return kExitFailed;
    }
    std::string address = "unknown";
    std::int32_t value = 0;
    std::int32_t type = 0;
    std::int32_t size = 0;
    std::vector<std::uint8_t> data;
    if (client.Tavra().Management_Request(client.Client(), CLIENT_ADDRESS, value, type, size,
                                          data) == S_OK &&
        data.size() == 4) {
      char text[8];
      std::snprintf(text, sizeof text, "0x%02X", (data[0] + 32) & 0xFF);
      address = text;
    }
    out << "Watching " << PortName(port) << " as client " << client.Client() << " (link address "
        << address << "); Ctrl+C ends.\n"
        << std::flush;
  }
  pool->SetServerGoneHandler([gone] {
    const std::uint64_t one = 1;
    (void)!::write(gone, &one, sizeof one);
  });

  pollfd fds[2] = {{signals, POLLIN, 0}, {gone, POLLIN, 0}};
  int ready = 0;
  do {
    ready = ::poll(fds, 2, -1);
  } while (ready < 0 && errno == EINTR);
  std::lock_guard lock(lines->mutex);
  lines->stopped = true;
  if ((fds[1].revents & POLLIN) != 0) {
    return Failed(err, "TavraLink ended");
  }
  out << "Stopped.\n" << std::flush;
  return kExitOk;
}

}  // namespace

bool IsWatch(const std::vector<std::string>& args) {
  return !args.empty() && args.front() == "watch";
}

void BlockStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

int RunTavractl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") {
      PrintHelp(out);
      return kExitOk;
    }
  }
  if (args.empty()) {
    return UsageError(err, "no command given");
  }
  for (const std::string& arg : args) {
    if (arg.size() > 1 && arg.front() == '-') {
      return UsageError(err, "unknown option '" + arg + "'");
    }
  }
  const std::string& command = args.front();
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "help") {
    PrintHelp(out);
    return kExitOk;
  }

  std::optional<int> port;
  if (!rest.empty()) {
    port = ParseNumber(rest[0], 0, 9);
    if (!port) {
      return UsageError(err, "'" + rest[0] + "' is not a COM port number 0..9");
    }
  }
  if (command == "status") {
    if (rest.size() > 1) {
      return UsageError(err, "status takes at most one argument: PORT");
    }
    return port ? RunStatusPort(*port, out, err) : RunStatus(out, err);
  }
  if (command == "watch") {
    if (rest.size() != 1) {
      return UsageError(err, "watch takes one argument: PORT");
    }
    return RunWatch(*port, out, err);
  }
  if (command == "send" || command == "request") {
    if (rest.size() != 3) {
      return UsageError(err, command + " takes three arguments: PORT RXID HEX");
    }
    const std::optional<int> rxId = ParseNumber(rest[1], 0, 0xDF);
    if (!rxId) {
      return UsageError(err, "'" + rest[1] + "' is not an entity number 0..223");
    }
    const std::optional<std::vector<std::uint8_t>> bytes = ParseHex(rest[2]);
    if (!bytes) {
      return UsageError(err, "'" + rest[2] + "' is not bytes in hex digits");
    }
    return RunTransfer(*port, *rxId, *bytes, command == "request", out, err);
  }
  return UsageError(err, "unknown command '" + command + "'");
}

}  // namespace tavra::tavractl
