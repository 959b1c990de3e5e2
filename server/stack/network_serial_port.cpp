#include "server/stack/network_serial_port.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "server/stack/frame_parser.h"
#include "server/stack/line_timing.h"
#include "server/stack/receive_loop.h"
#include "server/stack/rfc2217_session.h"
#include "server/stack/tcp_connect.h"
#include "server/stack/telnet_codec.h"
#include "shared/com_port_map.h"

namespace tavra::stack {

namespace {

using Clock = LineClock;
using std::chrono::milliseconds;

constexpr milliseconds kConnectLimit{3000};
constexpr milliseconds kNegotiationLimit{3000};
constexpr milliseconds kBitRateAnswerLimit{2000};
constexpr milliseconds kTelnetAnswerLimit{500};
constexpr int kFirstBackoffMs = 200;
constexpr int kLastBackoffMs = 3200;

[[nodiscard]] Result ConnectFailure(const TcpConnectResult& connect) {
  if (connect.error == ECONNREFUSED) {
    return kPortInUse;
  }
  if (connect.unresolved || connect.error == EHOSTUNREACH || connect.error == ENETUNREACH ||
      connect.error == ETIMEDOUT || connect.error == EHOSTDOWN) {
    return kPortNotFound;
  }
  return kPortOpenError;
}

void LogConnectFailure(const std::string& name, const TcpConnectResult& connect) {
  if (connect.error == ECONNREFUSED) {
    std::fprintf(stderr,
                 "TavraLink: %s: connection refused: the device server's port is in use by "
                 "another client, or nothing listens there\n",
                 name.c_str());
  } else if (connect.unresolved) {
    std::fprintf(stderr, "TavraLink: %s: the host name has no address\n", name.c_str());
  } else {
    std::fprintf(stderr, "TavraLink: %s: device server unreachable: %s\n", name.c_str(),
                 std::strerror(connect.error));
  }
}

}  // namespace

// One TCP connection and its Telnet state.
class NetworkSerialPort::Connection {
 public:
  Connection(int fd, bool telnet) : m_fd(fd), m_telnet(telnet) {}
  ~Connection() { ::close(m_fd); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] int Fd() const { return m_fd; }
  [[nodiscard]] bool Telnet() const { return m_telnet; }

  // Sends all of `bytes` by deadline: 0, ETIMEDOUT or the socket's error.
  [[nodiscard]] int Send(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
    std::lock_guard sendLock(m_sendMutex);
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        return errno;
      }
      const int left = MillisecondsLeft(deadline);
      pollfd p{m_fd, POLLOUT, 0};
      const int rc = left > 0 ? ::poll(&p, 1, left) : 0;
      if (rc == 0) {
        return ETIMEDOUT;
      }
      if (rc < 0 && errno != EINTR) {
        return errno;
      }
    }
    return 0;
  }

  // Splits received bytes into data (appended) and Telnet commands (answered at once).
  void Take(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& data) {
    if (!m_telnet) {
      data.insert(data.end(), in.begin(), in.end());
      return;
    }
    std::vector<std::uint8_t> reply;
    {
      std::lock_guard lock(m_mutex);
      m_commands.clear();
      m_decoder.Feed(in, data, m_commands);
      for (const telnet::Command& command : m_commands) {
        m_session.OnCommand(command, reply);
      }
      m_changed.notify_all();
    }
    if (!reply.empty()) {
      (void)Send(reply, Clock::now() + kTelnetAnswerLimit);
    }
  }

  template <typename Function>
  auto WithSession(Function function) {
    std::lock_guard lock(m_mutex);
    return function(m_session);
  }

  // Waits until the server has answered SET-BAUDRATE more than `seen` times, or the
  // connection is lost: the rate of the answer, or nothing.
  std::optional<std::uint32_t> WaitBaudRateAnswer(std::uint64_t seen, Clock::time_point deadline) {
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_until(lock, deadline,
                              [&] { return m_lost || m_session.BaudRateAnswers() > seen; }) ||
        m_lost) {
      return std::nullopt;
    }
    return m_session.LastBaudRateAnswer();
  }

  void MarkLost() {
    std::lock_guard lock(m_mutex);
    m_lost = true;
    m_changed.notify_all();
  }

 private:
  const int m_fd;
  const bool m_telnet;
  std::mutex m_sendMutex;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  telnet::Decoder m_decoder;                // guarded by m_mutex
  std::vector<telnet::Command> m_commands;  // guarded by m_mutex
  Rfc2217Session m_session;                 // guarded by m_mutex
  bool m_lost = false;                      // guarded by m_mutex
};

NetworkSerialPort::NetworkSerialPort() = default;

NetworkSerialPort::~NetworkSerialPort() {
  Close();
}

Result NetworkSerialPort::Negotiate(Connection& connection, int bitRate, bool log) const {
  std::string name;
  {
    std::lock_guard lock(m_portMutex);
    name = m_name;
  }
  const auto deadline = Clock::now() + kNegotiationLimit;
  if (connection.Send(connection.WithSession([](Rfc2217Session& s) { return s.Start(); }),
                      deadline) != 0) {
    return kPortOpenError;
  }
  bool settingsSent = false;
  std::uint64_t answersBefore = 0;
  std::array<std::uint8_t, kReadChunk> buffer{};
  std::vector<std::uint8_t> discarded;
  for (;;) {
    const auto [accepted, refused, answers, rate] = connection.WithSession([](Rfc2217Session& s) {
      return std::make_tuple(s.ComPortAccepted(), s.ComPortRefused(), s.BaudRateAnswers(),
                             s.LastBaudRateAnswer());
    });
    if (refused) {
      if (log) {
        std::fprintf(stderr,
                     "TavraLink: %s: the server does not speak RFC 2217 (COM-PORT-OPTION "
                     "refused); a raw port is named tcp://\n",
                     name.c_str());
      }
      return kPortOpenError;
    }
    if (accepted && !settingsSent) {
      std::vector<std::uint8_t> settings;
      Rfc2217Session::AppendLineSettings(bitRate, settings);
      answersBefore = answers;
      settingsSent = true;
      if (connection.Send(settings, deadline) != 0) {
        return kPortOpenError;
      }
      continue;
    }
    if (settingsSent && answers > answersBefore) {
      if (rate != static_cast<std::uint32_t>(bitRate)) {
        if (log) {
          std::fprintf(stderr, "TavraLink: %s: the server set %u bit/s instead of %d\n",
                       name.c_str(), rate, bitRate);
        }
        return kPortOpenError;
      }
      return kOk;
    }
    const int left = MillisecondsLeft(deadline);
    std::array<pollfd, 2> fds{{{connection.Fd(), POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}}};
    const int rc = left > 0 ? ::poll(fds.data(), fds.size(), left) : 0;
    if (rc < 0 && errno == EINTR) {
      continue;
    }
    if (rc <= 0 || (fds[1].revents & POLLIN) != 0) {
      if (log && rc == 0) {
        std::fprintf(stderr, "TavraLink: %s: no RFC 2217 answer from the server within %lld ms\n",
                     name.c_str(), static_cast<long long>(kNegotiationLimit.count()));
      }
      return kPortOpenError;
    }
    const ssize_t n = ::recv(connection.Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    }
    if (n <= 0) {
      if (log) {
        std::fprintf(stderr,
                     "TavraLink: %s: the server closed the connection while the line was set "
                     "up (its port is in use, or its device could not be opened)\n",
                     name.c_str());
      }
      return kPortInUse;
    }
    discarded.clear();  // anything before the purge is stale
    connection.Take({buffer.data(), static_cast<std::size_t>(n)}, discarded);
  }
}

Result NetworkSerialPort::Connect(const NetworkPortUrl& url,
                                  int bitRate,
                                  bool log,
                                  std::shared_ptr<Connection>& out) const {
  std::string name;
  {
    std::lock_guard lock(m_portMutex);
    name = m_name;
  }
  const TcpConnectResult connect = ConnectTcp(url.host, url.port, kConnectLimit, m_wake.Fd());
  if (connect.fd < 0) {
    if (log && !connect.interrupted) {
      LogConnectFailure(name, connect);
    }
    return connect.interrupted ? kPortOpenError : ConnectFailure(connect);
  }
  const bool telnet = url.scheme == NetworkPortScheme::Rfc2217;
  auto connection = std::make_shared<Connection>(connect.fd, telnet);
  if (telnet) {
    if (const Result result = Negotiate(*connection, bitRate, log); result != kOk) {
      return result;
    }
  }
  out = std::move(connection);
  return kOk;
}

Result NetworkSerialPort::Open(int portNumber, int bitRate) {
  Close();
  if (m_wake.Ok()) {
    m_wake.Drain();  // the wake-up of Close must not end this connect
  }
  const std::optional<ComPortTarget> target = ResolveComPortTarget(portNumber);
  if (!target || !target->network) {
    std::fprintf(
        stderr, "TavraLink: %s: %s %s\n", ComPortName(portNumber).c_str(),
        target ? target->path.c_str() : "-",
        target && !target->problem.empty() ? target->problem.c_str() : "names no network port");
    return kPortNotFound;
  }
  const NetworkPortUrl url = *target->network;
  if (!IsLineRate(bitRate) || (url.scheme == NetworkPortScheme::RawTcp && bitRate != 9600)) {
    return kPortOpenError;
  }
  std::lock_guard config(m_configMutex);
  {
    std::lock_guard lock(m_portMutex);
    m_name = ComPortName(portNumber) + " (" + url.text + ")";
    m_url = url;
  }
  std::shared_ptr<Connection> connection;
  if (const Result result = Connect(url, bitRate, true, connection); result != kOk) {
    std::lock_guard lock(m_portMutex);
    m_url.reset();
    return result;
  }
  m_writesAborted.Reset();
  std::lock_guard lock(m_portMutex);
  m_connection = std::move(connection);
  m_bitRate = bitRate;
  m_backoffMs = kFirstBackoffMs;
  ++m_generation;
  m_connectionChanged.notify_all();
  InterruptReceive();
  return kOk;
}

void NetworkSerialPort::Close() {
  std::shared_ptr<Connection> old;
  {
    std::lock_guard lock(m_portMutex);
    old = std::move(m_connection);
    m_connection.reset();
    m_url.reset();
    ++m_generation;
    m_connectionChanged.notify_all();
  }
  if (old) {
    old->MarkLost();
  }
  InterruptReceive();
}

std::shared_ptr<NetworkSerialPort::Connection> NetworkSerialPort::CurrentDevice() const {
  std::lock_guard lock(m_portMutex);
  return m_connection;
}

bool NetworkSerialPort::IsConnected() const {
  return CurrentDevice() != nullptr;
}

bool NetworkSerialPort::WaitConnected(bool connected, milliseconds timeout) const {
  std::unique_lock lock(m_portMutex);
  return m_connectionChanged.wait_for(lock, timeout,
                                      [&] { return (m_connection != nullptr) == connected; });
}

int NetworkSerialPort::CurrentBitRate() const {
  std::lock_guard lock(m_portMutex);
  return m_bitRate;
}

int NetworkSerialPort::MaxBitRate() const {
  std::lock_guard lock(m_portMutex);
  return m_url && m_url->scheme == NetworkPortScheme::RawTcp ? 9600 : 115200;
}

Result NetworkSerialPort::SetBitRate(int bitRate) {
  if (!IsLineRate(bitRate) || bitRate > MaxBitRate()) {
    return EINVAL;
  }
  {
    std::lock_guard config(m_configMutex);
    std::lock_guard lock(m_portMutex);
    if (!m_url) {
      return EBADF;
    }
    if (m_bitRate == bitRate || !m_connection) {
      m_bitRate = bitRate;  // a lost connection comes back at this rate
      return kOk;
    }
  }
  // The pause starts once the last frame at the old rate has left the line.
  {
    std::lock_guard writeLock(m_writeMutex);
    if (const std::shared_ptr<Connection> connection = CurrentDevice()) {
      const auto now = Clock::now();
      (void)WaitOnLine(connection->Fd(), now, now + kDataFrameLimit, kWriteTimeout);
    }
  }
  (void)m_writesAborted.Wait(kBitRatePause);  // a time-out is the normal end
  std::lock_guard config(m_configMutex);
  return ConfirmBitRate(bitRate);
}

Result NetworkSerialPort::ConfirmBitRate(int bitRate) {
  const std::shared_ptr<Connection> connection = CurrentDevice();
  if (connection) {
    const std::uint64_t seen =
        connection->WithSession([](Rfc2217Session& s) { return s.BaudRateAnswers(); });
    std::vector<std::uint8_t> request;
    Rfc2217Session::AppendSetBaudRate(bitRate, request);
    const auto deadline = Clock::now() + kBitRateAnswerLimit;
    if (const int error = connection->Send(request, deadline); error != 0) {
      return error;
    }
    const std::optional<std::uint32_t> answer = connection->WaitBaudRateAnswer(seen, deadline);
    if (!answer) {
      return ETIMEDOUT;
    }
    if (*answer != static_cast<std::uint32_t>(bitRate)) {
      return EIO;
    }
  }
  std::lock_guard lock(m_portMutex);
  if (!m_url) {
    return EBADF;
  }
  m_bitRate = bitRate;
  return kOk;
}

Result NetworkSerialPort::WriteAll(std::span<const std::uint8_t> bytes,
                                   milliseconds limit,
                                   Result timeoutResult) {
  std::lock_guard writeLock(m_writeMutex);
  const std::shared_ptr<Connection> connection = CurrentDevice();
  if (!connection || m_writesAborted.IsSet()) {
    return kWriteFailed;
  }
  const auto start = Clock::now();
  const auto deadline = start + limit;
  const auto lineEnd = start + LineTime(bytes.size(), CurrentBitRate());
  std::vector<std::uint8_t> escaped;
  std::span<const std::uint8_t> wire = bytes;
  if (connection->Telnet()) {
    escaped.reserve(bytes.size() + 8);
    telnet::AppendEscaped(bytes, escaped);
    wire = escaped;
  }
  const int error = connection->Send(wire, deadline);
  if (error == ETIMEDOUT) {
    return timeoutResult;
  }
  if (error != 0) {
    DropDevice(connection);
    InterruptReceive();
    return kWriteFailed;
  }
  return WaitOnLine(connection->Fd(), lineEnd, deadline, timeoutResult);
}

Result NetworkSerialPort::WaitOnLine(int fd,
                                     Clock::time_point lineEnd,
                                     Clock::time_point deadline,
                                     Result timeoutResult) {
  const int bitRate = std::max(CurrentBitRate(), 1);
  for (;;) {
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0) {
      queued = 0;
    }
    const auto now = Clock::now();
    const LineWaitStep step = NextLineWait(queued, now, lineEnd, deadline, bitRate);
    if (step.kind != LineWaitStep::Kind::kWait) {
      return step.kind == LineWaitStep::Kind::kDone ? kOk : timeoutResult;
    }
    if (m_writesAborted.Wait(std::chrono::ceil<milliseconds>(step.until - now))) {
      return kWriteFailed;
    }
  }
}

void NetworkSerialPort::DropDevice(const std::shared_ptr<Connection>& connection) {
  {
    std::lock_guard lock(m_portMutex);
    if (m_connection != connection) {
      return;
    }
    m_connection.reset();
    m_connectionChanged.notify_all();
    std::fprintf(stderr, "TavraLink: %s: connection lost, connecting again\n", m_name.c_str());
  }
  connection->MarkLost();
  TellDeviceLost();
}

void NetworkSerialPort::TryReopen() {
  std::lock_guard config(m_configMutex);
  NetworkPortUrl url;
  int bitRate = 0;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(m_portMutex);
    if (!m_url || m_connection) {
      return;
    }
    url = *m_url;
    bitRate = m_bitRate;
    generation = m_generation;
  }
  std::shared_ptr<Connection> connection;
  if (Connect(url, bitRate, false, connection) != kOk) {
    m_backoffMs = std::min(m_backoffMs * 2, kLastBackoffMs);
    return;
  }
  std::string name;
  {
    std::lock_guard lock(m_portMutex);
    if (generation != m_generation) {
      return;
    }
    m_connection = std::move(connection);
    m_connectionChanged.notify_all();
    name = m_name;
  }
  m_backoffMs = kFirstBackoffMs;
  std::fprintf(stderr, "TavraLink: %s: connected again\n", name.c_str());
  TellDeviceBack();
}

int NetworkSerialPort::ReopenDelayMs() const {
  std::lock_guard lock(m_portMutex);
  return m_url ? m_backoffMs : -1;
}

bool NetworkSerialPort::ReadAvailable(Connection& connection, short events, ReceivePoller& poller) {
  const std::span<std::uint8_t> buffer = poller.Buffer();
  std::vector<std::uint8_t> data;
  bool gotData = false;
  bool ended = false;
  for (;;) {
    const ssize_t n = ::recv(connection.Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
      data.clear();
      connection.Take(buffer.first(static_cast<std::size_t>(n)), data);
      if (!data.empty()) {
        poller.Feed(data);
        gotData = true;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    // 0 bytes: the server closed the connection (after any data read before).
    ended = n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    break;
  }
  if (gotData) {
    poller.NoteActivity();
  }
  return !ended && (events & (POLLERR | POLLNVAL)) == 0;
}

Result NetworkSerialPort::ReceiveLoop(Event& stop, FrameParser& parser) {
  return RunReceiveLoop(stop, parser, m_wake, *this);
}

}  // namespace tavra::stack
