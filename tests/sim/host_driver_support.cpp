#include "host_driver_support.h"

#include "server/stack/frame_codec.h"

namespace tavra::sim::test {

HostDriver::HostDriver() : m_parser(*this) {
  (void)m_port.Open(1, 9600);
  m_port.SetSkipBitRatePause(true);
  m_receiver = std::thread([this] { (void)m_port.ReceiveLoop(m_stop, m_parser); });
}

HostDriver::~HostDriver() {
  m_stop.Set();
  m_port.InterruptReceive();
  m_receiver.join();
  m_port.Close();
}

void HostDriver::Send(std::uint8_t sequence,
                      std::uint8_t destination,
                      std::uint8_t source,
                      std::span<const std::uint8_t> data) {
  const std::vector<std::uint8_t> frame =
      stack::EncodeDataFrame(sequence, destination, source, data);
  (void)m_port.WriteDataFrame(frame);
}

std::uint8_t HostDriver::SendNext(std::uint8_t destination,
                                  std::uint8_t source,
                                  std::span<const std::uint8_t> data) {
  std::uint8_t sequence = 0;
  {
    std::lock_guard lock(m_mutex);
    m_sequence = static_cast<std::uint8_t>((m_sequence + 1) & 0x1F);
    sequence = m_sequence;
  }
  Send(sequence, destination, source, data);
  return sequence;
}

void HostDriver::SendRaw(std::span<const std::uint8_t> bytes) {
  (void)m_port.WriteDataFrame(bytes);
}

std::optional<std::uint8_t> HostDriver::WaitAck(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  if (!m_cv.wait_for(lock, timeout, [this] { return !m_acks.empty(); })) {
    return std::nullopt;
  }
  const std::uint8_t ack = m_acks.front();
  m_acks.pop_front();
  return ack;
}

std::optional<HostFrame> HostDriver::WaitFrame(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  if (!m_cv.wait_for(lock, timeout, [this] { return !m_frames.empty(); })) {
    return std::nullopt;
  }
  HostFrame frame = std::move(m_frames.front());
  m_frames.pop_front();
  return frame;
}

std::optional<std::uint8_t> HostDriver::Exchange(std::uint8_t destination,
                                                 std::uint8_t source,
                                                 std::span<const std::uint8_t> data,
                                                 std::chrono::milliseconds timeout) {
  SendNext(destination, source, data);
  return WaitAck(timeout);
}

std::optional<HostFrame> HostDriver::Request(std::uint8_t destination,
                                             std::uint8_t source,
                                             std::span<const std::uint8_t> data,
                                             std::chrono::milliseconds timeout) {
  const std::uint8_t sequence = SendNext(destination, source, data);
  const std::optional<std::uint8_t> ack = WaitAck(timeout);
  if (!ack || *ack != (stack::kAckAccepted | sequence)) {
    return std::nullopt;
  }
  return WaitFrame(timeout);
}

std::optional<std::vector<std::uint8_t>> HostDriver::Manage(
    std::uint8_t command, std::uint8_t p1, std::uint8_t p2, std::uint8_t p3, std::uint8_t p4) {
  const std::vector<std::uint8_t> request{command, p1, p2, p3, p4};
  std::optional<HostFrame> reply = Request(0x20, 0x20, request);
  if (!reply || reply->destination != 0x20) {
    return std::nullopt;
  }
  return reply->data;
}

void HostDriver::SetAcknowledge(bool on) {
  std::lock_guard lock(m_mutex);
  m_acknowledge = on;
}

void HostDriver::SetBitRate(int bitRate) {
  (void)m_port.SetBitRate(bitRate);
}

std::size_t HostDriver::FramesSeen() {
  std::lock_guard lock(m_mutex);
  return m_framesSeen;
}

void HostDriver::ClearReceived() {
  std::lock_guard lock(m_mutex);
  m_acks.clear();
  m_frames.clear();
}

int HostDriver::LookupAddress(std::uint8_t address) {
  // The host owns link management, its transport layer and a few client addresses.
  if (address == 0x20 || address == 0x21 || (address >= 0x40 && address <= 0x4F)) {
    return address;
  }
  return -1;
}

void HostDriver::OnAcknowledgement(std::uint8_t ack, bool /*insideData*/) {
  std::lock_guard lock(m_mutex);
  m_acks.push_back(ack);
  m_cv.notify_all();
}

void HostDriver::OnAnswer(std::uint8_t answer) {
  bool acknowledge = false;
  {
    std::lock_guard lock(m_mutex);
    ++m_framesSeen;
    acknowledge = m_acknowledge;
    m_cv.notify_all();
  }
  if (acknowledge) {
    (void)m_port.WriteAckFrame(answer);
  }
}

void HostDriver::OnLinkManagementReply(const stack::ReceivedFrame& frame) {
  Store(frame);
}

void HostDriver::OnDataFrame(int /*ownerKey*/, const stack::ReceivedFrame& frame) {
  Store(frame);
}

void HostDriver::Store(const stack::ReceivedFrame& frame) {
  const std::span<const std::uint8_t> data = frame.Data();
  std::lock_guard lock(m_mutex);
  m_frames.push_back(HostFrame{static_cast<std::uint8_t>(frame.sequence & 0x1F), frame.destination,
                               frame.source, std::vector<std::uint8_t>(data.begin(), data.end())});
  m_cv.notify_all();
}

}  // namespace tavra::sim::test
