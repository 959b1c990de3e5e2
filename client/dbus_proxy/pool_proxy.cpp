#include "client/dbus_proxy/pool_proxy.h"

#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusObjectPath>

#include "client/dbus_proxy/call_status.h"
#include "client/dbus_proxy/tavra_proxy.h"
#include "shared/dbus/bus_names.h"
#include "shared/dbus/port_table_row.h"

namespace tavra::dbus {

PoolProxy::PoolProxy(std::shared_ptr<BusSession> session) : m_session(std::move(session)) {}

PoolProxy::~PoolProxy() {
  QList<QVariant> reply;
  (void)m_session->Call(PoolPath(), PoolInterface(), QStringLiteral("Release"), {}, reply);
}

HRESULT PoolProxy::TakeObject(const char* method,
                              const QList<QVariant>& arguments,
                              std::shared_ptr<ITavra>& P_Tavra) {
  P_Tavra.reset();
  QList<QVariant> reply;
  if (!m_session->Call(PoolPath(), PoolInterface(), QString::fromLatin1(method), arguments,
                       reply)) {
    return kCallFailed;
  }
  const auto result = static_cast<HRESULT>(reply[0].toInt());
  if (result != S_OK) {
    return result;
  }
  const QString path = reply[1].value<QDBusObjectPath>().path();
  if (path.isEmpty() || path == QLatin1StringView("/")) {
    SetCallFailed(
        QString::fromLatin1(kBadReplyError),
        QStringLiteral("%1 answered 0 without an object").arg(QString::fromLatin1(method)));
    return kCallFailed;
  }
  P_Tavra = std::make_shared<TavraProxy>(m_session, path);
  return S_OK;
}

HRESULT PoolProxy::GetTavraInterface(std::int32_t P_CommId,
                                     std::int32_t P_Reserved,
                                     std::shared_ptr<ITavra>& P_Tavra) {
  return TakeObject("GetTavraInterface",
                    {QVariant::fromValue(static_cast<int>(P_CommId)),
                     QVariant::fromValue(static_cast<int>(P_Reserved))},
                    P_Tavra);
}

HRESULT PoolProxy::CreateTavra(std::shared_ptr<ITavra>& P_Tavra) {
  return TakeObject("CreateTavra", {}, P_Tavra);
}

HRESULT PoolProxy::GetPortTable(std::vector<PortStatus>& ports) {
  QList<QVariant> reply;
  if (!m_session->Call(PoolPath(), PoolInterface(), QStringLiteral("GetPortTable"), {}, reply)) {
    return kCallFailed;
  }
  // Read to the end first: leaving an array half read leaks the demarshaller's state.
  QList<PortTableRow> received;
  const auto argument = reply[0].value<QDBusArgument>();
  argument.beginArray();
  while (!argument.atEnd()) {
    PortTableRow row;
    argument >> row;
    received.append(row);
  }
  argument.endArray();
  if (received.size() != 10) {
    SetCallFailed(QString::fromLatin1(kBadReplyError),
                  QStringLiteral("GetPortTable gave %1 rows, not 10").arg(received.size()));
    return kCallFailed;
  }
  std::vector<PortStatus> rows;
  for (const PortTableRow& row : received) {
    const auto index = static_cast<int>(rows.size());
    if (row.port != index || row.identity.size() != 6) {
      SetCallFailed(
          QString::fromLatin1(kBadReplyError),
          QStringLiteral("GetPortTable row %1 is not port %1 with 6 identity bytes").arg(index));
      return kCallFailed;
    }
    PortStatus status;
    status.port = row.port;
    status.inUse = row.inUse;
    status.linkUp = row.linkUp;
    status.clientCount = row.clientCount;
    for (std::size_t i = 0; i < status.identity.bytes.size(); ++i) {
      status.identity.bytes[i] = static_cast<std::uint8_t>(row.identity[static_cast<qsizetype>(i)]);
    }
    rows.push_back(status);
  }
  ports = std::move(rows);
  return S_OK;
}

std::string PoolProxy::ServerName() const {
  return m_session->ServerName().toStdString();
}

bool PoolProxy::ServerGone() const {
  return m_session->ServerGone();
}

void PoolProxy::SetServerGoneHandler(std::function<void()> handler) {
  m_session->SetServerGoneHandler(std::move(handler));
}

HRESULT ConnectTavraPool(const ProxyOptions& options,
                         std::shared_ptr<TavraPoolProxy>& pool,
                         std::string* error) {
  std::shared_ptr<BusSession> session;
  QString why;
  const HRESULT result = BusSession::Open(options, session, &why);
  if (result != S_OK) {
    if (error != nullptr) {
      *error = why.toStdString();
    }
    return result;
  }
  pool = std::make_shared<PoolProxy>(std::move(session));
  return S_OK;
}

}  // namespace tavra::dbus
