#include "client/dbus_proxy/bus_session.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QProcessEnvironment>
#include <QtDBus/QDBusError>
#include <atomic>
#include <mutex>
#include <vector>

#include "client/dbus_proxy/call_status.h"
#include "shared/dbus/bus_names.h"
#include "shared/dbus/contract_methods.h"
#include "shared/dbus/port_table_row.h"

namespace tavra::dbus {
namespace {

constexpr std::chrono::milliseconds kThreadStartTimeout{10000};

// Bus threads whose session ended on the thread itself: they have been told to end and are
// joined here, at the next Open() or at process exit.
class ThreadReaper {
 public:
  ~ThreadReaper() { Reap(); }
  void Add(std::unique_ptr<BusThread> thread) {
    std::lock_guard lock(m_mutex);
    m_threads.push_back(std::move(thread));
  }
  void Reap() {
    std::vector<std::unique_ptr<BusThread>> threads;
    {
      std::lock_guard lock(m_mutex);
      threads.swap(m_threads);
    }
    threads.clear();  // each destructor joins
  }

 private:
  std::mutex m_mutex;
  std::vector<std::unique_ptr<BusThread>> m_threads;
};

ThreadReaper& Reaper() {
  static ThreadReaper reaper;
  return reaper;
}

QString NextConnectionName() {
  static std::atomic<unsigned> counter{0};
  return QStringLiteral("tavra-dbus-proxy-%1").arg(++counter);
}

// The D-Bus errors that say the server's name has no owner (any more).
bool IsServerGoneError(const QString& name) {
  return name == QDBusError::errorString(QDBusError::ServiceUnknown) ||
         name == QDBusError::errorString(QDBusError::Disconnected) ||
         name == QLatin1StringView("org.freedesktop.DBus.Error.NameHasNoOwner");
}

// The bus cannot start the server by itself: no service file, or one it could not run.
bool IsNotActivatable(const QDBusMessage& reply) {
  if (reply.type() != QDBusMessage::ErrorMessage) {
    return false;
  }
  return reply.errorName() == QDBusError::errorString(QDBusError::ServiceUnknown) ||
         reply.errorName().startsWith(QLatin1StringView("org.freedesktop.DBus.Error.Spawn."));
}

}  // namespace

QString ServerProgramPath(const QString& configured) {
  if (!configured.isEmpty()) {
    return configured;
  }
  QString fromEnvironment = QString::fromLocal8Bit(qgetenv("TAVRALINK_PROGRAM"));
  if (!fromEnvironment.isEmpty()) {
    return fromEnvironment;
  }
  const QFileInfo self(QStringLiteral("/proc/self/exe"));
  return QDir(QFileInfo(self.canonicalFilePath()).absolutePath())
      .filePath(QStringLiteral("tavralink"));
}

BusSession::BusSession(const ProxyOptions& options)
    : m_options(options),
      m_registry(std::make_shared<CallbackRegistry>()),
      m_names(std::make_shared<NameState>()),
      m_thread(std::make_unique<BusThread>(
          QString::fromStdString(options.busAddress), NextConnectionName(), m_registry, m_names)) {}

BusSession::~BusSession() {
  m_registry->Close();
  if (QThread::currentThread() == m_thread.get()) {
    m_thread->quit();
    Reaper().Add(std::move(m_thread));
  } else {
    m_thread.reset();  // ends the event loop and joins
  }
}

HRESULT BusSession::Open(const ProxyOptions& options,
                         std::shared_ptr<BusSession>& session,
                         QString* error) {
  Reaper().Reap();
  RegisterPortTableRowType();
  std::shared_ptr<BusSession> created(new BusSession(options));
  QString why;
  if (!created->m_thread->Open(kThreadStartTimeout, &why)) {
    SetCallFailed(QDBusError::errorString(QDBusError::Disconnected), why);
    if (error != nullptr) {
      *error = why;
    }
    return kServerUnavailable;
  }
  const HRESULT result = created->Activate(&why);
  if (result != S_OK) {
    if (!LastCallStatus().failed) {
      SetCallFailed(ServiceName(), why);
    }
    if (error != nullptr) {
      *error = why;
    }
    return result;
  }
  SetCallSucceeded();
  session = std::move(created);
  return S_OK;
}

QDBusMessage BusSession::CallPool(bool autoStart) {
  QDBusMessage message = QDBusMessage::createMethodCall(ServiceName(), PoolPath(), PoolInterface(),
                                                        QStringLiteral("GetPortTable"));
  message.setAutoStartService(autoStart);
  return m_thread->Connection().call(message, QDBus::Block,
                                     static_cast<int>(m_options.callTimeout.count()));
}

QDBusMessage BusSession::CallBus(const QString& method, const QString& name) {
  QDBusMessage message = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), method);
  message.setArguments({name});
  return m_thread->Connection().call(message, QDBus::Block,
                                     static_cast<int>(m_options.callTimeout.count()));
}

bool BusSession::NameHasOwner(const QString& name) {
  const QDBusMessage reply = CallBus(QStringLiteral("NameHasOwner"), name);
  return reply.type() == QDBusMessage::ReplyMessage &&
         reply.signature() == QLatin1StringView("b") && reply.arguments().at(0).toBool();
}

QString BusSession::NameOwner(const QString& name) {
  const QDBusMessage reply = CallBus(QStringLiteral("GetNameOwner"), name);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1StringView("s")) {
    return {};
  }
  return reply.arguments().at(0).toString();
}

HRESULT BusSession::Activate(QString* error) {
  QDBusMessage reply;
  for (int attempt = 0;; ++attempt) {
    std::uint64_t disappearedBefore = 0;
    {
      std::lock_guard lock(m_names->mutex);
      disappearedBefore = m_names->disappeared;
    }
    if (!m_options.startServer) {
      if (!NameHasOwner(ServiceName())) {
        *error = QString::fromLatin1(kNotRunningText);
        return kServerUnavailable;
      }
      reply = CallPool(false);
    } else {
      reply = CallPool(true);
      if (IsNotActivatable(reply)) {
        std::uint64_t appearedBefore = 0;
        {
          std::lock_guard lock(m_names->mutex);
          appearedBefore = m_names->appeared;
        }
        // Another client may have started one meanwhile.
        if (!NameHasOwner(ServiceName())) {
          if (!StartServerProgram(error)) {
            return kServerUnavailable;
          }
          const bool appeared = m_names->WaitFor(
              m_options.startTimeout, [&] { return m_names->appeared > appearedBefore; });
          if (!appeared && !NameHasOwner(ServiceName())) {
            *error = QStringLiteral("%1 did not appear on the bus within %2 ms")
                         .arg(ServiceName())
                         .arg(m_options.startTimeout.count());
            return kServerUnavailable;
          }
        }
        reply = CallPool(false);
      }
    }
    if (reply.type() == QDBusMessage::ErrorMessage && reply.errorName() == ShuttingDownError() &&
        attempt == 0) {
      // The running server is closing: wait until it has left, then ask again.
      const bool gone = m_names->WaitFor(m_options.startTimeout,
                                         [&] { return m_names->disappeared > disappearedBefore; });
      if (gone || !NameHasOwner(ServiceName())) {
        continue;
      }
    }
    break;
  }

  QList<QVariant> ignored;
  if (!CheckReply(reply, PoolInterface(), QStringLiteral("GetPortTable"), ignored)) {
    const CallStatus status = LastCallStatus();
    *error = QStringLiteral("%1: %2").arg(QString::fromStdString(status.errorName),
                                          QString::fromStdString(status.errorMessage));
    return kServerUnavailable;
  }
  // The pool reference is held by the connection that answered; normally the name's owner.
  QString server = NameOwner(ServiceName());
  const QString sender = reply.service();
  if (sender.startsWith(QLatin1Char(':')) && sender != server) {
    server = sender;
  }
  if (server.isEmpty()) {
    *error = QStringLiteral("%1 has no owner").arg(ServiceName());
    return kServerUnavailable;
  }
  m_server = server;
  m_registry->SetServer(server);
  m_thread->WatchServer(server);
  if (!NameHasOwner(server)) {
    NameWatch::MarkGone(*m_names);
  }
  return S_OK;
}

bool BusSession::StartServerProgram(QString* error) {
  const QString program = ServerProgramPath(QString::fromStdString(m_options.program));
  const QFileInfo info(program);
  if (!info.isFile() || !info.isExecutable()) {
    *error = QStringLiteral("%1 is not activatable and there is no program %2 to start")
                 .arg(ServiceName(), program);
    return false;
  }
  QProcess process;
  process.setProgram(info.absoluteFilePath());
  process.setWorkingDirectory(QDir::rootPath());
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  if (!m_thread->Address().isEmpty()) {
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_thread->Address());
  }
  process.setProcessEnvironment(environment);
  // A server outlives its starter; it keeps nothing of this process's terminal.
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  if (!process.startDetached()) {
    *error = QStringLiteral("cannot start %1: %2").arg(program, process.errorString());
    return false;
  }
  return true;
}

bool BusSession::CheckReply(const QDBusMessage& reply,
                            const QString& interfaceName,
                            const QString& method,
                            QList<QVariant>& arguments) {
  if (reply.type() == QDBusMessage::ErrorMessage) {
    SetCallFailed(reply.errorName(), reply.errorMessage());
    if (IsServerGoneError(reply.errorName())) {
      NameWatch::MarkGone(*m_names);
    }
    return false;
  }
  if (reply.type() != QDBusMessage::ReplyMessage) {
    SetCallFailed(QDBusError::errorString(QDBusError::NoReply), QStringLiteral("no reply"));
    return false;
  }
  const ContractMethod* contract = FindContractMethod(interfaceName, method);
  const QString replySignature = contract != nullptr ? contract->out : QString();
  if (reply.signature() != replySignature) {
    SetCallFailed(QString::fromLatin1(kBadReplyError),
                  QStringLiteral("%1 answered (%2), expected (%3)")
                      .arg(method, reply.signature(), replySignature));
    return false;
  }
  arguments = reply.arguments();
  SetCallSucceeded();
  return true;
}

bool BusSession::Call(const QString& path,
                      const QString& interfaceName,
                      const QString& method,
                      const QList<QVariant>& arguments,
                      QList<QVariant>& reply) {
  QDBusMessage message = QDBusMessage::createMethodCall(m_server, path, interfaceName, method);
  message.setArguments(arguments);
  message.setAutoStartService(false);
  const QDBusMessage answer = m_thread->Connection().call(
      message, QDBus::Block, static_cast<int>(m_options.callTimeout.count()));
  return CheckReply(answer, interfaceName, method, reply);
}

bool BusSession::ServerGone() const {
  std::lock_guard lock(m_names->mutex);
  return m_names->serverGone;
}

void BusSession::SetServerGoneHandler(std::function<void()> handler) {
  {
    std::lock_guard lock(m_names->mutex);
    if (!m_names->serverGone) {
      m_names->goneHandler = std::move(handler);
      return;
    }
  }
  if (handler) {
    handler();
  }
}

}  // namespace tavra::dbus
