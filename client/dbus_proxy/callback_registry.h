#pragma once
// The callback objects this connection has given to the server: one object path per Client_Add,
// mapped to the user's ITavraCallback and, once the server has answered, to the controller
// object and client id it belongs to. Also holds the server's unique name, the only sender
// whose callbacks are accepted.
//
// Ownership: shared by the bus session (callers' side) and the callback receiver (bus thread),
// so that neither outlives it; holds the callback objects (shared_ptr) until their entry goes.
// Threads: any; one mutex guards everything and is never held while a callback runs (Find
// returns a copy of the shared_ptr).

#include <QtCore/QString>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "shared/tavra_interfaces.h"

namespace tavra::dbus {

class CallbackRegistry {
 public:
  CallbackRegistry() = default;
  CallbackRegistry(const CallbackRegistry&) = delete;
  CallbackRegistry& operator=(const CallbackRegistry&) = delete;

  // A new path under CallbackBasePath() for `callback` (not yet bound to a client).
  [[nodiscard]] QString Add(std::shared_ptr<ITavraCallback> callback);
  // The server registered the path's callback as client `clientId` of `objectPath`.
  void Bind(const QString& path, const QString& objectPath, std::int32_t clientId);
  void Remove(const QString& path);
  // Drops the entry of client `clientId` of `objectPath` (Client_Remove).
  void RemoveClient(const QString& objectPath, std::int32_t clientId);
  // Drops every entry of `objectPath` (the controller object has ended).
  void RemoveObject(const QString& objectPath);

  void SetServer(const QString& uniqueName);
  [[nodiscard]] QString Server() const;

  // The callback at `path` when `sender` is the server; null otherwise or after Close().
  [[nodiscard]] std::shared_ptr<ITavraCallback> Find(const QString& path,
                                                     const QString& sender) const;
  [[nodiscard]] bool Has(const QString& path) const;
  // Forgets every entry; later look-ups find nothing.
  void Close();

 private:
  struct Entry {
    std::shared_ptr<ITavraCallback> callback;
    QString objectPath;  // empty until bound
    std::int32_t clientId = 0;
  };

  mutable std::mutex m_mutex;
  std::map<QString, Entry> m_entries;
  QString m_server;
  std::uint64_t m_next = 1;
  bool m_closed = false;
};

}  // namespace tavra::dbus
