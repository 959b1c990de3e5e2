#pragma once
// NameWatch: follows the owners of the server's names on the bus. The well-known name's
// comings and goings are counted (so that a start can wait for the name to appear, and a
// closing server for it to go); the server's unique name, once known, is watched for the
// server leaving the bus.
//
// Ownership: NameWatch lives on the proxy's bus thread (created and deleted there); NameState
// is shared with the bus session. Threads: the watcher's slots run on the bus thread; NameState
// is read and waited on by any thread under its mutex. The gone handler is called on the bus
// thread with no lock held.

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtDBus/QDBusConnection>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class QDBusServiceWatcher;

namespace tavra::dbus {

struct NameState {
  // Waits until pred() holds (checked under the mutex), at most `timeout`. pred's result.
  template <typename Pred>
  bool WaitFor(std::chrono::milliseconds timeout, Pred pred) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, timeout, pred);
  }

  std::mutex mutex;
  std::condition_variable cv;
  std::uint64_t appeared = 0;     // the well-known name got an owner
  std::uint64_t disappeared = 0;  // the well-known name lost its owner
  bool serverGone = false;        // the watched unique name left the bus
  std::function<void()> goneHandler;
};

class NameWatch : public QObject {
  Q_OBJECT
 public:
  NameWatch(const QDBusConnection& connection,
            QString wellKnownName,
            std::shared_ptr<NameState> state,
            QObject* parent = nullptr);

  // Adds the server's unique name to the watch. Bus thread.
  void WatchServer(const QString& uniqueName);
  // Marks the server gone (also when a call found it gone) and calls the handler once. Any
  // thread.
  static void MarkGone(NameState& state);

 private:
  void OwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

  QDBusServiceWatcher* m_watcher;  // child
  const QString m_wellKnownName;
  QString m_server;
  std::shared_ptr<NameState> m_state;
};

}  // namespace tavra::dbus
