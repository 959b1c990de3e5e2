#include "client/dbus_proxy/name_watch.h"

#include <QtDBus/QDBusServiceWatcher>

namespace tavra::dbus {

NameWatch::NameWatch(const QDBusConnection& connection,
                     QString wellKnownName,
                     std::shared_ptr<NameState> state,
                     QObject* parent)
    : QObject(parent),
      m_watcher(new QDBusServiceWatcher(
          wellKnownName, connection, QDBusServiceWatcher::WatchForOwnerChange, this)),
      m_wellKnownName(std::move(wellKnownName)),
      m_state(std::move(state)) {
  connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &NameWatch::OwnerChanged);
}

void NameWatch::WatchServer(const QString& uniqueName) {
  m_server = uniqueName;
  m_watcher->addWatchedService(uniqueName);
}

void NameWatch::MarkGone(NameState& state) {
  std::function<void()> handler;
  {
    std::lock_guard lock(state.mutex);
    if (state.serverGone) {
      return;
    }
    state.serverGone = true;
    handler = std::move(state.goneHandler);
    state.goneHandler = nullptr;
  }
  state.cv.notify_all();
  if (handler) {
    handler();
  }
}

void NameWatch::OwnerChanged(const QString& name,
                             const QString& oldOwner,
                             const QString& newOwner) {
  Q_UNUSED(oldOwner);
  if (name == m_wellKnownName) {
    {
      std::lock_guard lock(m_state->mutex);
      if (newOwner.isEmpty()) {
        ++m_state->disappeared;
      } else {
        ++m_state->appeared;
      }
    }
    m_state->cv.notify_all();
  } else if (!m_server.isEmpty() && name == m_server && newOwner.isEmpty()) {
    MarkGone(*m_state);
  }
}

}  // namespace tavra::dbus
