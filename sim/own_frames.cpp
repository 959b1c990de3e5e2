#include "sim/own_frames.h"

#include <algorithm>
#include <chrono>

#include "server/stack/frame_codec.h"

namespace tavra::sim {

namespace {

constexpr std::size_t kMaxQueuedFrames = 256;

}  // namespace

void OwnFrames::Queue(Frame frame) {
  if (m_queue.size() >= kMaxQueuedFrames) {
    m_queue.pop_front();
    ++m_givenUp;
  }
  m_queue.push_back(std::move(frame));
}

void OwnFrames::Pump(SimClock::time_point due) {
  if (m_inFlight || m_queue.empty()) {
    return;
  }
  m_inFlight = InFlight{std::move(m_queue.front()), 0, 0, {}};
  m_queue.pop_front();
  m_sequence = static_cast<std::uint8_t>((m_sequence + 1) & 0x1F);
  m_inFlight->sequence = m_sequence;
  Write(due);
}

OwnFrames::After OwnFrames::OnAcknowledgement(std::uint8_t ack) {
  if (!m_inFlight) {
    return After::Nothing;
  }
  if ((ack & 0x1F) != m_inFlight->sequence) {
    return Retransmit();  // an answer for another frame counts as a failed attempt
  }
  switch (ack & 0xE0) {
    case stack::kAckAccepted: return Finish(true);
    case stack::kAckBusy: return After::Nothing;  // sent again when the wait runs out
    default: return Finish(false);
  }
}

bool OwnFrames::Expired(SimClock::time_point now) const {
  return m_inFlight && now >= m_inFlight->deadline;
}

OwnFrames::After OwnFrames::OnExpiry(bool unheard) {
  return unheard ? Finish(false) : Retransmit();
}

bool OwnFrames::Awaits(After after) const {
  return m_inFlight && m_inFlight->frame.after == after;
}

void OwnFrames::DropAwaiting(After after) {
  if (Awaits(after)) {
    m_inFlight.reset();
  }
}

void OwnFrames::Clear() {
  m_queue.clear();
  m_inFlight.reset();
}

std::optional<SimClock::time_point> OwnFrames::Deadline(SimClock::time_point now) const {
  if (m_inFlight) {
    return m_inFlight->deadline;
  }
  if (!m_queue.empty()) {
    return now;
  }
  return std::nullopt;
}

void OwnFrames::AddCounters(SimCounters& counters) const {
  counters.framesSent += m_sent;
  counters.retransmissions += m_retransmitted;
  counters.framesGivenUp += m_givenUp;
}

void OwnFrames::Write(SimClock::time_point due) {
  std::vector<std::uint8_t> bytes =
      stack::EncodeDataFrame(m_inFlight->sequence, m_inFlight->frame.destination,
                             m_inFlight->frame.source, m_inFlight->frame.data);
  const SimClock::time_point left = m_send(std::move(bytes), due);
  m_inFlight->deadline = left + std::chrono::milliseconds(std::max(m_retransmissionTimeMs, 1));
  ++m_sent;
}

OwnFrames::After OwnFrames::Retransmit() {
  if (m_inFlight->retransmissions >= m_retransmissions) {
    return Finish(false);
  }
  ++m_inFlight->retransmissions;
  ++m_retransmitted;
  Write(SimClock::now());
  return After::Nothing;
}

OwnFrames::After OwnFrames::Finish(bool acknowledged) {
  if (!acknowledged) {
    ++m_givenUp;
  }
  const After after = m_inFlight->frame.after;
  m_inFlight.reset();
  return after;
}

}  // namespace tavra::sim
