#pragma once
// The serial port driver on a network serial port: COM<n> whose mapping entry is a file naming
// rfc2217://HOST:PORT (Telnet with COM-PORT-OPTION: the line settings are sent to the server,
// rate changes are confirmed by it, 0xFF is escaped both ways and the server's Telnet commands
// are taken out of the data) or tcp://HOST:PORT (raw bytes; the server's line settings are fixed,
// so MaxBitRate is 9600 and the link never asks the controller for more).
//
// Ownership: the port owns its connection (shared, so that a writer keeps the socket it started
// with while the receive loop replaces it) and an eventfd that wakes the receive loop and ends a
// connect in progress.
//
// Threads: as TermiosSerialPort. WriteDataFrame and WriteAckFrame from the transmitter thread
// (m_writeMutex), ReceiveLoop on the receiver thread, SetBitRate from the supervisor thread
// (m_configMutex; it waits for the server's answer, which the receive loop takes), Open and
// Close before and after those threads run. m_portMutex guards the connection pointer and the
// settings and is never held across a blocking call. A connection's own mutex guards its Telnet
// state; its send mutex keeps a Telnet answer of the receiver thread from splitting a frame.
//
// Writes end "on the line" as for the termios driver: the socket's send queue is empty
// (SIOCOUTQ: sent and acknowledged) and the bytes' line time at the current rate has passed.
//
// Hang-up: a connection that ends (read of 0 bytes, reset, a failed send) is a device that went
// away: the listener hears OnDeviceLost at once, and the receive loop connects again after a
// back-off of 200 ms doubling to 3.2 s (each wait ended early by InterruptReceive), then
// OnDeviceBack.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "server/stack/descriptor_serial_port.h"
#include "server/stack/wake_fd.h"
#include "shared/network_port_url.h"

namespace tavra::stack {

class ReceivePoller;

class NetworkSerialPort final : public DescriptorSerialPort {
 public:
  NetworkSerialPort();
  // Closes the connection and the wake-up descriptor. The receive loop must have ended.
  ~NetworkSerialPort() override;
  NetworkSerialPort(const NetworkSerialPort&) = delete;
  NetworkSerialPort& operator=(const NetworkSerialPort&) = delete;

  // kPortNotFound when COM<portNumber> names no network port (a bad file: logged), or the server
  // is unreachable (no address, no route, no answer within 3 s); kPortInUse when it refuses the
  // connection (busy with another client, or nothing listening) or closes it while the line is
  // being set up; kPortOpenError for the rest (a server without RFC 2217 on an rfc2217:// port,
  // no answer to the line settings). Each failure is logged with the URL.
  [[nodiscard]] Result Open(int portNumber, int bitRate) override;
  // rfc2217: after the bytes at the old rate are out and a 200 ms pause, SET-BAUDRATE; returns
  // when the server has answered (ETIMEDOUT after 2 s, EIO for another rate than asked).
  // tcp: 9600 only (EINVAL for others). EBADF when not open.
  [[nodiscard]] Result SetBitRate(int bitRate) override;
  void Close() override;
  Result ReceiveLoop(Event& stop, FrameParser& parser) override;
  [[nodiscard]] int CurrentBitRate() const override;
  [[nodiscard]] int MaxBitRate() const override;

  // Whether a connection is up now; waits (bounded) until it is `connected`.
  [[nodiscard]] bool IsConnected() const;
  bool WaitConnected(bool connected, std::chrono::milliseconds timeout) const;

 private:
  class Connection;

  // The connection is this port's device (as IDeviceListener says), also in these names.
  [[nodiscard]] std::shared_ptr<Connection> CurrentDevice() const;
  // Connects and sets the line up; logs failures when `log`.
  [[nodiscard]] Result Connect(const NetworkPortUrl& url,
                               int bitRate,
                               bool log,
                               std::shared_ptr<Connection>& out) const;
  [[nodiscard]] Result Negotiate(Connection& connection, int bitRate, bool log) const;
  void DropDevice(const std::shared_ptr<Connection>& connection);
  void TryReopen();
  // The rest of what the receive loop calls (receive_loop.h).
  template <typename Port>
  friend Result RunReceiveLoop(Event& stop, FrameParser& parser, const WakeFd& wake, Port& port);
  [[nodiscard]] int ReopenDelayMs() const;
  [[nodiscard]] bool ReadAvailable(Connection& connection, short events, ReceivePoller& poller);
  [[nodiscard]] Result WriteAll(std::span<const std::uint8_t> bytes,
                                std::chrono::milliseconds limit,
                                Result timeoutResult) override;
  [[nodiscard]] Result WaitOnLine(int fd,
                                  std::chrono::steady_clock::time_point lineEnd,
                                  std::chrono::steady_clock::time_point deadline,
                                  Result timeoutResult);
  [[nodiscard]] Result ConfirmBitRate(int bitRate);

  mutable std::mutex m_portMutex;
  mutable std::condition_variable m_connectionChanged;
  std::shared_ptr<Connection> m_connection;  // guarded by m_portMutex
  std::optional<NetworkPortUrl> m_url;       // guarded by m_portMutex; nothing when closed
  std::string m_name;                        // guarded by m_portMutex: "COM<n> (URL)"
  int m_bitRate = 9600;                      // guarded by m_portMutex
  std::uint64_t m_generation = 0;            // guarded by m_portMutex; +1 on Open and Close
  int m_backoffMs = 0;                       // receiver thread only

  std::mutex m_configMutex;
  std::mutex m_writeMutex;
};

}  // namespace tavra::stack
