#include "sim/line_writer.h"

#include <algorithm>
#include <span>
#include <utility>

namespace tavra::sim {

namespace {

// Bytes written at a time when line timing is emulated.
constexpr std::size_t kPacingSlice = 16;

}  // namespace

void LineWriter::Start(SerialLine& line) {
  m_line = &line;
  m_thread = std::thread([this] { Loop(); });
}

void LineWriter::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
    m_cv.notify_all();
  }
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

void LineWriter::Queue(std::vector<std::uint8_t> bytes, SimClock::time_point due, int bitRate) {
  std::lock_guard lock(m_mutex);
  m_queue.push_back(Chunk{std::move(bytes), due, bitRate, 0});
  m_cv.notify_all();
}

void LineWriter::QueueRateChange(int bitRate) {
  std::lock_guard lock(m_mutex);
  m_queue.push_back(Chunk{{}, SimClock::now(), bitRate, bitRate});
  m_cv.notify_all();
}

void LineWriter::SetCorruption(double p, std::uint32_t seed) {
  std::lock_guard lock(m_mutex);
  m_corrupter = ByteCorrupter(p, seed);
}

void LineWriter::AddCounters(SimCounters& counters) const {
  std::lock_guard lock(m_mutex);
  counters.bytesLostSilent += m_lostSilent;
  counters.bytesLostRateMismatch += m_lostRate;
  counters.bytesGarbled += m_garbled;
  counters.bytesCorrupted += m_corrupted;
}

void LineWriter::Loop() {
  std::unique_lock lock(m_mutex);
  while (true) {
    m_cv.wait(lock, [this] { return m_stop || !m_queue.empty(); });
    if (m_stop) {
      return;
    }
    const SimClock::time_point due = m_queue.front().due;
    if (SimClock::now() < due) {
      m_cv.wait_until(lock, due, [this] { return m_stop; });
      continue;
    }
    Chunk chunk = std::move(m_queue.front());
    m_queue.pop_front();
    if (chunk.newOwnRate != 0) {
      lock.unlock();
      m_line->SetOwnBitRate(chunk.newOwnRate);
      lock.lock();
      continue;
    }
    const Fate fate = ApplyFaults(chunk);
    const bool pace = m_pacing.load();
    m_traces.Add(SimClock::now(), false, chunk.bytes, fate.note);
    lock.unlock();
    m_traces.Drain();
    if (fate.arrives) {
      Deliver(chunk, pace);
    }
    m_written.Bump();
    lock.lock();
  }
}

LineWriter::Fate LineWriter::ApplyFaults(Chunk& chunk) {
  const auto count = static_cast<std::uint32_t>(chunk.bytes.size());
  if (m_silent.load()) {
    m_lostSilent += count;
    return {false, " [lost: silent]"};
  }
  Fate fate;
  const int hostRate = m_line->HostBitRate();
  if (hostRate != 0 && hostRate != chunk.bitRate) {
    if (!m_garble.load()) {
      m_lostRate += count;
      return {false, " [lost: host at " + std::to_string(hostRate) + "]"};
    }
    for (std::uint8_t& b : chunk.bytes) {
      b = m_garbler.Apply(b);
    }
    m_garbled += count;
    fate.note = " [garbled: host at " + std::to_string(hostRate) + "]";
  }
  for (std::uint8_t& b : chunk.bytes) {
    if (m_corrupter.Apply(b)) {
      ++m_corrupted;
    }
  }
  return fate;
}

void LineWriter::Deliver(const Chunk& chunk, bool pace) {
  if (!pace) {
    m_line->Write(chunk.bytes);
    return;
  }
  std::span<const std::uint8_t> rest(chunk.bytes);
  while (!rest.empty()) {
    const std::size_t n = std::min(rest.size(), kPacingSlice);
    {
      std::unique_lock lock(m_mutex);
      if (m_cv.wait_for(lock, LineTime(n, chunk.bitRate), [this] { return m_stop; })) {
        return;
      }
    }
    m_line->Write(rest.first(n));
    rest = rest.subspan(n);
  }
}

}  // namespace tavra::sim
