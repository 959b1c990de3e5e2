#include "loader/link/dbus/logind_inhibitor.h"

#include <unistd.h>

#include <QAtomicInteger>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>

namespace tavra::dbus {
namespace {

constexpr int kCallTimeoutMs = 5000;

// The descriptor logind handed out; closing it ends the lock.
class LogindLock final : public loader::InhibitLock {
 public:
  explicit LogindLock(int fd) : m_fd(fd) {}
  ~LogindLock() override { ::close(m_fd); }
  LogindLock(const LogindLock&) = delete;
  LogindLock& operator=(const LogindLock&) = delete;

 private:
  int m_fd;
};

// A connection of its own, so that the call never waits behind another user of a shared one.
QDBusConnection Connect(const QString& address, const QString& name) {
  return address.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, name)
                           : QDBusConnection::connectToBus(address, name);
}

std::unique_ptr<loader::InhibitLock> Call(const QDBusConnection& bus,
                                          const std::string& reason,
                                          std::string& whyNot) {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
  call << QString::fromLatin1(kInhibitWhat) << QString::fromLatin1(kInhibitWho)
       << QString::fromStdString(reason) << QString::fromLatin1(kInhibitMode);
  const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    whyNot = (reply.errorName() + QStringLiteral(": ") + reply.errorMessage()).toStdString();
    return nullptr;
  }
  const QList<QVariant> arguments = reply.arguments();
  const auto fd = arguments.isEmpty() ? QDBusUnixFileDescriptor()
                                      : qdbus_cast<QDBusUnixFileDescriptor>(arguments.constFirst());
  const int own = fd.isValid() ? ::dup(fd.fileDescriptor()) : -1;
  if (own < 0) {
    whyNot = "Inhibit answered without a file descriptor";
    return nullptr;
  }
  return std::make_unique<LogindLock>(own);
}

}  // namespace

std::unique_ptr<loader::InhibitLock> LogindInhibitor::Acquire(const std::string& reason,
                                                              std::string& whyNot) {
  static QAtomicInteger<quint32> serial;
  const QString name = QStringLiteral("tavra-inhibit-%1").arg(serial.fetchAndAddRelaxed(1));
  std::unique_ptr<loader::InhibitLock> lock;
  {
    const QDBusConnection bus = Connect(m_busAddress, name);
    if (!bus.isConnected()) {
      whyNot = "no system bus: " + bus.lastError().message().toStdString();
    } else {
      lock = Call(bus, reason, whyNot);
    }
  }
  QDBusConnection::disconnectFromBus(name);
  return lock;
}

}  // namespace tavra::dbus
