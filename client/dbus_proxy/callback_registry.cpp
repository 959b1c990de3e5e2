#include "client/dbus_proxy/callback_registry.h"

#include <vector>

#include "shared/dbus/bus_names.h"

namespace tavra::dbus {

QString CallbackRegistry::Add(std::shared_ptr<ITavraCallback> callback) {
  std::lock_guard lock(m_mutex);
  QString path = CallbackBasePath() + QStringLiteral("/Callback%1").arg(m_next++);
  if (!m_closed) {
    m_entries[path] = Entry{std::move(callback), QString(), 0};
  }
  return path;
}

void CallbackRegistry::Bind(const QString& path, const QString& objectPath, std::int32_t clientId) {
  std::lock_guard lock(m_mutex);
  const auto it = m_entries.find(path);
  if (it != m_entries.end()) {
    it->second.objectPath = objectPath;
    it->second.clientId = clientId;
  }
}

void CallbackRegistry::Remove(const QString& path) {
  std::shared_ptr<ITavraCallback> last;  // released after the lock
  std::lock_guard lock(m_mutex);
  const auto it = m_entries.find(path);
  if (it != m_entries.end()) {
    last = std::move(it->second.callback);
    m_entries.erase(it);
  }
}

void CallbackRegistry::RemoveClient(const QString& objectPath, std::int32_t clientId) {
  std::vector<std::shared_ptr<ITavraCallback>> dropped;
  std::lock_guard lock(m_mutex);
  for (auto it = m_entries.begin(); it != m_entries.end();) {
    if (it->second.objectPath == objectPath && it->second.clientId == clientId) {
      dropped.push_back(std::move(it->second.callback));
      it = m_entries.erase(it);
    } else {
      ++it;
    }
  }
}

void CallbackRegistry::RemoveObject(const QString& objectPath) {
  std::vector<std::shared_ptr<ITavraCallback>> dropped;
  std::lock_guard lock(m_mutex);
  for (auto it = m_entries.begin(); it != m_entries.end();) {
    if (it->second.objectPath == objectPath) {
      dropped.push_back(std::move(it->second.callback));
      it = m_entries.erase(it);
    } else {
      ++it;
    }
  }
}

void CallbackRegistry::SetServer(const QString& uniqueName) {
  std::lock_guard lock(m_mutex);
  m_server = uniqueName;
}

QString CallbackRegistry::Server() const {
  std::lock_guard lock(m_mutex);
  return m_server;
}

std::shared_ptr<ITavraCallback> CallbackRegistry::Find(const QString& path,
                                                       const QString& sender) const {
  std::lock_guard lock(m_mutex);
  if (m_closed || m_server.isEmpty() || sender != m_server) {
    return nullptr;
  }
  const auto it = m_entries.find(path);
  return it == m_entries.end() ? nullptr : it->second.callback;
}

bool CallbackRegistry::Has(const QString& path) const {
  std::lock_guard lock(m_mutex);
  return m_entries.contains(path);
}

void CallbackRegistry::Close() {
  std::map<QString, Entry> dropped;
  std::lock_guard lock(m_mutex);
  m_closed = true;
  dropped.swap(m_entries);
}

}  // namespace tavra::dbus
