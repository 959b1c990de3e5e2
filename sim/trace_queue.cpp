#include "sim/trace_queue.h"

#include <utility>

#include "sim/simulated_controller.h"

namespace tavra::sim {

void TraceQueue::SetSink(Sink sink) {
  std::lock_guard lock(m_mutex);
  m_sink = std::move(sink);
  m_tracing = static_cast<bool>(m_sink);
}

TraceQueue::Sink TraceQueue::CurrentSink() const {
  std::lock_guard lock(m_mutex);
  return m_sink;
}

void TraceQueue::Add(SimClock::time_point at,
                     bool fromHost,
                     std::span<const std::uint8_t> bytes,
                     const std::string& note) {
  if (!m_tracing.load()) {
    return;
  }
  const double seconds = std::chrono::duration<double>(at - m_start).count();
  std::string line = TraceLine(seconds, fromHost, bytes) + note;
  std::lock_guard lock(m_mutex);
  m_lines.push_back(std::move(line));
}

void TraceQueue::Drain() {
  std::lock_guard drain(m_drainMutex);
  const Sink sink = CurrentSink();
  while (true) {
    std::string line;
    {
      std::lock_guard lock(m_mutex);
      if (m_lines.empty()) {
        return;
      }
      line = std::move(m_lines.front());
      m_lines.pop_front();
    }
    if (sink) {
      sink(line);
    }
  }
}

}  // namespace tavra::sim
