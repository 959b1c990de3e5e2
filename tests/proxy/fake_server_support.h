#pragma once
// FakeServer: a scripted stand-in for TavraLink on a test bus. It owns dk.norvik.TavraLink,
// answers every call under /dk/norvik/TavraLink by a responder the test may replace, records
// each call, and sends callbacks to a client's connection like the server does (flagged
// no-reply-expected). Lets the proxy be checked against the exact form of the contract, with
// replies no correct server would give.
//
// Threads: the fake serves on a thread of its own (its connection and virtual object live
// there); the responder runs on it. Calls are recorded under a mutex and waited for by the
// test's thread. SendCallback and ReleaseName may be called from any thread.

#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QThread>
#include <QtCore/QVariant>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVirtualObject>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "shared/sync_event.h"

namespace tavra::dbus::test {

struct RecordedCall {
  QString sender;
  QString path;
  QString member;
  QString signature;
  QList<QVariant> arguments;
};

class FakeServer : public QThread {
  Q_OBJECT
 public:
  // The reply to send for `call` (an empty message: the default reply).
  using Responder = std::function<QDBusMessage(const QDBusMessage& call)>;

  explicit FakeServer(std::string address);
  ~FakeServer() override;

  // Starts serving; false when the name could not be taken.
  bool Start();
  void SetResponder(Responder responder);
  // The contract's reply with every output 0 (or empty), P_Tavra = Port<n> / Tavra1, a client
  // id of 5 and a port table of ten unused ports.
  static QDBusMessage DefaultReply(const QDBusMessage& call);

  [[nodiscard]] std::vector<RecordedCall> Calls() const;
  // The first call of `member` from index `from` on.
  std::optional<RecordedCall> WaitForCall(const QString& member,
                                          std::chrono::milliseconds timeout,
                                          std::size_t from = 0);
  // Sends a callback method call to `client` at `path`, from this server's connection.
  bool SendCallback(
      const QString& client,
      const QString& path,
      const QString& member,
      const QList<QVariant>& arguments,
      const QString& interfaceName = QStringLiteral("dk.norvik.TavraLink.TavraCallback"));
  [[nodiscard]] QString UniqueName() const;
  void ReleaseName();
  [[nodiscard]] QDBusConnection Connection() const { return m_connection; }

 protected:
  void run() override;

 private:
  class Object;
  friend class Object;
  void Handle(const QDBusMessage& message, const QDBusConnection& connection);

  const std::string m_address;
  const QString m_name;
  tavra::Event m_ready{tavra::Event::Mode::ManualReset};
  bool m_owned = false;
  QDBusConnection m_connection{QString()};
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<RecordedCall> m_calls;
  Responder m_responder;
};

class FakeServer::Object : public QDBusVirtualObject {
  Q_OBJECT
 public:
  explicit Object(FakeServer& server) : m_server(server) {}
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private:
  FakeServer& m_server;
};

}  // namespace tavra::dbus::test
