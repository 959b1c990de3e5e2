#pragma once
// The serial port driver on a POSIX terminal device (a real UART, a USB adapter or a
// pseudo-terminal): COM<n> is resolved by ResolveComPort and opened exclusively (flock, then
// TIOCEXCL) with fixed line settings: 8N1 raw, CLOCAL | CREAD, no flow control, DTR and RTS
// inactive, HUPCL off, non-blocking reads.
//
// Ownership: the port owns the open device and an eventfd that wakes the receive loop. The
// device is held through a shared pointer, so a writer or SetBitRate keeps the descriptor it
// started with even while the receive loop replaces it after a hang-up.
//
// Threads: WriteDataFrame and WriteAckFrame from the transmitter thread (serialised by
// m_writeMutex in any case), ReceiveLoop on the receiver thread, SetBitRate from the supervisor
// thread; Open and Close before and after those threads run. InterruptReceive, CurrentBitRate,
// IsDeviceOpen and WaitDeviceOpen from any thread. m_deviceMutex guards only the pointer swap
// and is never held across a blocking call; m_configMutex orders line-setting changes against a
// reopen.
//
// Writes end on the line: after the bytes are queued, a write waits until the kernel's output
// queue is empty (TIOCOUTQ) and until the bytes' own line time (bytes x 10 / bit rate, from the
// start of the write) has passed, because neither a pseudo-terminal nor the FIFO of a USB
// adapter shows in that queue. Both waits are bounded by the write's limit.
//
// Hang-up: when the device goes away under the receive loop (pseudo-terminal master closed,
// USB adapter pulled: POLLHUP, a read of 0 bytes or EIO), the loop drops the device, and every
// 200 ms (woken early by InterruptReceive) tries to open the same path again with the same
// settings, lock and bit rate. Writes meanwhile fail with kWriteFailed. A write that gets EIO or
// ENXIO drops the device the same way. The device listener hears of both.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "server/stack/descriptor_serial_port.h"
#include "server/stack/wake_fd.h"

namespace tavra::stack {

class ReceivePoller;

class TermiosSerialPort final : public DescriptorSerialPort {
 public:
  TermiosSerialPort();
  // Closes the device and the wake-up descriptor. The receive loop must have ended.
  ~TermiosSerialPort() override;
  TermiosSerialPort(const TermiosSerialPort&) = delete;
  TermiosSerialPort& operator=(const TermiosSerialPort&) = delete;

  // kPortNotFound when COM<portNumber> has no device path or the path does not exist,
  // kPortInUse when another program holds it, kPortOpenError for anything else (permission
  // denied, with a hint about the dialout group on stderr; not a terminal; bad settings).
  [[nodiscard]] Result Open(int portNumber, int bitRate) override;
  // 9600, 19200, 38400, 57600 or 115200; EINVAL for other rates, EBADF when not open.
  [[nodiscard]] Result SetBitRate(int bitRate) override;
  void Close() override;
  // -1 when the wake-up descriptor could not be created.
  Result ReceiveLoop(Event& stop, FrameParser& parser) override;
  [[nodiscard]] int CurrentBitRate() const override;

  // The device path opened by the last successful Open ("" before).
  [[nodiscard]] std::string DevicePath() const;
  // Whether a device is open now (false while the loop waits for a lost device to return).
  [[nodiscard]] bool IsDeviceOpen() const;
  // Waits (bounded) until IsDeviceOpen() equals `open`.
  bool WaitDeviceOpen(bool open, std::chrono::milliseconds timeout) const;

 private:
  class Device;

  [[nodiscard]] std::shared_ptr<Device> CurrentDevice() const;
  // Opens, locks and configures path; result code as Open, errno of the failing step.
  [[nodiscard]] Result OpenDevice(const std::string& path,
                                  int bitRate,
                                  std::shared_ptr<Device>& out,
                                  int& systemError) const;
  // Forget a device that hung up (receiver or transmitter thread); try to get it back
  // (receiver thread).
  void DropDevice(const std::shared_ptr<Device>& device);
  void TryReopen();
  // The rest of what the receive loop calls (receive_loop.h).
  template <typename Port>
  friend Result RunReceiveLoop(Event& stop, FrameParser& parser, const WakeFd& wake, Port& port);
  [[nodiscard]] int ReopenDelayMs() const;
  [[nodiscard]] bool ReadAvailable(Device& device, short events, ReceivePoller& poller);
  [[nodiscard]] Result WriteAll(std::span<const std::uint8_t> bytes,
                                std::chrono::milliseconds limit,
                                Result timeoutResult) override;
  // Waits until fd's output queue is empty and lineEnd has passed, at most until deadline:
  // 0, timeoutResult (queue still full; flushed) or kWriteFailed (aborted).
  [[nodiscard]] Result WaitOnLine(int fd,
                                  std::chrono::steady_clock::time_point lineEnd,
                                  std::chrono::steady_clock::time_point deadline,
                                  Result timeoutResult);

  mutable std::mutex m_deviceMutex;
  mutable std::condition_variable m_deviceChanged;
  std::shared_ptr<Device> m_device;  // guarded by m_deviceMutex
  std::string m_path;                // guarded by m_deviceMutex; "" when closed
  int m_bitRate = 9600;              // guarded by m_deviceMutex
  std::uint64_t m_generation = 0;    // guarded by m_deviceMutex; +1 on every Open and Close

  std::mutex m_configMutex;
  std::mutex m_writeMutex;
};

}  // namespace tavra::stack
