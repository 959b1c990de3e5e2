// The desktop's inhibitor lock against a stand-in logind on a private bus: the call's arguments,
// the lock held while the caller keeps it and released (the stand-in's end sees EOF) after; no
// logind and no bus give no lock and say why.

#include "loader/link/dbus/logind_inhibitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QThread>
#include <mutex>

#include "proxy_support.h"

namespace tavra::dbus::test {
namespace {

using tavra::test::TestBus;

constexpr int kWaitMs = 10000;

// org.freedesktop.login1.Manager.Inhibit: records the call and hands out a pipe's write end.
class StandInLogind : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

 public:
  ~StandInLogind() override {
    if (m_readEnd >= 0) {
      ::close(m_readEnd);
    }
  }
  [[nodiscard]] QStringList Call() const {
    std::lock_guard lock(m_mutex);
    return m_call;
  }
  [[nodiscard]] int ReadEnd() const {
    std::lock_guard lock(m_mutex);
    return m_readEnd;
  }

 public Q_SLOTS:
  QDBusUnixFileDescriptor Inhibit(const QString& what,
                                  const QString& who,
                                  const QString& why,
                                  const QString& mode) {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      return {};
    }
    const QDBusUnixFileDescriptor handed(ends[1]);  // keeps a copy of its own
    ::close(ends[1]);
    std::lock_guard lock(m_mutex);
    m_call = {what, who, why, mode};
    m_readEnd = ends[0];
    return handed;
  }
  // A second call: once it is answered, the first call's reply (and its copy of the
  // descriptor) is gone from the stand-in's side.
  int Ping() { return 1; }

 private:
  mutable std::mutex m_mutex;
  QStringList m_call;  // guarded by m_mutex
  int m_readEnd = -1;  // guarded by m_mutex
};

// The stand-in on its own thread, serving on the bus at `address` as org.freedesktop.login1.
class StandInService {
 public:
  explicit StandInService(const QString& address) {
    m_thread.start();
    m_logind.moveToThread(&m_thread);
    m_bus = QDBusConnection::connectToBus(address, QStringLiteral("stand-in-logind"));
    m_registered = m_bus.registerService(QStringLiteral("org.freedesktop.login1")) &&
                   m_bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &m_logind,
                                        QDBusConnection::ExportAllSlots);
  }
  ~StandInService() {
    m_bus.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("stand-in-logind"));
    m_thread.quit();
    m_thread.wait();
  }
  [[nodiscard]] bool Registered() const { return m_registered; }
  [[nodiscard]] StandInLogind& Logind() { return m_logind; }
  [[nodiscard]] bool Ping() {
    const QDBusMessage reply =
        m_bus.call(QDBusMessage::createMethodCall(
                       m_bus.baseService(), QStringLiteral("/org/freedesktop/login1"),
                       QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Ping")),
                   QDBus::Block, kWaitMs);
    return reply.type() == QDBusMessage::ReplyMessage;
  }

 private:
  QThread m_thread;
  StandInLogind m_logind;
  QDBusConnection m_bus{QString()};
  bool m_registered = false;
};

// Events on `fd` within `timeoutMs` (0: now).
short Events(int fd, int timeoutMs) {
  pollfd watch{fd, POLLIN, 0};
  return ::poll(&watch, 1, timeoutMs) == 1 ? watch.revents : 0;
}

TEST(LogindInhibitor, HoldsTheLockUntilItIsDestroyed) {
  TestBus bus(false);
  ASSERT_TRUE(bus.Ready());
  StandInService logind(QString::fromStdString(bus.Address()));
  ASSERT_TRUE(logind.Registered());

  LogindInhibitor inhibitor(QString::fromStdString(bus.Address()));
  std::string whyNot;
  auto lock = inhibitor.Acquire("Updating controller firmware on COM1", whyNot);
  ASSERT_NE(lock, nullptr) << whyNot;
  EXPECT_EQ(logind.Logind().Call(),
            (QStringList{QStringLiteral("sleep:shutdown:idle"), QStringLiteral("TavraLoader"),
                         QStringLiteral("Updating controller firmware on COM1"),
                         QStringLiteral("block")}));
  ASSERT_TRUE(logind.Ping());
  const int readEnd = logind.Logind().ReadEnd();
  EXPECT_EQ(Events(readEnd, 0), 0) << "the lock ended while it was held";

  lock.reset();
  EXPECT_NE(Events(readEnd, kWaitMs) & (POLLIN | POLLHUP), 0);
  char byte = 0;
  EXPECT_EQ(::read(readEnd, &byte, 1), 0);  // EOF: every write end is closed
}

TEST(LogindInhibitor, NoLogindOrNoBusGivesNoLockAndSaysWhy) {
  TestBus bus(false);
  ASSERT_TRUE(bus.Ready());
  std::string whyNot;
  EXPECT_EQ(LogindInhibitor(QString::fromStdString(bus.Address())).Acquire("x", whyNot), nullptr);
  EXPECT_NE(whyNot.find("ServiceUnknown"), std::string::npos) << whyNot;

  whyNot.clear();
  const std::string nowhere = "unix:path=" + (bus.Dir() / "no-bus").string();
  EXPECT_EQ(LogindInhibitor(QString::fromStdString(nowhere)).Acquire("x", whyNot), nullptr);
  EXPECT_NE(whyNot.find("no system bus"), std::string::npos) << whyNot;
}

}  // namespace
}  // namespace tavra::dbus::test

#include "logind_inhibitor_test.moc"
