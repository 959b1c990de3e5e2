#pragma once
// SIGTERM and SIGINT end the server's event loop in order (as its own shutdown does), instead
// of killing it with its ports open. The handler only writes a byte to a pipe; a socket notifier
// on the main thread turns that into QCoreApplication::quit(). Main thread; one instance at a
// time; the previous handlers are restored by the destructor.

#include <QtCore/QObject>
#include <csignal>

class QSocketNotifier;

namespace tavra::host {

class StopSignals : public QObject {
  Q_OBJECT
 public:
  explicit StopSignals(QObject* parent = nullptr);
  ~StopSignals() override;
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  void OnSignal();

  int m_fds[2] = {-1, -1};
  QSocketNotifier* m_notifier = nullptr;
  struct sigaction m_oldTerm {};
  struct sigaction m_oldInt {};
};

}  // namespace tavra::host
