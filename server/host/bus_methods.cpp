// BusService's dispatch tables and the handlers of the pool's and the controller objects'
// methods (bus_service.h); the signatures come from the contract (contract_methods.h).

#include <QtDBus/QDBusObjectPath>
#include <algorithm>

#include "server/host/bus_service.h"
#include "server/host/dbus_callback.h"
#include "server/host/dbus_names.h"
#include "server/stack/port_table.h"
#include "shared/dbus/port_table_row.h"

namespace tavra::host {

namespace {

const std::uint8_t* Bytes(const QByteArray& data) {
  // constData() of an empty array still points at a terminating zero: never null.
  return reinterpret_cast<const std::uint8_t*>(data.constData());
}

std::int32_t Length(const QByteArray& data) {
  return static_cast<std::int32_t>(data.size());
}

QVariant NullPath() {
  return QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")));
}

}  // namespace

const std::vector<BusService::Method>& BusService::PoolMethods() {
  static const std::vector<Method> methods = [] {
    std::vector<Method> table = {
        {QStringLiteral("GetTavraInterface"), &BusService::GetTavraInterface},
        {QStringLiteral("CreateTavra"), &BusService::CreateTavra},
        {QStringLiteral("AddRef"), &BusService::AddPoolRef},
        {QStringLiteral("Release"), &BusService::ReleasePool},
        {QStringLiteral("GetPortTable"), &BusService::GetPortTable},
    };
    for (Method& method : table) {
      method.contract = dbus::FindContractMethod(PoolInterface(), method.member);
    }
    return table;
  }();
  return methods;
}

const std::vector<BusService::Method>& BusService::TavraMethods() {
  // A call the controller object answers itself: the reply is its result code.
  using Op = HRESULT (*)(ITavra&, const Call&);
  const auto forward = [](Op op) {
    return [op](BusService& service, Call& call) {
      service.ReplyResult(call, op(*call.object, call));
    };
  };
  // The calls of a client id, a connection id and a data buffer.
  using DataOp = HRESULT (ITavra::*)(std::int32_t, std::int32_t, std::int32_t, const std::uint8_t*);
  const auto withData = [](DataOp op) {
    return [op](BusService& service, Call& call) {
      const QByteArray data = call.Ay(2);
      service.ReplyResult(call,
                          ((*call.object).*op)(call.I(0), call.I(1), Length(data), Bytes(data)));
    };
  };
  static const std::vector<Method> methods = [&] {
    std::vector<Method> table = {
        {QStringLiteral("AddRef"), &BusService::AddObjectRef},
        {QStringLiteral("Release"), &BusService::ReleaseObject},
        {QStringLiteral("Client_Add"), [](BusService& s, Call& c) { s.AddClient(c, false); }},
        {QStringLiteral("Client_Remove"), &BusService::RemoveClient, true},
        {QStringLiteral("Data_Request"), forward([](ITavra& o, const Call& c) {
           const QByteArray data = c.Ay(2);
           return o.Data_Request(c.I(0), c.I(1), Length(data), Bytes(data), c.Y(3), c.I(4));
         }),
         true},
        {QStringLiteral("Data_Response"), withData(&ITavra::Data_Response), true},
        {QStringLiteral("Connect_Request"), forward([](ITavra& o, const Call& c) {
           const QByteArray data = c.Ay(3);
           return o.Connect_Request(c.I(0), c.I(1), c.I(2), Length(data), Bytes(data));
         }),
         true},
        {QStringLiteral("Management_Request"), &BusService::ManagementRequest, true},
        {QStringLiteral("Connect_Response"), forward([](ITavra& o, const Call& c) {
           const QByteArray data = c.Ay(3);
           return o.Connect_Response(c.I(0), c.I(1), c.Y(2), Length(data), Bytes(data));
         }),
         true},
        {QStringLiteral("Management_SetupBackoff"), forward([](ITavra& o, const Call& c) {
           return o.Management_SetupBackoff(c.I(0), c.I(1), c.I(2), c.I(3), c.I(4));
         }),
         true},
        {QStringLiteral("Disconnect_Request"), withData(&ITavra::Disconnect_Request), true},
        {QStringLiteral("Disconnect_Response"), withData(&ITavra::Disconnect_Response), true},
        {QStringLiteral("ConnectionData_Request"), withData(&ITavra::ConnectionData_Request), true},
        {QStringLiteral("ConnectionData_Response"), withData(&ITavra::ConnectionData_Response),
         true},
        {QStringLiteral("Client_AddEx"), [](BusService& s, Call& c) { s.AddClient(c, true); }},
    };
    for (Method& method : table) {
      method.contract = dbus::FindContractMethod(TavraInterface(), method.member);
    }
    return table;
  }();
  return methods;
}

bool BusService::ServesExactlyTheContract() {
  const auto same = [](const QString& interfaceName, const std::vector<Method>& table) {
    const QList<dbus::ContractMethod>& contract = dbus::ContractMethods(interfaceName);
    const bool allInContract = std::all_of(table.begin(), table.end(),
                                           [](const Method& m) { return m.contract != nullptr; });
    const bool allServed =
        std::all_of(contract.begin(), contract.end(), [&table](const dbus::ContractMethod& c) {
          return std::any_of(table.begin(), table.end(),
                             [&c](const Method& m) { return m.member == c.name; });
        });
    return allInContract && allServed;
  };
  return same(PoolInterface(), PoolMethods()) && same(TavraInterface(), TavraMethods());
}

// ---------------------------------------------------------------------------------------------
// The pool

void BusService::GetTavraInterface(Call& call) {
  const std::int32_t commId = call.I(0);
  std::shared_ptr<ITavra> object;
  const HRESULT hr = m_pool.GetTavraInterface(commId, call.I(1), object);
  if (hr == service::kObjectDisconnected) {
    ReplyResult(call, hr);  // the disconnection error
    return;
  }
  if (hr != S_OK || !object) {
    Reply(call.message, {hr == S_OK ? E_FAIL : hr, NullPath()});
    return;
  }
  const QString path = PortPath(commId);
  {
    std::lock_guard lock(m_tableLock);
    if (MayHoldMoreLocked(call.sender, false)) {
      AddObjectReferenceLocked(path, object, call.sender);
      object.reset();
    }
  }
  if (object) {  // not taken: dropped here, without the lock
    object.reset();
    Reply(call.message, {CommandFailed_ResourcesLow, NullPath()});
    return;
  }
  Reply(call.message, {S_OK, QVariant::fromValue(QDBusObjectPath(path))});
}

void BusService::CreateTavra(Call& call) {
  if (m_suspended) {
    ReplyError(call.message, ShuttingDownError(), QStringLiteral("the server is shutting down"));
    return;
  }
  bool mayHold = false;
  {
    std::lock_guard lock(m_tableLock);
    mayHold = MayHoldMoreLocked(call.sender, true);
  }
  // The connection's calls run one at a time: nothing of its own slips in between.
  std::shared_ptr<ITavra> object = mayHold ? m_pool.CreateTavra() : nullptr;
  if (!object) {
    Reply(call.message, {CommandFailed_ResourcesLow, NullPath()});
    return;
  }
  QString path;
  {
    std::lock_guard lock(m_tableLock);
    path = NeverStartedPath(m_nextNeverStarted++);
    AddObjectReferenceLocked(path, object, call.sender);
  }
  Reply(call.message, {S_OK, QVariant::fromValue(QDBusObjectPath(path))});
}

void BusService::AddPoolRef(Call& call) {
  std::uint32_t total = 0;
  {
    std::lock_guard lock(m_tableLock);
    if (MayHoldMoreLocked(call.sender, false)) {
      AddPoolReferenceLocked(call.sender);
    }
    total = m_references.Total(call.Path());
  }
  Reply(call.message, {QVariant::fromValue(total)});
}

void BusService::ReleasePool(Call& call) {
  std::uint32_t remaining = 0;
  {
    std::lock_guard lock(m_tableLock);
    remaining = ReleasePoolReferenceLocked(call.sender);
  }
  Reply(call.message, {QVariant::fromValue(remaining)});
}

void BusService::GetPortTable(Call& call) {
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
  Reply(call.message, {QVariant::fromValue(rows)});
}

// ---------------------------------------------------------------------------------------------
// A controller object

void BusService::AddObjectRef(Call& call) {
  std::unique_lock lock(m_tableLock);
  const std::uint32_t total = MayHoldMoreLocked(call.sender, false)
                                  ? m_references.Add(call.Path(), call.sender)
                                  : m_references.Total(call.Path());
  lock.unlock();
  Reply(call.message, {QVariant::fromValue(total)});
}

void BusService::ReleaseObject(Call& call) {
  std::unique_lock lock(m_tableLock);
  const bool held = m_references.Held(call.Path(), call.sender) > 0;
  const std::uint32_t remaining = m_references.Release(call.Path(), call.sender);
  std::shared_ptr<ITavra> ended =
      held && remaining == 0 ? TakeObjectLocked(call.message.path()) : nullptr;
  lock.unlock();
  // Ended before the answer: when the caller hears 0 the port is closed.
  call.object.reset();
  ended.reset();
  Reply(call.message, {QVariant::fromValue(remaining)});
}

// Client_Add and Client_AddEx: the callback object sits on the sender's connection.
void BusService::AddClient(Call& call, bool extended) {
  const QString callbackPath = qvariant_cast<QDBusObjectPath>(call.args[0]).path();
  std::shared_ptr<ITavraCallback> callback;
  if (callbackPath != QLatin1StringView("/") && !callbackPath.isEmpty()) {
    callback = std::make_shared<DBusCallback>(m_connection, call.message.service(), callbackPath);
  }
  std::int32_t clientId = 0;
  std::int32_t connected = 0;
  const HRESULT hr = extended ? call.object->Client_AddEx(callback, clientId, connected)
                              : call.object->Client_Add(callback, clientId);
  if (hr == service::kObjectDisconnected) {
    ReplyResult(call, hr);
    return;
  }
  if (hr == S_OK) {
    std::lock_guard lock(m_tableLock);
    m_references.Register(call.sender, {call.Path(), clientId});
  } else {
    clientId = 0;
  }
  if (extended) {
    Reply(call.message, {hr, clientId, connected});
  } else {
    Reply(call.message, {hr, clientId});
  }
}

void BusService::RemoveClient(Call& call) {
  const HRESULT hr = call.object->Client_Remove(call.I(0));
  {
    std::lock_guard lock(m_tableLock);
    m_references.Unregister({call.Path(), call.I(0)});
  }
  ReplyResult(call, hr);
}

void BusService::ManagementRequest(Call& call) {
  std::int32_t result = 0;
  std::int32_t dataType = 0;
  std::int32_t dataSize = 0;
  std::vector<std::uint8_t> data;
  const HRESULT hr =
      call.object->Management_Request(call.I(0), call.I(1), result, dataType, dataSize, data);
  if (hr == service::kObjectDisconnected) {
    ReplyResult(call, hr);
    return;
  }
  // Exactly P_DataSize bytes travel (never more than the block holds).
  const std::size_t size =
      dataSize > 0 ? std::min(static_cast<std::size_t>(dataSize), data.size()) : 0;
  Reply(call.message,
        {hr, result, dataType, static_cast<std::int32_t>(size),
         QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(size))});
}

}  // namespace tavra::host
