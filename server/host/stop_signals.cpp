#include "server/host/stop_signals.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QSocketNotifier>
#include <atomic>

namespace tavra::host {

namespace {
std::atomic<int> g_writeFd{-1};

extern "C" void OnStopSignal(int) {
  const int fd = g_writeFd.load();
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
}
}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0) {
    m_fds[0] = m_fds[1] = -1;
    return;
  }
  g_writeFd = m_fds[0];
  m_notifier = new QSocketNotifier(m_fds[1], QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::OnSignal);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, &m_oldTerm);
  ::sigaction(SIGINT, &action, &m_oldInt);
}

StopSignals::~StopSignals() {
  if (m_fds[0] < 0) {
    return;
  }
  ::sigaction(SIGTERM, &m_oldTerm, nullptr);
  ::sigaction(SIGINT, &m_oldInt, nullptr);
  g_writeFd = -1;
  delete m_notifier;
  ::close(m_fds[0]);
  ::close(m_fds[1]);
}

void StopSignals::OnSignal() {
  char buffer[16];
  while (::read(m_fds[1], buffer, sizeof buffer) > 0) {
  }
  QCoreApplication::quit();
}

}  // namespace tavra::host
