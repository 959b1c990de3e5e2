#include "server/host/bus_service.h"

#include <QtDBus/QDBusError>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>
#include <QtDBus/QDBusServiceWatcher>
#include <algorithm>
#include <cassert>
#include <cstdio>
#include <exception>

#include "server/host/dbus_names.h"
#include "shared/dbus/contract_xml.h"
#include "shared/dbus/port_table_row.h"

namespace tavra::host {

namespace {

std::string Key(const QString& text) {
  return text.toStdString();
}

// A reply carrying `hr` whose further outputs (signature `out` after the result) are not set:
// 0, or an empty array.
QList<QVariant> UnsetOutputs(HRESULT hr, const QString& out) {
  QList<QVariant> reply{hr};
  for (qsizetype k = 1; k < out.size(); ++k) {
    if (out[k] == QLatin1Char('a')) {
      reply.append(QByteArray());
      ++k;  // the element type of "ay"
    } else {
      reply.append(0);
    }
  }
  return reply;
}

bool IsTavraPath(const QString& path) {
  return path.startsWith(BasePath() + QStringLiteral("/Port")) ||
         path.startsWith(BasePath() + QStringLiteral("/Tavra"));
}

}  // namespace

BusService::BusService(QDBusConnection connection, service::TavraPool& pool, QObject* parent)
    : QDBusVirtualObject(parent), m_connection(std::move(connection)), m_pool(pool) {
  assert(ServesExactlyTheContract());
  dbus::RegisterPortTableRowType();
  m_watcher = new QDBusServiceWatcher(this);
  m_watcher->setConnection(m_connection);
  m_watcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
          &BusService::OnConnectionGone);
}

BusService::~BusService() {
  m_dispatcher.Stop();
}

bool BusService::Export() {
  return m_connection.registerVirtualObject(PoolPath(), this, QDBusConnection::SingleNode);
}

void BusService::Suspend() {
  m_suspended = true;
}

void BusService::Withdraw() {
  m_withdrawn = true;
  m_connection.unregisterObject(PoolPath());
  std::lock_guard lock(m_tableLock);
  for (const auto& [path, exported] : m_exported) {
    m_connection.unregisterObject(path);
  }
}

void BusService::DropAll() {
  m_dispatcher.Stop();
  std::lock_guard lock(m_tableLock);
  if (m_references.Total(Key(PoolPath())) > 0) {
    m_pool.Release();
  }
  m_references.Clear();
  m_exported.clear();
}

QString BusService::introspect(const QString& path) const {
  if (path == PoolPath()) {
    return dbus::ContractInterfaceXml(PoolInterface());
  }
  if (IsTavraPath(path)) {
    return dbus::ContractInterfaceXml(TavraInterface());
  }
  return {};
}

bool BusService::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
  Q_UNUSED(connection);
  if (message.type() != QDBusMessage::MethodCallMessage) {
    return false;
  }
  const QString path = message.path();
  const QString iface = message.interface();
  const bool isPool = path == PoolPath();
  if (iface.isEmpty() && message.signature().isEmpty()) {
    // The standard members are served also when the call names no interface.
    const QString member = message.member();
    if (member == QLatin1StringView("Introspect")) {
      Reply(message, {QStringLiteral("<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object "
                                     "Introspection 1.0//EN\"\n \"http://www.freedesktop.org/"
                                     "standards/dbus/1.0/introspect.dtd\">\n<node>\n%1</node>\n")
                          .arg(introspect(path))});
      return true;
    }
    if (member == QLatin1StringView("Ping")) {
      Reply(message, {});
      return true;
    }
    if (member == QLatin1StringView("GetMachineId")) {
      Reply(message, {QString::fromLatin1(QDBusConnection::localMachineId())});
      return true;
    }
  }
  if (!iface.isEmpty() && iface != (isPool ? PoolInterface() : TavraInterface())) {
    return false;  // Introspectable, Peer, Properties: Qt answers
  }
  if (m_withdrawn) {
    ReplyError(message, QDBusError::errorString(QDBusError::UnknownObject), path);
    return true;
  }
  WatchConnection(message.service());
  if (!m_dispatcher.Post(Key(message.service()), [this, message] { Serve(message); })) {
    ReplyError(message, QDBusError::errorString(QDBusError::LimitsExceeded),
               QStringLiteral("too many calls of this connection are waiting"));
  }
  return true;
}

void BusService::Serve(const QDBusMessage& message) {
  const QString path = message.path();
  if (m_withdrawn) {
    ReplyError(message, QDBusError::errorString(QDBusError::UnknownObject), path);
    return;
  }
  try {
    Call call{message, message.arguments(), Key(message.service()), nullptr};
    if (path == PoolPath()) {
      const Method* method = Accept(call, PoolMethods());
      if (method != nullptr && EnsurePoolReference(message)) {
        method->handler(*this, call);
      }
      return;
    }
    {
      std::lock_guard lock(m_tableLock);
      const auto it = m_exported.find(path);
      if (it != m_exported.end()) {
        call.object = it->second.object;
      }
    }
    if (!call.object) {
      ReplyError(message, QDBusError::errorString(QDBusError::UnknownObject), path);
    } else if (const Method* method = Accept(call, TavraMethods())) {
      method->handler(*this, call);
    }
  } catch (const std::exception& e) {
    ReplyError(message, QDBusError::errorString(QDBusError::Failed),
               QString::fromLocal8Bit(e.what()));
  }
}

const BusService::Method* BusService::Accept(const Call& call, const std::vector<Method>& table) {
  const QDBusMessage& message = call.message;
  const QString member = message.member();
  const auto it = std::find_if(table.begin(), table.end(),
                               [&member](const Method& m) { return m.member == member; });
  if (it == table.end() || it->contract == nullptr) {
    ReplyError(message, QDBusError::errorString(QDBusError::UnknownMethod), member);
    return nullptr;
  }
  if (it->namesClient && !MayNameClient(call)) {
    // Answered as for an unknown id; the outputs are not set.
    Reply(message, UnsetOutputs(CommandFailed_ClientNotRegistered, it->contract->out));
    return nullptr;
  }
  if (message.signature() != it->contract->in) {
    ReplyError(message, QDBusError::errorString(QDBusError::InvalidArgs),
               QStringLiteral("%1 takes (%2)").arg(member, it->contract->in));
    return nullptr;
  }
  return &*it;
}

bool BusService::MayNameClient(const Call& call) {
  // A client id belongs to the connection that registered it: another connection naming it is
  // answered as for an unknown id, and nothing changes.
  if (call.args.isEmpty() || !call.message.signature().startsWith(QLatin1Char('i'))) {
    return true;  // no id to check; the signature check refuses the call
  }
  std::unique_lock lock(m_tableLock);
  const auto owner = m_references.OwnerOf({call.Path(), call.I(0)});
  lock.unlock();
  return !owner || *owner == call.sender;
}

void BusService::ReplyResult(const Call& call, HRESULT hr) {
  if (hr == service::kObjectDisconnected) {
    ReplyError(call.message, QDBusError::errorString(QDBusError::Disconnected),
               call.message.member());
  } else {
    Reply(call.message, {hr});
  }
}

bool BusService::EnsurePoolReference(const QDBusMessage& message) {
  const std::string sender = Key(message.service());
  std::lock_guard lock(m_tableLock);
  if (m_references.Held(Key(PoolPath()), sender) > 0) {
    return true;
  }
  if (m_suspended) {
    ReplyError(message, ShuttingDownError(), QStringLiteral("the server is shutting down"));
    return false;
  }
  AddPoolReferenceLocked(sender);
  return true;
}

bool BusService::MayHoldMoreLocked(const std::string& connection, bool neverStarted) const {
  // Never-started objects are the paths NeverStartedPath(k): the one without its number.
  static const std::string kNeverStartedPrefix =
      Key(NeverStartedPath(0)).substr(0, Key(NeverStartedPath(0)).size() - 1);
  const ReferenceTable::Holdings held =
      m_references.HeldBy(connection, neverStarted ? kNeverStartedPrefix : std::string());
  if (held.references >= kMaxReferencesPerConnection) {
    return false;
  }
  return !neverStarted || held.objects < kMaxNeverStartedPerConnection;
}

void BusService::AddPoolReferenceLocked(const std::string& connection) {
  if (m_references.Add(Key(PoolPath()), connection) == 1) {
    // The first outside reference: the pool takes its module lock.
    m_pool.AddRef();
  }
}

std::uint32_t BusService::ReleasePoolReferenceLocked(const std::string& connection) {
  const bool held = m_references.Held(Key(PoolPath()), connection) > 0;
  const std::uint32_t remaining = m_references.Release(Key(PoolPath()), connection);
  if (held && remaining == 0) {
    m_pool.Release();
  }
  return remaining;
}

void BusService::AddObjectReferenceLocked(const QString& path,
                                          const std::shared_ptr<ITavra>& object,
                                          const std::string& connection) {
  if (m_exported.find(path) == m_exported.end()) {
    if (!m_connection.registerVirtualObject(path, this, QDBusConnection::SingleNode)) {
      std::fprintf(stderr, "tavralink: cannot export %s\n", qPrintable(path));
    }
    m_exported.emplace(path, Exported{object});
  }
  m_references.Add(Key(path), connection);
}

std::shared_ptr<ITavra> BusService::TakeObjectLocked(const QString& path) {
  const auto it = m_exported.find(path);
  if (it == m_exported.end()) {
    return nullptr;
  }
  m_connection.unregisterObject(path);
  m_references.UnregisterObject(Key(path));
  // Moved out: the controller object's destruction removes its clients and closes its port,
  // which the caller lets happen after the unlock.
  std::shared_ptr<ITavra> object = std::move(it->second.object);
  m_exported.erase(it);
  return object;
}

void BusService::WatchConnection(const QString& uniqueName) {
  if (m_watched.contains(uniqueName)) {
    return;
  }
  m_watched.insert(uniqueName);
  m_watcher->addWatchedService(uniqueName);
  // The connection may have left before the watch was in place: ask the bus, without waiting
  // here (the answer comes after the watch's match rule, so nothing falls between the two).
  QDBusMessage ask = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  ask << uniqueName;
  auto* pending = new QDBusPendingCallWatcher(m_connection.asyncCall(ask), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this,
          [this, uniqueName](QDBusPendingCallWatcher* call) {
            const QDBusPendingReply<bool> reply = *call;
            if (reply.isValid() && !reply.value()) {
              OnConnectionGone(uniqueName);
            }
            call->deleteLater();
          });
}

void BusService::OnConnectionGone(const QString& uniqueName) {
  if (!m_watched.remove(uniqueName)) {
    return;
  }
  m_watcher->removeWatchedService(uniqueName);
  if (m_withdrawn) {
    return;
  }
  // Behind the connection's own calls still queued, so nothing it did comes after.
  (void)m_dispatcher.Post(Key(uniqueName), [this, uniqueName] { ConnectionGone(uniqueName); });
}

void BusService::ConnectionGone(const QString& uniqueName) {
  if (m_withdrawn) {
    return;
  }
  std::vector<std::pair<std::shared_ptr<ITavra>, std::int32_t>> clients;
  std::vector<std::shared_ptr<ITavra>> ended;
  bool heldPool = false;
  {
    std::lock_guard lock(m_tableLock);
    ReferenceTable::Dropped dropped = m_references.DropConnection(Key(uniqueName));
    for (const ReferenceTable::Registration& r : dropped.clients) {
      const auto it = m_exported.find(QString::fromStdString(r.object));
      if (it != m_exported.end()) {
        clients.emplace_back(it->second.object, r.clientId);
      }
    }
    for (const std::string& key : dropped.released) {
      const QString path = QString::fromStdString(key);
      if (path == PoolPath()) {
        heldPool = true;
      } else {
        ended.push_back(TakeObjectLocked(path));
      }
    }
  }
  // Its clients first, exactly as Client_Remove would remove them; then the objects it held,
  // and last its pool reference (the module lock may be the server's last).
  for (const auto& [object, clientId] : clients) {
    (void)object->Client_Remove(clientId);
  }
  clients.clear();
  ended.clear();
  if (heldPool) {
    m_pool.Release();
  }
}

void BusService::Reply(const QDBusMessage& message, const QList<QVariant>& arguments) {
  if (message.isReplyRequired()) {
    m_connection.send(message.createReply(arguments));
  }
}

void BusService::ReplyError(const QDBusMessage& message, const QString& name, const QString& text) {
  if (message.isReplyRequired()) {
    m_connection.send(message.createErrorReply(name, text));
  }
}

}  // namespace tavra::host
