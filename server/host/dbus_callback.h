#pragma once
// DBusCallback: a client's callback object as the server sees it. Each ITavraCallback call
// becomes a method call of dk.norvik.TavraLink.TavraCallback to the client's connection (its
// unique name) at the path it gave to Client_Add, with the arguments in the order and types of
// the contract's signature, flagged no-reply-expected and never starting a service. Sending
// only queues the message, so a callback never waits for the client; one client's calls leave
// in the order in which its delivery thread makes them.
//
// Ownership: held by the client's entry in the controller object (shared_ptr); keeps a copy of
// the server's bus connection. Threads: the client's delivery thread calls it; QDBusConnection
// sends are thread-safe. No locks.

#include <QtCore/QString>
#include <QtDBus/QDBusConnection>

#include "shared/callback_adapter.h"

namespace tavra::host {

class DBusCallback final : public CallbackAdapter {
 public:
  DBusCallback(QDBusConnection connection, QString clientName, QString path);

  [[nodiscard]] const QString& ClientName() const { return m_clientName; }
  [[nodiscard]] const QString& Path() const { return m_path; }

 protected:
  // Sends the event: S_OK once queued, E_FAIL when the connection refuses it.
  HRESULT OnEvent(const CallbackEvent& event) override;

 private:
  QDBusConnection m_connection;
  const QString m_clientName;
  const QString m_path;
};

}  // namespace tavra::host
