#include "server/host/bus_service.h"

#include <QtDBus/QDBusError>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>
#include <QtDBus/QDBusServiceWatcher>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>

#include "server/host/dbus_callback.h"
#include "server/host/dbus_names.h"
#include "server/stack/port_table.h"
#include "shared/dbus/contract_xml.h"
#include "shared/dbus/port_table_row.h"

namespace tavra::host {

namespace {

std::string Key(const QString& text) {
  return text.toStdString();
}

const std::uint8_t* Bytes(const QByteArray& data) {
  // constData() of an empty array still points at a terminating zero: never null.
  return reinterpret_cast<const std::uint8_t*>(data.constData());
}

std::int32_t Length(const QByteArray& data) {
  return static_cast<std::int32_t>(data.size());
}

QDBusObjectPath NullPath() {
  return QDBusObjectPath(QStringLiteral("/"));
}

bool IsTavraPath(const QString& path) {
  return path.startsWith(BasePath() + QStringLiteral("/Port")) ||
         path.startsWith(BasePath() + QStringLiteral("/Tavra"));
}

}  // namespace

BusService::BusService(QDBusConnection connection, service::TavraPool& pool, QObject* parent)
    : QDBusVirtualObject(parent), m_connection(std::move(connection)), m_pool(pool) {
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
    if (path == PoolPath()) {
      HandlePool(message);
      return;
    }
    std::shared_ptr<ITavra> object;
    {
      std::lock_guard lock(m_tableLock);
      const auto it = m_exported.find(path);
      if (it != m_exported.end()) {
        // A reference of the call's own: a Release inside drops it before the object ends.
        object = it->second.object;
      }
    }
    if (!object) {
      ReplyError(message, QDBusError::errorString(QDBusError::UnknownObject), path);
    } else {
      HandleTavra(message, std::move(object));
    }
  } catch (const std::exception& e) {
    ReplyError(message, QDBusError::errorString(QDBusError::Failed),
               QString::fromLocal8Bit(e.what()));
  }
}

void BusService::HandlePool(const QDBusMessage& message) {
  const QString member = message.member();
  const QString signature = message.signature();
  const QList<QVariant> args = message.arguments();
  const std::string sender = Key(message.service());

  struct Method {
    const char* name;
    const char* signature;
  };
  static constexpr Method kMethods[] = {{"GetTavraInterface", "ii"},
                                        {"CreateTavra", ""},
                                        {"AddRef", ""},
                                        {"Release", ""},
                                        {"GetPortTable", ""}};
  bool known = false;
  for (const Method& m : kMethods) {
    if (member == QLatin1StringView(m.name)) {
      known = true;
      if (signature != QLatin1StringView(m.signature)) {
        ReplyError(message, QDBusError::errorString(QDBusError::InvalidArgs),
                   QStringLiteral("%1 takes (%2)").arg(member, QLatin1StringView(m.signature)));
        return;
      }
    }
  }
  if (!known) {
    ReplyError(message, QDBusError::errorString(QDBusError::UnknownMethod), member);
    return;
  }
  if (!EnsurePoolReference(message)) {
    return;
  }

  if (member == QLatin1StringView("GetTavraInterface")) {
    const std::int32_t commId = args[0].toInt();
    std::shared_ptr<ITavra> object;
    const HRESULT hr = m_pool.GetTavraInterface(commId, args[1].toInt(), object);
    if (hr == service::kObjectDisconnected) {
      ReplyError(message, QDBusError::errorString(QDBusError::Disconnected), member);
      return;
    }
    if (hr != S_OK || !object) {
      Reply(message, {hr == S_OK ? E_FAIL : hr, QVariant::fromValue(NullPath())});
      return;
    }
    const QString path = PortPath(commId);
    {
      std::lock_guard lock(m_tableLock);
      if (MayHoldMoreLocked(sender, false)) {
        AddObjectReferenceLocked(path, object, sender);
        object.reset();
      }
    }
    if (object) {  // not taken: dropped here, without the lock
      object.reset();
      Reply(message, {CommandFailed_ResourcesLow, QVariant::fromValue(NullPath())});
      return;
    }
    Reply(message, {S_OK, QVariant::fromValue(QDBusObjectPath(path))});
  } else if (member == QLatin1StringView("CreateTavra")) {
    if (m_suspended) {
      ReplyError(message, ShuttingDownError(), QStringLiteral("the server is shutting down"));
      return;
    }
    bool mayHold = false;
    {
      std::lock_guard lock(m_tableLock);
      mayHold = MayHoldMoreLocked(sender, true);
    }
    // The connection's calls run one at a time: nothing of its own slips in between.
    std::shared_ptr<ITavra> object = mayHold ? m_pool.CreateTavra() : nullptr;
    if (!object) {
      Reply(message, {CommandFailed_ResourcesLow, QVariant::fromValue(NullPath())});
      return;
    }
    QString path;
    {
      std::lock_guard lock(m_tableLock);
      path = NeverStartedPath(m_nextNeverStarted++);
      AddObjectReferenceLocked(path, object, sender);
    }
    Reply(message, {S_OK, QVariant::fromValue(QDBusObjectPath(path))});
  } else if (member == QLatin1StringView("AddRef")) {
    std::uint32_t total = 0;
    {
      std::lock_guard lock(m_tableLock);
      if (MayHoldMoreLocked(sender, false)) {
        AddPoolReferenceLocked(sender);
      }
      total = m_references.Total(Key(PoolPath()));
    }
    Reply(message, {QVariant::fromValue(total)});
  } else if (member == QLatin1StringView("Release")) {
    std::uint32_t remaining = 0;
    {
      std::lock_guard lock(m_tableLock);
      remaining = ReleasePoolReferenceLocked(sender);
    }
    Reply(message, {QVariant::fromValue(remaining)});
  } else {  // GetPortTable
    QList<dbus::PortTableRow> rows;
    const auto snapshot = stack::GlobalPortTable().Snapshot();
    for (int port = 0; port < stack::PortTable::kPorts; ++port) {
      const stack::PortEntry& entry = snapshot[static_cast<std::size_t>(port)];
      dbus::PortTableRow row;
      row.port = port;
      row.inUse = entry.inUse;
      row.linkUp = entry.linkUp;
      row.clientCount = entry.clientCount;
      row.identity = QByteArray(reinterpret_cast<const char*>(entry.identity.bytes.data()),
                                static_cast<qsizetype>(entry.identity.bytes.size()));
      rows.append(row);
    }
    Reply(message, {QVariant::fromValue(rows)});
  }
}

void BusService::HandleTavra(const QDBusMessage& message, std::shared_ptr<ITavra> object) {
  const QString member = message.member();
  const QString signature = message.signature();
  const QList<QVariant> a = message.arguments();
  const QString path = message.path();
  const std::string sender = Key(message.service());
  const auto i = [&a](int n) { return a[n].toInt(); };
  const auto y = [&a](int n) { return static_cast<std::uint8_t>(a[n].toUInt()); };
  const auto ay = [&a](int n) { return a[n].toByteArray(); };

  // Replies with the result code alone, or with the disconnection error.
  const auto replyResult = [&](HRESULT hr) {
    if (hr == service::kObjectDisconnected) {
      ReplyError(message, QDBusError::errorString(QDBusError::Disconnected), member);
    } else {
      Reply(message, {hr});
    }
  };
  const auto expect = [&](const char* wanted) {
    if (signature == QLatin1StringView(wanted)) {
      return true;
    }
    ReplyError(message, QDBusError::errorString(QDBusError::InvalidArgs),
               QStringLiteral("%1 takes (%2)").arg(member, QLatin1StringView(wanted)));
    return false;
  };
  // Client_Add and Client_AddEx: the callback object sits on the sender's connection.
  const auto addClient = [&](bool extended) {
    if (!expect("o")) {
      return;
    }
    const QString callbackPath = qvariant_cast<QDBusObjectPath>(a[0]).path();
    std::shared_ptr<ITavraCallback> callback;
    if (callbackPath != QLatin1StringView("/") && !callbackPath.isEmpty()) {
      callback = std::make_shared<DBusCallback>(m_connection, message.service(), callbackPath);
    }
    std::int32_t clientId = 0;
    std::int32_t connected = 0;
    const HRESULT hr = extended ? object->Client_AddEx(callback, clientId, connected)
                                : object->Client_Add(callback, clientId);
    if (hr == service::kObjectDisconnected) {
      ReplyError(message, QDBusError::errorString(QDBusError::Disconnected), member);
      return;
    }
    if (hr == S_OK) {
      std::lock_guard lock(m_tableLock);
      m_references.Register(sender, {Key(path), clientId});
    } else {
      clientId = 0;
    }
    if (extended) {
      Reply(message, {hr, clientId, connected});
    } else {
      Reply(message, {hr, clientId});
    }
  };

  // A client id belongs to the connection that registered it: another connection naming it is
  // answered as for an unknown id, and nothing changes.
  static constexpr const char* kNamesClient[] = {
      "Client_Remove",           "Data_Request",           "Data_Response",
      "Connect_Request",         "Management_Request",     "Connect_Response",
      "Management_SetupBackoff", "Disconnect_Request",     "Disconnect_Response",
      "ConnectionData_Request",  "ConnectionData_Response"};
  const bool namesClient =
      std::any_of(std::begin(kNamesClient), std::end(kNamesClient),
                  [&](const char* n) { return member == QLatin1StringView(n); });
  if (namesClient && !a.isEmpty() && signature.startsWith(QLatin1Char('i'))) {
    std::unique_lock lock(m_tableLock);
    const auto owner = m_references.OwnerOf({Key(path), i(0)});
    lock.unlock();
    if (owner && *owner != sender) {
      if (member == QLatin1StringView("Management_Request")) {
        Reply(message, {CommandFailed_ClientNotRegistered, 0, 0, 0, QByteArray()});
      } else {
        Reply(message, {CommandFailed_ClientNotRegistered});
      }
      return;
    }
  }

  if (member == QLatin1StringView("AddRef")) {
    if (expect("")) {
      std::unique_lock lock(m_tableLock);
      const std::uint32_t total = MayHoldMoreLocked(sender, false)
                                      ? m_references.Add(Key(path), sender)
                                      : m_references.Total(Key(path));
      lock.unlock();
      Reply(message, {QVariant::fromValue(total)});
    }
  } else if (member == QLatin1StringView("Release")) {
    if (expect("")) {
      std::unique_lock lock(m_tableLock);
      const bool held = m_references.Held(Key(path), sender) > 0;
      const std::uint32_t remaining = m_references.Release(Key(path), sender);
      std::shared_ptr<ITavra> ended = held && remaining == 0 ? TakeObjectLocked(path) : nullptr;
      lock.unlock();
      // Ended before the answer: when the caller hears 0 the port is closed.
      object.reset();
      ended.reset();
      Reply(message, {QVariant::fromValue(remaining)});
    }
  } else if (member == QLatin1StringView("Client_Add")) {
    addClient(false);
  } else if (member == QLatin1StringView("Client_AddEx")) {
    addClient(true);
  } else if (member == QLatin1StringView("Client_Remove")) {
    if (expect("i")) {
      const HRESULT hr = object->Client_Remove(i(0));
      {
        std::lock_guard lock(m_tableLock);
        m_references.Unregister({Key(path), i(0)});
      }
      replyResult(hr);
    }
  } else if (member == QLatin1StringView("Data_Request")) {
    if (expect("iiayyi")) {
      const QByteArray data = ay(2);
      replyResult(object->Data_Request(i(0), i(1), Length(data), Bytes(data), y(3), i(4)));
    }
  } else if (member == QLatin1StringView("Data_Response")) {
    if (expect("iiay")) {
      const QByteArray data = ay(2);
      replyResult(object->Data_Response(i(0), i(1), Length(data), Bytes(data)));
    }
  } else if (member == QLatin1StringView("Connect_Request")) {
    if (expect("iiiay")) {
      const QByteArray data = ay(3);
      replyResult(object->Connect_Request(i(0), i(1), i(2), Length(data), Bytes(data)));
    }
  } else if (member == QLatin1StringView("Management_Request")) {
    if (expect("ii")) {
      std::int32_t result = 0;
      std::int32_t dataType = 0;
      std::int32_t dataSize = 0;
      std::vector<std::uint8_t> data;
      const HRESULT hr = object->Management_Request(i(0), i(1), result, dataType, dataSize, data);
      if (hr == service::kObjectDisconnected) {
        ReplyError(message, QDBusError::errorString(QDBusError::Disconnected), member);
        return;
      }
      // Exactly P_DataSize bytes travel (never more than the block holds).
      const std::size_t size =
          dataSize > 0 ? std::min(static_cast<std::size_t>(dataSize), data.size()) : 0;
      Reply(message,
            {hr, result, dataType, static_cast<std::int32_t>(size),
             QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(size))});
    }
  } else if (member == QLatin1StringView("Connect_Response")) {
    if (expect("iiyay")) {
      const QByteArray data = ay(3);
      replyResult(object->Connect_Response(i(0), i(1), y(2), Length(data), Bytes(data)));
    }
  } else if (member == QLatin1StringView("Management_SetupBackoff")) {
    if (expect("iiiii")) {
      replyResult(object->Management_SetupBackoff(i(0), i(1), i(2), i(3), i(4)));
    }
  } else if (member == QLatin1StringView("Disconnect_Request") ||
             member == QLatin1StringView("Disconnect_Response") ||
             member == QLatin1StringView("ConnectionData_Request") ||
             member == QLatin1StringView("ConnectionData_Response")) {
    if (expect("iiay")) {
      const QByteArray data = ay(2);
      using Op = HRESULT (ITavra::*)(std::int32_t, std::int32_t, std::int32_t, const std::uint8_t*);
      const Op op = member == QLatin1StringView("Disconnect_Request") ? &ITavra::Disconnect_Request
                    : member == QLatin1StringView("Disconnect_Response")
                        ? &ITavra::Disconnect_Response
                    : member == QLatin1StringView("ConnectionData_Request")
                        ? &ITavra::ConnectionData_Request
                        : &ITavra::ConnectionData_Response;
      replyResult(((*object).*op)(i(0), i(1), Length(data), Bytes(data)));
    }
  } else {
    ReplyError(message, QDBusError::errorString(QDBusError::UnknownMethod), member);
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
