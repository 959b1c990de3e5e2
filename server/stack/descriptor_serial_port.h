#pragma once
// What the serial ports on a file descriptor (TermiosSerialPort and NetworkSerialPort) share:
// the eventfd that wakes their receive loop (receive_loop.h), the device listener, and the
// abort of writes that wait for their bytes to leave the line. Both frame writes go through the
// port's WriteAll.
//
// Owner: the port, as its base. Threads: the frame writes from the transmitter thread;
// InterruptReceive and AbortWrites from any thread; the listener is told on the receiver thread
// (a lost device also on the transmitter thread). No lock of its own: Event and WakeFd are safe
// from any thread, the listener is set before the threads start.

#include <chrono>
#include <cstdint>
#include <span>

#include "server/stack/serial_port.h"
#include "server/stack/wake_fd.h"

namespace tavra::stack {

class DescriptorSerialPort : public ISerialPort {
 public:
  DescriptorSerialPort(const DescriptorSerialPort&) = delete;
  DescriptorSerialPort& operator=(const DescriptorSerialPort&) = delete;

  [[nodiscard]] Result WriteDataFrame(std::span<const std::uint8_t> frame) final;
  [[nodiscard]] Result WriteAckFrame(std::uint8_t x) final;
  void AbortWrites() final;
  void SetDeviceListener(IDeviceListener* listener) final { m_listener = listener; }
  void InterruptReceive() final;

 protected:
  DescriptorSerialPort() = default;
  ~DescriptorSerialPort() override = default;

  // Puts bytes on the line within limit: 0, timeoutResult or kWriteFailed.
  [[nodiscard]] virtual Result WriteAll(std::span<const std::uint8_t> bytes,
                                        std::chrono::milliseconds limit,
                                        Result timeoutResult) = 0;
  void TellDeviceLost() const;
  void TellDeviceBack() const;

  WakeFd m_wake;                                    // wakes the receive loop
  Event m_writesAborted{Event::Mode::ManualReset};  // set by AbortWrites, reset by Open

 private:
  IDeviceListener* m_listener = nullptr;  // set before the threads start
};

}  // namespace tavra::stack
