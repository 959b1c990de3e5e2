#pragma once
// A small host for the simulator tests: a SimulatedSerialPort with its own receive loop and
// frame parser, that sends frames, acknowledges the controller's frames (unless told not to)
// and lets a test wait, bounded, for acknowledgements and frames.
//
// Owns the port and its receiver thread (joined on destruction). A SimulatedController
// attached to Port() must be destroyed (or stopped) before the driver.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "server/stack/frame_parser.h"
#include "server/stack/simulated_serial_port.h"
#include "shared/sync_event.h"

namespace tavra::sim::test {

using namespace std::chrono_literals;

struct HostFrame {
  std::uint8_t sequence = 0;  // 0..31
  std::uint8_t destination = 0;
  std::uint8_t source = 0;
  std::vector<std::uint8_t> data;
};

class HostDriver final : private stack::IFrameSink {
 public:
  HostDriver();
  ~HostDriver() override;
  HostDriver(const HostDriver&) = delete;
  HostDriver& operator=(const HostDriver&) = delete;

  stack::SimulatedSerialPort& Port() { return m_port; }

  // Sends a data frame with the given sequence number (0..31).
  void Send(std::uint8_t sequence,
            std::uint8_t destination,
            std::uint8_t source,
            std::span<const std::uint8_t> data);
  // Sends with the next sequence number and returns the number used.
  std::uint8_t SendNext(std::uint8_t destination,
                        std::uint8_t source,
                        std::span<const std::uint8_t> data);
  void SendRaw(std::span<const std::uint8_t> bytes);

  // The next acknowledgement byte from the controller, or nullopt after the time-out.
  std::optional<std::uint8_t> WaitAck(std::chrono::milliseconds timeout = 2000ms);
  // The next new data frame from the controller (to any address), or nullopt.
  std::optional<HostFrame> WaitFrame(std::chrono::milliseconds timeout = 2000ms);
  // Sends with the next sequence number; the acknowledgement, or nullopt.
  std::optional<std::uint8_t> Exchange(std::uint8_t destination,
                                       std::uint8_t source,
                                       std::span<const std::uint8_t> data,
                                       std::chrono::milliseconds timeout = 2000ms);
  // Sends and waits for the acknowledgement (must be 0x40|seq) and then for one frame.
  std::optional<HostFrame> Request(std::uint8_t destination,
                                   std::uint8_t source,
                                   std::span<const std::uint8_t> data,
                                   std::chrono::milliseconds timeout = 2000ms);
  // Link management: sends the 5-byte request and returns the reply data.
  std::optional<std::vector<std::uint8_t>> Manage(std::uint8_t command,
                                                  std::uint8_t p1 = 0,
                                                  std::uint8_t p2 = 0,
                                                  std::uint8_t p3 = 0,
                                                  std::uint8_t p4 = 0);

  // While false the controller's frames are not acknowledged (they are still recorded).
  void SetAcknowledge(bool on);
  // Changes the host's rate at once (no 200 ms pause).
  void SetBitRate(int bitRate);
  // Every frame the controller sent that was recorded, repetitions included, in order.
  std::size_t FramesSeen();
  void ClearReceived();

 private:
  int LookupAddress(std::uint8_t address) override;
  void OnValidFrame() override {}
  void OnAcknowledgement(std::uint8_t ack, bool insideData) override;
  void OnAnswer(std::uint8_t answer) override;
  void OnLinkManagementReply(const stack::ReceivedFrame& frame) override;
  void OnDataFrame(int ownerKey, const stack::ReceivedFrame& frame) override;
  bool CountersEnabled() override { return true; }
  void Store(const stack::ReceivedFrame& frame);

  stack::SimulatedSerialPort m_port;
  stack::FrameParser m_parser;
  Event m_stop{Event::Mode::ManualReset};
  std::thread m_receiver;

  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::uint8_t> m_acks;
  std::deque<HostFrame> m_frames;
  std::size_t m_framesSeen = 0;
  bool m_acknowledge = true;
  std::uint8_t m_sequence = 0;
};

}  // namespace tavra::sim::test
