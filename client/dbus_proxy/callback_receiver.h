#pragma once
// CallbackReceiver: the client's callback objects on its own bus connection. Registered once
// for CallbackBasePath() and every path below it; a call of dk.norvik.TavraLink.TavraCallback
// at a registered path, sent by the server, is handed to that path's ITavraCallback
// (callback_message.h). Calls from any other sender, at unknown paths or with a wrong signature
// are dropped (answered with an error only when the sender waits for a reply). Introspect is
// answered with the callback interface of the contract's XML.
//
// Ownership: created, used and deleted on the proxy's bus thread (bus_thread.h); shares the
// registry. Threads: Qt delivers the calls on the bus thread one at a time, in the order in
// which they arrived; the user's callback runs there with no lock held.

#include <QtDBus/QDBusVirtualObject>
#include <memory>

#include "client/dbus_proxy/callback_registry.h"

namespace tavra::dbus {

class CallbackReceiver : public QDBusVirtualObject {
  Q_OBJECT
 public:
  explicit CallbackReceiver(std::shared_ptr<CallbackRegistry> registry, QObject* parent = nullptr);

  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private:
  std::shared_ptr<CallbackRegistry> m_registry;
};

}  // namespace tavra::dbus
