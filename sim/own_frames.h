#pragma once
// The simulated controller's own data frames: queued, sent one at a time with the next sequence
// number, and sent again until the host acknowledges them, for at most the configured number of
// retransmissions; then given up.
//
// Owner: SimulatedController::Impl. Threads: the worker and the public methods, always under
// the controller's state lock; no lock of its own. `send` is called under that lock too.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "sim/line_timing.h"
#include "sim/simulated_controller.h"

namespace tavra::sim {

class OwnFrames {
 public:
  // What the owner does once a frame is done with: acknowledged, refused or given up.
  enum class After { Nothing, ApplyPendingRate };

  struct Frame {
    std::uint8_t destination = 0;
    std::uint8_t source = 0;
    std::vector<std::uint8_t> data;
    After after = After::Nothing;
  };

  // Puts a frame's bytes on the line at `due`; returns when its last byte will have left.
  using Send = std::function<SimClock::time_point(std::vector<std::uint8_t> bytes,
                                                  SimClock::time_point due)>;

  // The wait for an acknowledgement starts when the frame has left the line.
  OwnFrames(int retransmissionTimeMs, int retransmissions, Send send)
      : m_retransmissionTimeMs(retransmissionTimeMs),
        m_retransmissions(retransmissions),
        m_send(std::move(send)) {}

  // A host that never acknowledges cannot make the queue grow without end: when it is full the
  // oldest waiting frame is given up.
  void Queue(Frame frame);
  // Sends the next frame at `due` when none is waiting for its acknowledgement.
  void Pump(SimClock::time_point due);
  // The host's acknowledgement byte (code | sequence).
  [[nodiscard]] After OnAcknowledgement(std::uint8_t ack);
  [[nodiscard]] bool Expired(SimClock::time_point now) const;
  // The wait has run out: sent again, or given up when sent often enough or when the host
  // can no longer hear it (`unheard`).
  [[nodiscard]] After OnExpiry(bool unheard);
  // Whether the frame on the line is to be followed by `after`.
  [[nodiscard]] bool Awaits(After after) const;
  // Forgets the frame on the line (not counted as given up) if it is to be followed by `after`.
  void DropAwaiting(After after);
  // A restart: the frames not yet acknowledged are forgotten, never sent again.
  void Clear();
  // When the worker must look again: the frame on the line's wait, `now` when one can be sent.
  [[nodiscard]] std::optional<SimClock::time_point> Deadline(SimClock::time_point now) const;
  // Adds frames sent, retransmissions and frames given up.
  void AddCounters(SimCounters& counters) const;

 private:
  struct InFlight {
    Frame frame;
    std::uint8_t sequence = 0;
    int retransmissions = 0;
    SimClock::time_point deadline;
  };

  void Write(SimClock::time_point due);
  After Retransmit();
  After Finish(bool acknowledged);

  const int m_retransmissionTimeMs;
  const int m_retransmissions;
  const Send m_send;
  std::deque<Frame> m_queue;
  std::optional<InFlight> m_inFlight;
  std::uint8_t m_sequence = 31;  // the first frame gets 0
  std::uint32_t m_sent = 0;
  std::uint32_t m_retransmitted = 0;
  std::uint32_t m_givenUp = 0;
};

}  // namespace tavra::sim
