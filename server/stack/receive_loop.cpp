#include "server/stack/receive_loop.h"

#include <poll.h>

#include <cerrno>

#include "server/stack/frame_parser.h"

namespace tavra::stack {

namespace {

constexpr int kPollFailurePauseMs = 200;

}  // namespace

ReceivePoller::ReceivePoller(const WakeFd& wake, FrameParser& parser)
    : m_wake(wake), m_parser(parser) {
  m_parser.Reset();
  m_parser.ResetSequence();
}

short ReceivePoller::Wait(int fd) {
  int timeoutMs = -1;
  if (m_recentlyActive) {
    timeoutMs = MillisecondsLeft(m_lastActivity + kReceiveGap);
    if (timeoutMs == 0) {
      ResetParser();  // a pause of 100 ms after activity drops a partial frame
      return 0;
    }
  }
  std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}}};
  const int rc = ::poll(fds.data(), fds.size(), timeoutMs);
  if (rc < 0) {
    if (errno != EINTR) {
      m_wake.Wait(kPollFailurePauseMs);  // out of resources: do not spin
    }
    return 0;
  }
  if (rc == 0) {
    ResetParser();
    return 0;
  }
  if ((fds[1].revents & POLLIN) != 0) {
    m_wake.Drain();
  }
  return fds[0].revents;
}

void ReceivePoller::Feed(std::span<const std::uint8_t> bytes) {
  m_parser.Feed(bytes);
}

void ReceivePoller::NoteActivity() {
  m_recentlyActive = true;
  m_lastActivity = LineClock::now();
}

void ReceivePoller::ResetParser() {
  m_parser.Reset();
  m_recentlyActive = false;
}

}  // namespace tavra::stack
