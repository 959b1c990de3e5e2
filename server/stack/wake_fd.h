#pragma once
// An eventfd that wakes a thread blocked in poll(): the serial ports' receive loops poll it beside
// their device or socket, and InterruptReceive signals it.
// Owner: the port that polls it. Signal from any thread; Drain and Wait from the polling thread.

namespace tavra::stack {

class WakeFd {
 public:
  WakeFd();
  ~WakeFd();
  WakeFd(const WakeFd&) = delete;
  WakeFd& operator=(const WakeFd&) = delete;

  [[nodiscard]] bool Ok() const { return m_fd >= 0; }
  [[nodiscard]] int Fd() const { return m_fd; }  // -1 when it could not be created

  void Signal() const;
  void Drain() const;
  // Blocks until signalled (then drains) or timeoutMs has passed; -1 waits without a limit.
  void Wait(int timeoutMs) const;

 private:
  const int m_fd;
};

}  // namespace tavra::stack
