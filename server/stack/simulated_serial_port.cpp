#include "server/stack/simulated_serial_port.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "server/stack/frame_codec.h"
#include "server/stack/frame_parser.h"
#include "server/stack/line_timing.h"

namespace tavra::stack {

namespace {

constexpr int kPauseMark = -1;

}  // namespace

SimulatedSerialPort::SimulatedSerialPort() = default;
SimulatedSerialPort::~SimulatedSerialPort() = default;

Result SimulatedSerialPort::Open(int /*portNumber*/, int bitRate) {
  std::lock_guard lock(m_mutex);
  if (m_openResult != kOk) {
    return std::exchange(m_openResult, kOk);
  }
  if (!IsLineRate(bitRate)) {
    return kPortOpenError;
  }
  m_open = true;
  m_bitRate = bitRate;
  m_bitRates.push_back(bitRate);
  return kOk;
}

Result SimulatedSerialPort::SetBitRate(int bitRate) {
  bool skipPause = false;
  {
    std::lock_guard lock(m_mutex);
    if (!m_open) {
      return EBADF;
    }
    if (!IsLineRate(bitRate)) {
      return EINVAL;
    }
    if (bitRate == m_bitRate) {
      return kOk;
    }
    skipPause = m_skipPause;
  }
  if (!skipPause) {
    // Lets the last frame at the old rate leave the line, as the real driver does.
    std::this_thread::sleep_for(kBitRatePause);
  }
  std::lock_guard lock(m_mutex);
  m_bitRate = bitRate;
  m_bitRates.push_back(bitRate);
  return kOk;
}

Result SimulatedSerialPort::Write(std::span<const std::uint8_t> bytes, bool dataFrame) {
  FarEnd farEnd;
  int bitRate = 0;
  {
    std::lock_guard lock(m_mutex);
    if (!m_open) {
      return kWriteFailed;
    }
    if (dataFrame && m_writeResult != kOk) {
      return m_writeResult;
    }
    m_written.emplace_back(bytes.begin(), bytes.end());
    farEnd = m_farEnd;
    bitRate = m_bitRate;
  }
  // Outside the lock: the far end may answer at once with InjectReceived.
  if (farEnd) {
    farEnd(bytes, bitRate);
  }
  return kOk;
}

Result SimulatedSerialPort::WriteDataFrame(std::span<const std::uint8_t> frame) {
  return Write(frame, true);
}

Result SimulatedSerialPort::WriteAckFrame(std::uint8_t x) {
  const auto frame = EncodeAckFrame(x);
  return Write(frame, false);
}

void SimulatedSerialPort::Close() {
  std::lock_guard lock(m_mutex);
  m_open = false;
}

Result SimulatedSerialPort::ReceiveLoop(Event& stop, FrameParser& parser) {
  parser.Reset();
  parser.ResetSequence();
  bool recentlyActive = false;
  std::vector<int> batch;
  std::unique_lock lock(m_mutex);
  while (!stop.IsSet()) {
    const auto ready = [this] { return m_interrupt || !m_incoming.empty(); };
    if (recentlyActive) {
      if (!m_cv.wait_for(lock, kReceiveGap, ready)) {
        // A pause of 100 ms after activity: a partial frame is dropped.
        parser.Reset();
        recentlyActive = false;
        continue;
      }
    } else {
      m_cv.wait(lock, ready);
    }
    if (m_interrupt) {
      m_interrupt = false;
      continue;  // look at `stop` before taking more bytes
    }
    batch.assign(m_incoming.begin(), m_incoming.end());
    m_incoming.clear();
    // The parser calls the link layer, which may write (and so take m_mutex): feed unlocked.
    lock.unlock();
    for (const int entry : batch) {
      if (entry == kPauseMark) {
        parser.Reset();
        recentlyActive = false;
      } else {
        parser.Feed(static_cast<std::uint8_t>(entry));
        recentlyActive = true;
      }
    }
    lock.lock();
    m_consumed += batch.size();
    m_cv.notify_all();
  }
  return kOk;
}

void SimulatedSerialPort::InterruptReceive() {
  std::lock_guard lock(m_mutex);
  m_interrupt = true;
  m_cv.notify_all();
}

int SimulatedSerialPort::CurrentBitRate() const {
  std::lock_guard lock(m_mutex);
  return m_bitRate;
}

void SimulatedSerialPort::SetFarEnd(FarEnd farEnd) {
  std::lock_guard lock(m_mutex);
  m_farEnd = std::move(farEnd);
}

void SimulatedSerialPort::InjectReceived(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) {
    return;
  }
  std::lock_guard lock(m_mutex);
  m_incoming.insert(m_incoming.end(), bytes.begin(), bytes.end());
  m_enqueued += bytes.size();
  m_cv.notify_all();
}

void SimulatedSerialPort::InjectPause() {
  std::lock_guard lock(m_mutex);
  m_incoming.push_back(kPauseMark);
  ++m_enqueued;
  m_cv.notify_all();
}

void SimulatedSerialPort::SetOpenResult(Result result) {
  std::lock_guard lock(m_mutex);
  m_openResult = result;
}

void SimulatedSerialPort::SetWriteResult(Result result) {
  std::lock_guard lock(m_mutex);
  m_writeResult = result;
}

void SimulatedSerialPort::SetSkipBitRatePause(bool skip) {
  std::lock_guard lock(m_mutex);
  m_skipPause = skip;
}

std::vector<std::vector<std::uint8_t>> SimulatedSerialPort::Written() const {
  std::lock_guard lock(m_mutex);
  return m_written;
}

std::vector<int> SimulatedSerialPort::BitRateHistory() const {
  std::lock_guard lock(m_mutex);
  return m_bitRates;
}

bool SimulatedSerialPort::IsOpen() const {
  std::lock_guard lock(m_mutex);
  return m_open;
}

bool SimulatedSerialPort::WaitUntilReceived(int timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [this] { return m_consumed == m_enqueued; });
}

}  // namespace tavra::stack
