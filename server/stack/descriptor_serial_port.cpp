#include "server/stack/descriptor_serial_port.h"

#include "server/stack/frame_codec.h"
#include "server/stack/line_timing.h"

namespace tavra::stack {

Result DescriptorSerialPort::WriteDataFrame(std::span<const std::uint8_t> frame) {
  return WriteAll(frame, kDataFrameLimit, kWriteTimeout);
}

Result DescriptorSerialPort::WriteAckFrame(std::uint8_t x) {
  const auto frame = EncodeAckFrame(x);
  return WriteAll(frame, kAckFrameLimit, kWriteFailed);
}

void DescriptorSerialPort::AbortWrites() {
  m_writesAborted.Set();
}

void DescriptorSerialPort::InterruptReceive() {
  m_wake.Signal();
}

void DescriptorSerialPort::TellDeviceLost() const {
  if (m_listener != nullptr) {
    m_listener->OnDeviceLost();
  }
}

void DescriptorSerialPort::TellDeviceBack() const {
  if (m_listener != nullptr) {
    m_listener->OnDeviceBack();
  }
}

}  // namespace tavra::stack
