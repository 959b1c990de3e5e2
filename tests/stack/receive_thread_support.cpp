#include "receive_thread_support.h"

#include <pthread.h>

#include <ctime>

namespace tavra::test {

ReceiveThread::ReceiveThread(stack::ISerialPort& port, stack::FrameParser& parser)
    : m_port(port), m_result(m_done.get_future()) {
  m_thread = std::thread([this, &parser] { m_done.set_value(m_port.ReceiveLoop(m_stop, parser)); });
}

ReceiveThread::~ReceiveThread() {
  Stop(std::chrono::seconds(10));
}

bool ReceiveThread::Stop(std::chrono::milliseconds timeout) {
  if (!m_thread.joinable()) {
    return true;
  }
  m_stop.Set();
  m_port.InterruptReceive();
  const bool ended = m_result.wait_for(timeout) == std::future_status::ready;
  m_thread.join();
  return ended;
}

std::chrono::nanoseconds ReceiveThread::CpuTime() {
  clockid_t clock{};
  timespec ts{};
  if (::pthread_getcpuclockid(m_thread.native_handle(), &clock) != 0 ||
      ::clock_gettime(clock, &ts) != 0) {
    return std::chrono::nanoseconds::max();
  }
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace tavra::test
