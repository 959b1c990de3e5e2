#pragma once
// A serial port's receive loop on a thread of its own, for the port tests.
//
// Owner: the test that made it. Threads: made, stopped and asked for its CPU time by the test's
// thread; the loop runs on the thread it owns. No lock.

#include <chrono>
#include <future>
#include <thread>

#include "server/stack/frame_parser.h"
#include "server/stack/serial_port.h"
#include "shared/sync_event.h"

namespace tavra::test {

// Runs a port's receive loop on a thread of its own; stops and joins it on destruction.
class ReceiveThread {
 public:
  ReceiveThread(stack::ISerialPort& port, stack::FrameParser& parser);
  ~ReceiveThread();
  ReceiveThread(const ReceiveThread&) = delete;
  ReceiveThread& operator=(const ReceiveThread&) = delete;

  // Sets the stop signal and wakes the loop; true when the loop ended within the time-out.
  // The thread is joined in any case.
  bool Stop(std::chrono::milliseconds timeout);
  // CPU time the receive thread has used so far (the thread must still run).
  [[nodiscard]] std::chrono::nanoseconds CpuTime();

 private:
  stack::ISerialPort& m_port;
  Event m_stop{Event::Mode::ManualReset};
  std::promise<stack::Result> m_done;
  std::future<stack::Result> m_result;
  std::thread m_thread;
};

}  // namespace tavra::test
