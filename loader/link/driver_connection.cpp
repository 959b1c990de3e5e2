#include "loader/link/driver_connection.h"

#include <new>
#include <string>

namespace tavra::loader {

namespace {

std::string Num(long value) {
  return std::to_string(value);
}

}  // namespace

DriverConnection::DriverConnection(PoolFactory poolFactory, LogSink* log, MessageBoxes& boxes)
    : m_poolFactory(std::move(poolFactory)),
      m_log(log),
      m_boxes(boxes),
      m_state(std::make_shared<LinkState>(&boxes)) {}

DriverConnection::~DriverConnection() {
  // A callback object the server still holds must not reach the boxes after they are gone.
  m_state->SetNotices(nullptr);
}

void DriverConnection::Log(std::string_view line) const {
  if (m_log != nullptr) {
    m_log->WriteLine(line);
  }
}

HRESULT DriverConnection::CreatePool(std::shared_ptr<ITavraPool>& pool) {
  if (!m_poolFactory) {
    return E_FAIL;
  }
  HRESULT hr = m_poolFactory(kPoolContextAll, pool);
  if (hr == kInvalidArgument) {
    hr = m_poolFactory(kPoolContextLocal, pool);
  }
  if (hr == S_OK && !pool) {
    hr = E_FAIL;
  }
  return hr;
}

HRESULT DriverConnection::CreateInstance() {
  try {
    m_callback = std::make_shared<LoaderCallback>(m_state);
  } catch (const std::bad_alloc&) {
    constexpr auto kOutOfMemory = static_cast<HRESULT>(0x8007000Eu);
    m_boxes.Show("IDS_MB_18_TEXT", kErrorCaption);
    Log("CreateInstance(),Exception HResult= " + Num(kOutOfMemory));
    return kOutOfMemory;
  }
  Log("CreateInstance() Hresult= " + Num(S_OK));
  Log("callback->AddRef() RefCount= " + Num(m_callback->AddRef()));
  std::shared_ptr<ITavraPool> pool;
  const HRESULT hr = CreatePool(pool);
  if (hr != S_OK) {
    m_boxes.Show("IDS_MB_18_TEXT", kErrorCaption);
    Log("CoTavraPool Create(),Exception, RefCount= " + Num(m_callback->Count()));
    return hr;
  }
  m_pool = std::move(pool);
  m_state->SetComStatus(COM_DRIVER_CREATED);
  return S_OK;
}

HRESULT DriverConnection::ConnectDriver(std::int32_t port) {
  HRESULT hr = S_OK;
  if (ComStatus() == COM_NO_DRIVER) {
    hr = CreateInstance();
  }
  if (ComStatus() != COM_DRIVER_CREATED) {
    return hr;
  }
  std::shared_ptr<ITavra> tavra;
  hr = m_pool->GetTavraInterface(port, 0, tavra);
  Log("GetTavraInterface() Hresult= " + Num(hr));
  if (hr != S_OK) {
    ShowDriverError(static_cast<std::uint32_t>(hr));
    return hr;
  }
  m_tavra = std::move(tavra);
  m_port = port;
  std::int32_t clientId = 0;
  hr = m_tavra->Client_Add(m_callback, clientId);
  Log("Client_Add() Hresult= " + Num(hr) + " ClientId =" + Num(clientId));
  if (hr != S_OK) {
    m_boxes.Show("IDS_MB_18_TEXT", kErrorCaption);
    return hr;
  }
  m_clientId = clientId;
  // The server's first status indication may overtake Client_Add's answer: keep what it said.
  std::lock_guard lock(m_state->Lock());
  if (m_state->ComStatus() == COM_DRIVER_CREATED) {
    m_state->SetComStatus(COM_CONNECTED);
  }
  return S_OK;
}

HRESULT DriverConnection::ChangeComport(std::int32_t port) {
  Client_Remove();
  return ConnectDriver(port);
}

void DriverConnection::Client_Remove() {
  if (ComStatus() < COM_CONNECTED) {
    return;
  }
  const HRESULT hr = m_tavra ? m_tavra->Client_Remove(m_clientId) : S_OK;
  Log("Client_Remove() Hresult= " + Num(hr) + " ClientId =" + Num(m_clientId));
  const long remaining = m_tavra ? m_tavra.use_count() - 1 : 0;
  m_tavra.reset();
  Log("Release() Hresult= " + Num(remaining));
  m_state->SetComStatus(COM_DRIVER_CREATED);
}

void DriverConnection::ShowDriverError(std::uint32_t code) {
  switch (static_cast<HRESULT>(code)) {
    case CommandFailed_PortInUse: m_boxes.Show("IDS_MB_23_TEXT", kErrorCaption); break;
    case CommandFailed_PortNotFound: m_boxes.Show("IDS_MB_22_TEXT", kErrorCaption); break;
    case CommandFailed_PortOpenError: m_boxes.Show("IDS_MB_21_TEXT", kErrorCaption); break;
    case CommandFailed_NotInitialised: m_boxes.Show("IDS_MB_20_TEXT", kErrorCaption); break;
    case CommandFailed_ResourcesLow: m_boxes.Show("IDS_MB_24_TEXT", kErrorCaption); break;
    default: m_boxes.Show("IDS_MB_19_TEXT", kErrorCaption); break;
  }
}

HRESULT DriverConnection::RequestBootCode() {
  std::int32_t result = 0;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  const HRESULT hr =
      m_tavra->Management_Request(m_clientId, CONNECT_BOOTCODE, result, type, size, data);
  if (hr != S_OK) {
    m_boxes.Show("IDS_MB_16_TEXT", kErrorCaption);
  }
  return hr;
}

std::int32_t DriverConnection::ConnectBootCodeMode() {
  constexpr char kPrefix[] = "ConnectBootCodeMode() Management_Request CONNECT_STATUS :  ";
  std::int32_t result = 0;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  const HRESULT hr =
      m_tavra ? m_tavra->Management_Request(m_clientId, CONNECT_STATUS, result, type, size, data)
              : CommandFailed_ClientNotRegistered;
  if (hr != S_OK) {
    Log("ConnectBootCodeMode() Management_Request Failed hRes:" + Num(hr));
    return hr;
  }
  if (result == STATUS_ONLINE) {
    Log(std::string(kPrefix) + "Tavra NORMAL MODE");
  } else if (result == STATUS_NO_CONNECTION) {
    Log(std::string(kPrefix) + "NO Connection to Tavra");
  } else {
    Log(std::string(kPrefix) + "UNKNOWN !!!");
  }
  if (result != STATUS_ONLINE) {
    Log("ConnectBootCodeMode() Management_Request  P_Result:" + Num(result));
    return RequestBootCode();
  }
  if (type == kDataTypeIdentity && (data.empty() || data[0] == 0)) {
    m_boxes.Show("IDS_MB_17_TEXT", kErrorCaption);
    Log(std::string(kPrefix) + "UNKNOWN !!!");
    return -1;
  }
  if (type != kDataTypeIdentity) {
    Log("ConnectBootCodeMode() Management_Request Unknow DATATYPE ");
  }
  const std::uint8_t status = ComStatus();
  if (status == COM_CONNECTED || status == COM_TAVRA_ONLINE_NORMAL_MODE) {
    return RequestBootCode();
  }
  if (status == 4 || status == COM_TAVRA_BOOTCODE_MODE) {
    return 0;
  }
  Log("ConnectBootCodeMode() COM_Status !=COM_CONNECTED eller COM_Status "
      "!=COM_TAVRA_ONLINE_NORMAL_MODE");
  return 0;
}

void DriverConnection::KillComObject() {
  constexpr char kPrefix[] = "KillComObject() Management_Request RESET CONTROLLER:  ";
  HRESULT hr = S_OK;
  if (m_tavra) {
    std::int32_t result = 0;
    std::int32_t type = 0;
    std::int32_t size = 0;
    std::vector<std::uint8_t> data;
    const std::uint64_t seen = m_state->OfflineCount();
    hr = m_tavra->Management_Request(m_clientId, RESET_CONTROLLER, result, type, size, data);
    if (hr == S_OK) {
      // The reset is carried out by the link after the request returns: let it take the link
      // down for it (bounded) before the controller object is let go.
      (void)m_state->WaitForOffline(seen, kResetWait);
    }
  }
  switch (hr) {
    case S_OK: Log(std::string(kPrefix) + "Tavra RESET SUCCESS"); break;
    case CommandFailed_ResourcesLow:
      Log(std::string(kPrefix) + "CommandFailed_ResourcesLow");
      break;
    case CommandFailed_DriverBusy: Log(std::string(kPrefix) + "CommandFailed_DriverBusy"); break;
    case CommandFailed_ClientNotRegistered:
      Log(std::string(kPrefix) + "CommandFailed_ClientNotRegistered");
      break;
    default: Log(std::string(kPrefix) + "CommandFailed Unknown Error"); break;
  }
  Client_Remove();
  if (ComStatus() > COM_NO_DRIVER && m_callback) {
    m_callback->Release();
    m_releasedCallback = m_callback;
    m_callback.reset();
    m_state->SetComStatus(COM_NO_DRIVER);
  }
}

HRESULT DriverConnection::SendData(std::span<const std::uint8_t> message) {
  if (!m_tavra) {
    return CommandFailed_ClientNotRegistered;
  }
  return m_tavra->Data_Request(m_clientId, 2, static_cast<std::int32_t>(message.size()),
                               message.data(), 0, 0);
}

HRESULT DriverConnection::QueryStatus(std::int32_t& status, std::vector<std::uint8_t>& identity) {
  if (!m_tavra) {
    return CommandFailed_ClientNotRegistered;
  }
  std::int32_t type = 0;
  std::int32_t size = 0;
  return m_tavra->Management_Request(m_clientId, CONNECT_STATUS, status, type, size, identity);
}

bool DriverConnection::CallbackOutlived() const {
  return !m_releasedCallback.expired();
}

}  // namespace tavra::loader
