#pragma once
// What the parts of CL2 share: the serial port, the link-up flag, the statistics counters, the
// way up to CL4 and the signals more than one part sets or takes. CL2Impl owns it; the
// transmitter and the supervisor hold a reference for their whole life.
//
// Fields without a lock of their own are atomics or events, or are set by Open before any
// thread starts and never changed afterwards (the port pointer, the upper signal and queue).

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "server/stack/l2_types.h"
#include "server/stack/port_table.h"
#include "server/stack/serial_port.h"
#include "shared/sync_event.h"

namespace tavra::stack {

inline constexpr int kStatisticsWords = 18;

struct L2Shared {
  L2Shared(std::unique_ptr<ISerialPort> serialPort, PortTable& table)
      : port(std::move(serialPort)), portTable(table) {}

  // Appends to CL4's queue and sets its signal; no CL2 lock may be held but the connect lock.
  void PushUp(L2Message message) const {
    upperQueue->Push(std::move(message));
    upperSignal->Set();
  }
  // Statistics count only while the link is up.
  void CountIfUp(int word) {
    if (linkUp.load()) {
      counters[word].fetch_add(1);
    }
  }

  std::unique_ptr<ISerialPort> port;  // none when none was given (open then fails)
  PortTable& portTable;
  std::atomic<int> portNumber{0};
  Event* upperSignal = nullptr;          // set by Open before any thread starts
  L2MessageQueue* upperQueue = nullptr;  // likewise
  std::atomic<bool> linkUp{false};
  // Words 2, 3, 4, 15, 16, 17 of the statistics (the parser keeps 5..13).
  std::array<std::atomic<std::uint32_t>, kStatisticsWords> counters{};

  Event stop{Event::Mode::ManualReset};  // destroy: every thread, every wait
  Event linkLost;  // transmitter (no acknowledgement) or a lost device -> supervisor
  Event threadEnded{Event::Mode::ManualReset};  // any thread; open checks it
};

}  // namespace tavra::stack
