#include "server/service/ctavra.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <utility>

#include "server/service/code_translation.h"
#include "server/stack/debug_trace.h"

namespace tavra::service {

namespace {

bool ValidPort(int port) {
  return port >= 0 && port < stack::PortTable::kPorts;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Call gate

bool CTavra::CallGate::Enter() {
  std::lock_guard lock(m_mutex);
  if (m_closed) {
    return false;
  }
  ++m_inFlight;
  return true;
}

void CTavra::CallGate::Leave() {
  std::lock_guard lock(m_mutex);
  if (--m_inFlight == 0 && m_closed) {
    m_drained.notify_all();
  }
}

bool CTavra::CallGate::CloseAndDrain() {
  std::unique_lock lock(m_mutex);
  if (m_closed) {
    return false;
  }
  m_closed = true;
  // Calls in progress are bounded: none waits for the link, Client_Remove at most
  // kDeliveryStopWait per client.
  m_drained.wait(lock, [this] { return m_inFlight == 0; });
  return true;
}

bool CTavra::CallGate::IsClosed() const {
  std::lock_guard lock(m_mutex);
  return m_closed;
}

template <typename Body>
HRESULT CTavra::Guarded(Body&& body) noexcept {
  if (!m_gate.Enter()) {
    return kObjectDisconnected;
  }
  HRESULT result = CommandFailed_UnknownError;
  try {
    result = body();
  } catch (...) {
    // The counterpart of a fault caught while a method runs: the caller gets a code.
    result = CommandFailed_UnknownError;
  }
  m_gate.Leave();
  return result;
}

// ---------------------------------------------------------------------------------------------
// Life cycle

std::shared_ptr<CTavra> CTavra::Create(stack::PortTable& portTable) {
  return std::make_shared<CTavra>(PrivateTag{}, portTable);
}

CTavra::CTavra(PrivateTag, stack::PortTable& portTable)
    : m_portTable(portTable), m_startError(kTavraNotStarted) {}

CTavra::~CTavra() {
  stack::DebugTrace("CTavra destructor starts");
  TakeDown();
  ReleaseSlot();
  {
    // Threads left running by Client_Remove: wait for their current callback to return.
    std::vector<std::unique_ptr<ClientDelivery>> lingering;
    {
      std::lock_guard lock(m_lingerMutex);
      lingering.swap(m_lingering);
    }
  }
  stack::DebugTrace("CTavra destructor stops");
  // m_moduleLock, the first member, is released last.
}

HRESULT CTavra::Start(int portNumber, std::unique_ptr<stack::ISerialPort> serialPort) {
  if (m_startAttempted.exchange(true)) {
    return CommandFailed_NotInitialised;
  }
  if (!ValidPort(portNumber)) {
    m_startError = stack::kPortNotFound;
    return TranslateInternalCode(stack::kPortNotFound);
  }
  m_port = portNumber;
  m_portTable.SetInUse(portNumber, true);
  m_ownsInUseFlag = true;

  stack::Result result = kTavraNoResources;
  std::unique_ptr<stack::CL4> cl4;
  try {
    cl4 = std::make_unique<stack::CL4>(std::move(serialPort), m_portTable);
    result = cl4->Start(portNumber,
                        [this](stack::L4Indication&& indication) { Route(std::move(indication)); });
  } catch (const std::bad_alloc&) {
    result = kTavraNoResources;
  }
  if (result != stack::kOk) {
    cl4.reset();  // a failed start leaves nothing open
    m_portTable.SetInUse(portNumber, false);
    m_ownsInUseFlag = false;
    m_startError = result;
    return TranslateInternalCode(result);
  }
  m_cl4 = std::move(cl4);
  m_startError = stack::kOk;
  m_started = true;
  return S_OK;
}

void CTavra::SetSlotRelease(std::function<void()> release) {
  std::lock_guard lock(m_slotMutex);
  m_slotRelease = std::move(release);
}

void CTavra::Disconnect() {
  if (!m_gate.CloseAndDrain()) {
    return;
  }
  TakeDown();
  ReleaseSlot();
}

void CTavra::TakeDown() {
  if (m_takenDown) {
    return;
  }
  m_takenDown = true;
  if (m_ownsInUseFlag) {
    m_portTable.SetInUse(m_port, false);
    m_ownsInUseFlag = false;
  }
  std::vector<std::int32_t> ids;
  {
    std::lock_guard lock(m_tableMutex);
    for (const ClientEntry& entry : m_clients) {
      if (entry.inUse) {
        ids.push_back(entry.clientId);
      }
    }
  }
  for (const std::int32_t id : ids) {
    static_cast<void>(RemoveClient(id));
  }
  // Stops CL4's threads (no route call afterwards) and CL2's, and closes the port.
  m_cl4.reset();
  m_started = false;
}

void CTavra::ReleaseSlot() {
  std::function<void()> release;
  {
    std::lock_guard lock(m_slotMutex);
    release.swap(m_slotRelease);
  }
  if (release) {
    release();
  }
}

void CTavra::ReapLingering() {
  std::vector<std::unique_ptr<ClientDelivery>> ended;
  {
    std::lock_guard lock(m_lingerMutex);
    auto it = std::partition(m_lingering.begin(), m_lingering.end(),
                             [](const std::unique_ptr<ClientDelivery>& d) {
                               // Stop with no wait: true once the thread has ended.
                               return !d->Stop(std::chrono::milliseconds(0));
                             });
    std::move(it, m_lingering.end(), std::back_inserter(ended));
    m_lingering.erase(it, m_lingering.end());
  }
}

// ---------------------------------------------------------------------------------------------
// Observation

bool CTavra::IsDisconnected() const {
  return m_gate.IsClosed();
}

bool CTavra::IsStarted() const {
  return m_started;
}

int CTavra::PortNumber() const {
  return m_port;
}

bool CTavra::IsLinkUp() const {
  // The gate keeps Disconnect from destroying CL4 under the look.
  if (!m_gate.Enter()) {
    return false;
  }
  const bool up = m_started && m_cl4 && m_cl4->IsLinkUp();
  m_gate.Leave();
  return up;
}

int CTavra::RegisteredClients() const {
  std::lock_guard lock(m_tableMutex);
  return static_cast<int>(std::count_if(m_clients.begin(), m_clients.end(),
                                        [](const ClientEntry& e) { return e.inUse; }));
}

// ---------------------------------------------------------------------------------------------
// Client table

CTavra::ClientEntry* CTavra::FindLocked(std::int32_t clientId) {
  for (ClientEntry& entry : m_clients) {
    if (entry.inUse && entry.clientId == clientId) {
      return &entry;
    }
  }
  return nullptr;
}

const CTavra::ClientEntry* CTavra::FindLocked(std::int32_t clientId) const {
  for (const ClientEntry& entry : m_clients) {
    if (entry.inUse && entry.clientId == clientId) {
      return &entry;
    }
  }
  return nullptr;
}

HRESULT CTavra::NotStartedResult() const {
  return TranslateInternalCode(m_startError);
}

HRESULT CTavra::AddClient(const std::shared_ptr<ITavraCallback>& callback, std::int32_t& clientId) {
  if (!m_started) {
    return NotStartedResult();
  }
  if (!callback) {
    return TranslateInternalCode(stack::kUnknownKey);
  }
  std::int32_t key = 0;
  const stack::Result added = m_cl4->AddClient(key);
  if (added != stack::kOk) {
    return TranslateInternalCode(added);
  }

  std::unique_ptr<ClientDelivery> delivery;
  try {
    delivery = std::make_unique<ClientDelivery>();
  } catch (const std::bad_alloc&) {
    static_cast<void>(m_cl4->RemoveClient(key));
    return TranslateInternalCode(kTavraNoResources);
  }
  const stack::L4Backoff defaults = stack::DefaultL4Backoff();

  bool placed = false;
  bool threadStarted = false;
  {
    std::lock_guard lock(m_tableMutex);
    for (ClientEntry& entry : m_clients) {
      if (entry.inUse) {
        continue;
      }
      entry.inUse = true;
      entry.clientId = key;
      entry.backoff = defaults;
      entry.statusPending = true;
      entry.held.clear();
      entry.delivery = std::move(delivery);
      threadStarted = entry.delivery->Start(callback);
      placed = true;
      break;
    }
  }
  if (!placed) {
    static_cast<void>(m_cl4->RemoveClient(key));
    return TranslateInternalCode(kTavraClientNotInTable);
  }
  // Counted with the entry, so that every freed entry (RemoveClient) has been counted once.
  m_portTable.AddClients(m_port, 1);
  if (!threadStarted) {
    static_cast<void>(RemoveClient(key));
    return TranslateInternalCode(kTavraNoResources);
  }

  // The new client's first callback: the link state, through the link layer in the order of
  // the link's own indications.
  stack::ManagementOutput ignored;
  if (m_cl4->Management(key, STATUS_INDICATION, ignored) != stack::kOk) {
    SupplyStatusIndication(key);
  }
  clientId = key;
  return S_OK;
}

void CTavra::SupplyStatusIndication(std::int32_t clientId) {
  stack::ManagementOutput status;
  const bool online = m_cl4->Management(clientId, CONNECT_STATUS, status) == stack::kOk &&
                      status.result == STATUS_ONLINE && !status.data.empty();
  auto item = online ? MakeIndicationItem(clientId, kKindManagementIndication, STATUS_ONLINE,
                                          kSubtypeOnline, 0, status.data)
                     : MakeIndicationItem(clientId, kKindManagementIndication, STATUS_NO_CONNECTION,
                                          kSubtypeNoConnection, 0);
  std::lock_guard lock(m_tableMutex);
  ClientEntry* entry = FindLocked(clientId);
  if (entry != nullptr && entry->statusPending) {
    DeliverLocked(*entry, std::move(item));
  }
}

stack::Result CTavra::RemoveClient(std::int32_t clientId) {
  std::unique_ptr<ClientDelivery> delivery;
  {
    std::lock_guard lock(m_tableMutex);
    ClientEntry* entry = FindLocked(clientId);
    if (entry == nullptr) {
      return kTavraClientNotInTable;
    }
    // From here the route function drops the client's items.
    entry->inUse = false;
    entry->statusPending = false;
    entry->held.clear();
    delivery = std::move(entry->delivery);
  }
  const stack::Result removed = m_cl4 ? m_cl4->RemoveClient(clientId) : kTavraNotStarted;

  // Waited for without the table lock: the route function and the client's own calls from
  // inside a callback go on meanwhile.
  if (delivery && !delivery->Stop(kDeliveryStopWait)) {
    // Still inside a callback (or this is the delivery thread itself): the thread keeps its own
    // reference to the callback object; keep the delivery until the thread has ended.
    std::lock_guard lock(m_lingerMutex);
    m_lingering.push_back(std::move(delivery));
  }
  m_portTable.AddClients(m_port, -1);
  ReapLingering();
  return removed;
}

// ---------------------------------------------------------------------------------------------
// Route function

void CTavra::DeliverLocked(ClientEntry& entry, std::unique_ptr<IndicationItem> item) {
  if (!entry.statusPending) {
    entry.delivery->Post(std::move(item));
    return;
  }
  if (item->kind != kKindManagementIndication) {
    entry.held.push_back(std::move(item));
    return;
  }
  entry.statusPending = false;
  entry.delivery->Post(std::move(item));
  for (std::unique_ptr<IndicationItem>& held : entry.held) {
    entry.delivery->Post(std::move(held));
  }
  entry.held.clear();
}

void CTavra::Route(stack::L4Indication&& indication) noexcept {
  try {
    auto item = std::make_unique<IndicationItem>();
    item->clientId = indication.clientId;
    item->kind = static_cast<std::int32_t>(indication.kind);
    item->a = indication.a;
    item->b = indication.b;
    item->c = indication.c;
    item->data = std::move(indication.data);

    std::lock_guard lock(m_tableMutex);
    ClientEntry* entry = FindLocked(item->clientId);
    if (entry == nullptr || !entry->delivery) {
      return;  // the client has gone: the item is freed
    }
    DeliverLocked(*entry, std::move(item));
  } catch (const std::bad_alloc&) {
    // No memory for the item: it is lost, the link stack goes on.
  }
}

// ---------------------------------------------------------------------------------------------
// ITavra

template <typename Op>
HRESULT CTavra::Request(std::int32_t clientId, Op&& op) {
  if (!m_started) {
    return NotStartedResult();
  }
  stack::L4Backoff backoff;
  {
    std::lock_guard lock(m_tableMutex);
    const ClientEntry* entry = FindLocked(clientId);
    if (entry == nullptr) {
      return TranslateInternalCode(kTavraClientNotInTable);
    }
    backoff = entry->backoff;
  }
  return TranslateInternalCode(op(*m_cl4, backoff));
}

HRESULT CTavra::Client_Add(std::shared_ptr<ITavraCallback> P_Callback, std::int32_t& P_ClientId) {
  return Guarded([&] { return AddClient(P_Callback, P_ClientId); });
}

HRESULT CTavra::Client_AddEx(std::shared_ptr<ITavraCallback> P_Callback,
                             std::int32_t& P_ClientId,
                             std::int32_t& P_ConnectionToTavra) {
  return Guarded([&] {
    const HRESULT added = AddClient(P_Callback, P_ClientId);
    P_ConnectionToTavra = (m_started && m_cl4 && m_cl4->IsLinkUp()) ? 1 : 0;
    return added;
  });
}

HRESULT CTavra::Client_Remove(std::int32_t P_ClientId) {
  return Guarded([&] {
    if (!m_started) {
      return NotStartedResult();
    }
    return TranslateInternalCode(RemoveClient(P_ClientId));
  });
}

HRESULT CTavra::Data_Request(std::int32_t P_ClientId,
                             std::int32_t P_RxId,
                             std::int32_t P_DataLength,
                             const std::uint8_t* P_Data,
                             std::uint8_t P_L7ResponseRequired,
                             std::int32_t P_RequestId) {
  return Guarded([&] {
    return Request(P_ClientId, [&](stack::CL4& cl4, const stack::L4Backoff& backoff) {
      return cl4.DataRequest(P_ClientId, P_RxId, P_DataLength, P_Data, backoff,
                             P_L7ResponseRequired != 0, P_RequestId);
    });
  });
}

HRESULT CTavra::Data_Response(std::int32_t P_ClientId,
                              std::int32_t P_ResponseId,
                              std::int32_t P_DataLength,
                              const std::uint8_t* P_Data) {
  return Guarded([&] {
    return Request(P_ClientId, [&](stack::CL4& cl4, const stack::L4Backoff& backoff) {
      return cl4.DataResponse(P_ClientId, P_ResponseId, P_DataLength, P_Data, backoff);
    });
  });
}

HRESULT CTavra::Connect_Request(std::int32_t P_ClientId,
                                std::int32_t P_RequestId,
                                std::int32_t P_RxId,
                                std::int32_t P_DataLength,
                                const std::uint8_t* P_Data) {
  return Guarded([&] {
    return Request(P_ClientId, [&](stack::CL4& cl4, const stack::L4Backoff& backoff) {
      return cl4.ConnectRequest(P_ClientId, P_RequestId, P_RxId, P_DataLength, P_Data, backoff);
    });
  });
}

HRESULT CTavra::Management_Request(std::int32_t P_ClientId,
                                   std::int32_t P_Command,
                                   std::int32_t& P_Result,
                                   std::int32_t& P_DataType,
                                   std::int32_t& P_DataSize,
                                   std::vector<std::uint8_t>& P_Data) {
  return Guarded([&] {
    if (!m_started) {
      return NotStartedResult();
    }
    {
      std::lock_guard lock(m_tableMutex);
      if (FindLocked(P_ClientId) == nullptr) {
        return TranslateInternalCode(kTavraClientNotInTable);
      }
    }
    if (P_Command < kFirstManagementCommand || P_Command > kLastManagementCommand) {
      return CommandFailed_UnknownCommand;
    }
    stack::ManagementOutput out;
    const stack::Result result = m_cl4->Management(P_ClientId, P_Command, out);
    if (result == stack::kOk) {
      // The size always says what the buffer holds.
      P_Result = out.result;
      P_DataType = out.dataType;
      P_Data = std::move(out.data);
      P_DataSize = static_cast<std::int32_t>(P_Data.size());
    }
    return TranslateInternalCode(result);
  });
}

HRESULT CTavra::Connect_Response(std::int32_t P_ClientId,
                                 std::int32_t P_ConnectionId,
                                 std::uint8_t P_Accept,
                                 std::int32_t P_DataLength,
                                 const std::uint8_t* P_Data) {
  return Guarded([&] {
    return Request(P_ClientId, [&](stack::CL4& cl4, const stack::L4Backoff& backoff) {
      return cl4.ConnectResponse(P_ClientId, P_ConnectionId, P_Accept != 0, P_DataLength, P_Data,
                                 backoff);
    });
  });
}

HRESULT CTavra::Management_SetupBackoff(std::int32_t P_ClientId,
                                        std::int32_t P_L4_BackoffRetries,
                                        std::int32_t P_L4_BackoffTime,
                                        std::int32_t P_L2_BackoffRetries,
                                        std::int32_t P_L2_BackoffTime) {
  return Guarded([&] {
    if (!m_started) {
      return NotStartedResult();
    }
    std::lock_guard lock(m_tableMutex);
    ClientEntry* entry = FindLocked(P_ClientId);
    if (entry == nullptr) {
      return TranslateInternalCode(kTavraClientNotInTable);
    }
    // Unchecked: a value out of range fails the next request that uses it.
    entry->backoff = stack::L4Backoff{P_L4_BackoffRetries, P_L4_BackoffTime, P_L2_BackoffRetries,
                                      P_L2_BackoffTime};
    return S_OK;
  });
}

HRESULT CTavra::Disconnect_Request(std::int32_t P_ClientId,
                                   std::int32_t P_ConnectionId,
                                   std::int32_t P_DataLength,
                                   const std::uint8_t* P_Data) {
  return Guarded([&] {
    return Request(P_ClientId, [&](stack::CL4& cl4, const stack::L4Backoff& backoff) {
      return cl4.DisconnectRequest(P_ClientId, P_ConnectionId, P_DataLength, P_Data, backoff);
    });
  });
}

HRESULT CTavra::Disconnect_Response(std::int32_t P_ClientId,
                                    std::int32_t P_ConnectionId,
                                    std::int32_t P_DataLength,
                                    const std::uint8_t* P_Data) {
  return Guarded([&] {
    return Request(P_ClientId, [&](stack::CL4& cl4, const stack::L4Backoff& backoff) {
      return cl4.DisconnectResponse(P_ClientId, P_ConnectionId, P_DataLength, P_Data, backoff);
    });
  });
}

HRESULT CTavra::ConnectionData_Request(std::int32_t P_ClientId,
                                       std::int32_t P_ConnectionId,
                                       std::int32_t P_DataLength,
                                       const std::uint8_t* P_Data) {
  return Guarded([&] {
    return Request(P_ClientId, [&](stack::CL4& cl4, const stack::L4Backoff& backoff) {
      return cl4.ConnectionDataRequest(P_ClientId, P_ConnectionId, P_DataLength, P_Data, backoff);
    });
  });
}

HRESULT CTavra::ConnectionData_Response(std::int32_t P_ClientId,
                                        std::int32_t P_ConnectionId,
                                        std::int32_t P_DataLength,
                                        const std::uint8_t* P_Data) {
  return Guarded([&] {
    return Request(P_ClientId, [&](stack::CL4& cl4, const stack::L4Backoff& backoff) {
      return cl4.ConnectionDataResponse(P_ClientId, P_ConnectionId, P_DataLength, P_Data, backoff);
    });
  });
}

}  // namespace tavra::service
