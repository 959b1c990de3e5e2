#pragma once
// An in-process serial port with the same interface as the termios driver, so that the layers
// above are tested deterministically without a device. The "far end" (a test, or the
// in-process controller simulator) sees every byte the host writes and injects bytes that the
// host's receive loop then hands to its parser.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "server/stack/serial_port.h"

namespace tavra::stack {

class SimulatedSerialPort final : public ISerialPort {
 public:
  // Called with the bytes of every completed write (a whole data frame or acknowledgement
  // frame) and the bit rate in force, on the writing thread. It may call InjectReceived.
  using FarEnd = std::function<void(std::span<const std::uint8_t> bytes, int bitRate)>;

  SimulatedSerialPort();
  ~SimulatedSerialPort() override;
  SimulatedSerialPort(const SimulatedSerialPort&) = delete;
  SimulatedSerialPort& operator=(const SimulatedSerialPort&) = delete;

  // --- ISerialPort ---
  [[nodiscard]] Result Open(int portNumber, int bitRate) override;
  [[nodiscard]] Result SetBitRate(int bitRate) override;
  [[nodiscard]] Result WriteDataFrame(std::span<const std::uint8_t> frame) override;
  [[nodiscard]] Result WriteAckFrame(std::uint8_t x) override;
  void Close() override;
  Result ReceiveLoop(Event& stop, FrameParser& parser) override;
  void InterruptReceive() override;
  [[nodiscard]] int CurrentBitRate() const override;

  // --- far end and test controls (any thread) ---
  void SetFarEnd(FarEnd farEnd);
  // Queues bytes for the host's receive loop, in order.
  void InjectReceived(std::span<const std::uint8_t> bytes);
  // The receive loop sees a pause of 100 ms or more at this point of the stream (parser reset).
  void InjectPause();
  // The result of the next Open (default 0).
  void SetOpenResult(Result result);
  // While set, data-frame writes fail with this result (0: writes succeed).
  void SetWriteResult(Result result);
  // While set, the bit-rate changes skip the 200 ms pause (tests that count only the order).
  void SetSkipBitRatePause(bool skip);

  // Every data frame and acknowledgement frame written so far, each as written.
  [[nodiscard]] std::vector<std::vector<std::uint8_t>> Written() const;
  // Every rate set by Open and SetBitRate, in order.
  [[nodiscard]] std::vector<int> BitRateHistory() const;
  [[nodiscard]] bool IsOpen() const;
  // Waits (bounded) until the receive loop has consumed every injected byte.
  bool WaitUntilReceived(int timeoutMs) const;

 private:
  struct Pending;
  Result Write(std::span<const std::uint8_t> bytes, bool dataFrame);

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  FarEnd m_farEnd;
  std::deque<int> m_incoming;  // bytes 0..255, or -1 for an injected pause
  bool m_interrupt = false;
  bool m_open = false;
  int m_bitRate = 9600;
  Result m_openResult = 0;
  Result m_writeResult = 0;
  bool m_skipPause = false;
  std::vector<std::vector<std::uint8_t>> m_written;
  std::vector<int> m_bitRates;
  std::uint64_t m_enqueued = 0;  // entries ever put into m_incoming
  std::uint64_t m_consumed = 0;  // entries the receive loop has handed on
};

}  // namespace tavra::stack
