#pragma once
// The receive loop of the serial ports on a file descriptor (TermiosSerialPort and
// NetworkSerialPort): while the port has its device, poll it beside the wake-up descriptor, let
// the port read what is there and reset the frame parser to hunt after a pause of kReceiveGap
// that follows activity (ISerialPort::ReceiveLoop); while the device is lost, wait for the next
// attempt to get it back, and while the port is closed, for the wake-up alone.
//
// Owner: the port's ReceiveLoop, which runs it on the receiver thread. Nothing here is shared
// with another thread and no lock is taken here; the port's calls take the port's own.

#include <array>
#include <cstdint>
#include <span>

#include "server/stack/internal_codes.h"
#include "server/stack/line_timing.h"
#include "server/stack/wake_fd.h"
#include "shared/sync_event.h"

namespace tavra::stack {

class FrameParser;

// What one receive loop keeps from round to round: the pause rule and the read buffer.
class ReceivePoller {
 public:
  // Resets the parser (hunt state, no last sequence).
  ReceivePoller(const WakeFd& wake, FrameParser& parser);

  // Waits for input on fd, the wake-up, or the end of a pause after activity (which resets the
  // parser): fd's poll events, or 0 when there is nothing to read this round.
  [[nodiscard]] short Wait(int fd);
  // Where the port reads a chunk into.
  [[nodiscard]] std::span<std::uint8_t> Buffer() { return m_buffer; }
  void Feed(std::span<const std::uint8_t> bytes);
  // Bytes reached the parser: a pause from now on ends the frame.
  void NoteActivity();
  // The device went away: a partial frame is dropped.
  void ResetParser();

 private:
  const WakeFd& m_wake;
  FrameParser& m_parser;
  bool m_recentlyActive = false;
  LineClock::time_point m_lastActivity{};
  std::array<std::uint8_t, kReadChunk> m_buffer{};
};

// Runs the receive loop of `port` until `stop` is set: 0, or -1 when the wake-up descriptor
// could not be created. The port gives, on the receiver thread:
//   CurrentDevice()   its open device (a shared pointer, empty when there is none), held for one
//                     round so that a drop on another thread does not close it meanwhile;
//   ReopenDelayMs()   the wait before the next attempt to get a lost device back; -1 when closed;
//   TryReopen()       one attempt;
//   ReadAvailable(device, events, poller)   reads and feeds what is there; false when it ended;
//   DropDevice(device)                      forgets it and tells the device listener.
template <typename Port>
Result RunReceiveLoop(Event& stop, FrameParser& parser, const WakeFd& wake, Port& port) {
  if (!wake.Ok()) {
    return -1;
  }
  ReceivePoller poller(wake, parser);
  while (!stop.IsSet()) {
    const auto device = port.CurrentDevice();
    if (!device) {
      const int delayMs = port.ReopenDelayMs();
      wake.Wait(delayMs);
      if (delayMs >= 0 && !stop.IsSet()) {
        port.TryReopen();
      }
      continue;
    }
    const short events = poller.Wait(device->Fd());
    if (events != 0 && !port.ReadAvailable(*device, events, poller)) {
      port.DropDevice(device);
      poller.ResetParser();
    }
  }
  return kOk;
}

}  // namespace tavra::stack
