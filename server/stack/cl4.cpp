#include "server/stack/cl4.h"

#include <algorithm>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "server/stack/cl4_impl.h"
#include "server/stack/frame_codec.h"
#include "server/stack/server_settings.h"
#include "shared/result_codes.h"

namespace tavra::stack {

namespace {

// The controller's transport entity is at address 0x21: destination number 1.
constexpr std::int32_t kControllerTransport = 0x01;

// A new job for CL2 with the data `fill` writes; nothing when memory runs out.
template <typename Fill>
std::unique_ptr<L2Job> NewJob(const Fill& fill) {
  try {
    auto job = std::make_unique<L2Job>();
    fill(job->data);
    return job;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool IsValidRxId(std::int32_t rxId) {
  return rxId >= 0 && rxId <= kL4MaxRxId;
}

using ClientBytes = std::span<const std::uint8_t>;

// What a client's request is checked for besides the started port, the client and its length.
struct RequestChecks {
  bool l4Backoff = true;                            // it waits for the controller's answer
  std::optional<std::int32_t> rxId = std::nullopt;  // the destination it names, if any
};
constexpr RequestChecks kRequestChecks{};
// An answer to the controller waits for nothing and names no destination.
constexpr RequestChecks kAnswerChecks{.l4Backoff = false};

// The checks in their order, then `handOver` with the client's data once its length has passed.
template <typename HandOver>
Result Checked(const CL4Impl& impl,
               std::int32_t key,
               std::int32_t length,
               const std::uint8_t* data,
               const L4Backoff& backoff,
               const RequestChecks& checks,
               const HandOver& handOver) {
  if (const Result r = impl.CommonChecks(key, length, data, backoff, checks.l4Backoff); r != kOk) {
    return r;
  }
  if (checks.rxId && !IsValidRxId(*checks.rxId)) {
    return kL4InvalidRxId;
  }
  return handOver(ClientBytes(data, static_cast<std::size_t>(length)));
}

}  // namespace

L4Backoff DefaultL4Backoff() {
  const SettingsRecord& s = ServerSettings();
  return L4Backoff{s.Get(Setting::L4_BackoffRetransmissions), s.Get(Setting::L4_BackoffTime),
                   s.Get(Setting::L2_BackoffRetransmissions), s.Get(Setting::L2_BackoffTime)};
}

// ---------------------------------------------------------------------------------------------
// CL4Impl: life cycle, clients, management, shared helpers.

CL4Impl::CL4Impl(std::unique_ptr<ISerialPort> serialPort, PortTable& portTable)
    : m_portTable(portTable),
      m_serialPort(std::move(serialPort)),
      m_storedError(kL4StartFailed),
      m_responseTicks(ToTicks(ServerSettings().Get(Setting::L4_NoResponseFromClientTimeout))) {}

CL4Impl::~CL4Impl() {
  m_stop.Set();
  if (m_dispatcher.joinable()) {
    m_dispatcher.join();
  }
  if (m_timer.joinable()) {
    m_timer.join();
  }
  m_started = false;
  m_cl2.reset();  // joins CL2's threads; nothing appends to m_inbound afterwards
  while (m_inbound.Pop()) {
  }
}

Result CL4Impl::Start(int portNumber, L4Route route) {
  if (m_startAttempted.exchange(true)) {
    return kL4StartFailed;
  }
  m_started = false;
  if (!route || !m_serialPort) {
    m_storedError = kL4StartFailed;
    return kL4StartFailed;
  }
  m_route = std::move(route);
  try {
    m_cl2 = std::make_unique<CL2>(std::move(m_serialPort), m_portTable);
    m_dispatcher = std::thread([this] { DispatcherLoop(); });
    m_timer = std::thread([this] { TimerLoop(); });
  } catch (const std::system_error&) {
    m_storedError = kL4StartFailed;
    return kL4StartFailed;
  } catch (const std::bad_alloc&) {
    m_storedError = kL4StartFailed;
    return kL4StartFailed;
  }
  Result result = m_cl2->Open(portNumber, &m_inboundSignal, &m_inbound);
  if (result != kOk) {
    m_storedError = result;
    return result;
  }
  std::int32_t ownKey = 0;
  result = m_cl2->RegisterTransport(ownKey);
  if (result != kOk) {
    m_storedError = result;
    return result;
  }
  m_ownKey = ownKey;
  m_storedError = kOk;
  m_started = true;
  return kOk;
}

Result CL4Impl::StoredErrorIfNotStarted() const {
  if (!m_started.load()) {
    const Result stored = m_storedError.load();
    return stored != kOk ? stored : kL4StartFailed;
  }
  return kOk;
}

bool CL4Impl::IsRegisteredClient(std::int32_t key) const {
  std::lock_guard lock(m_clientMutex);
  return std::any_of(m_clients.begin(), m_clients.end(),
                     [key](const L4ClientEntry& e) { return e.used && e.key == key; });
}

Result CL4Impl::CommonChecks(std::int32_t key,
                             std::int32_t length,
                             const std::uint8_t* data,
                             const L4Backoff& backoff,
                             bool checkL4) const {
  if (const Result r = StoredErrorIfNotStarted(); r != kOk) {
    return r;
  }
  if (!IsRegisteredClient(key)) {
    return kL4UnknownClient;
  }
  // A negative length, or a positive one without data, is refused like an over-long one.
  if (length < 0 || length > kL4MaxData || (length > 0 && data == nullptr)) {
    return kL4DataTooLong;
  }
  if (checkL4 && (backoff.l4Retries < 0 || backoff.l4Retries > kL4MaxBusyBudget ||
                  backoff.l4TimeMs < 0 || backoff.l4TimeMs > kL4MaxBackoffTimeMs)) {
    return kL4BackoffOutOfRange;
  }
  return kOk;
}

Result CL4Impl::Datagram(std::int32_t key,
                         std::int32_t rxId,
                         std::int32_t length,
                         const std::uint8_t* data,
                         const L4Backoff& backoff,
                         std::int32_t requestId) {
  if (const Result r = StoredErrorIfNotStarted(); r != kOk) {
    return r;
  }
  // CL2 checks key, link, length and L2 values; a length that cannot describe a buffer, or one
  // beyond what a frame carries, is refused before anything is copied.
  if (length < 0 || (length > 0 && data == nullptr)) {
    return kL4DataTooLong;
  }
  if (length > static_cast<std::int32_t>(kMaxFrameData)) {
    return kDataTooLong;
  }
  auto job = NewJob([&](std::vector<std::uint8_t>& bytes) { bytes.assign(data, data + length); });
  return Queue(std::move(job), key, rxId, requestId, backoff.l2Retries, backoff.l2TimeMs);
}

Result CL4Impl::SendPdu(L4PduType type,
                        std::uint8_t number,
                        std::uint8_t extra,
                        std::span<const std::uint8_t> data,
                        std::int32_t cookie,
                        std::int32_t l2Budget,
                        std::int32_t l2BackoffTime) {
  auto job = NewJob(
      [&](std::vector<std::uint8_t>& bytes) { bytes = EncodeL4Pdu(type, number, extra, data); });
  return Queue(std::move(job), m_ownKey.load(), kControllerTransport, cookie, l2Budget,
               l2BackoffTime);
}

Result CL4Impl::Queue(std::unique_ptr<L2Job> job,
                      std::int32_t ownerKey,
                      std::int32_t destination,
                      std::int32_t cookie,
                      std::int32_t l2Budget,
                      std::int32_t l2BackoffTime) {
  if (!job) {
    return kL4NoMemory;
  }
  job->ownerKey = ownerKey;
  job->cookie = cookie;
  job->busyRetryBudget = l2Budget;
  job->remainingBudget = l2Budget;
  job->backoffTime = l2BackoffTime;
  job->destination = destination;
  return m_cl2->Send(std::move(job));
}

void CL4Impl::SendShortAnswer(L4PduType type, std::uint8_t number) {
  const SettingsRecord& s = ServerSettings();
  // The settings are taken as stored; keep them inside what CL2 accepts so the answer goes.
  const std::int32_t budget = std::clamp(s.Get(Setting::L2_BackoffRetransmissions), 0, 10);
  const std::int32_t time = std::clamp(s.Get(Setting::L2_BackoffTime), 0, 10000);
  // Nothing to report back to: a refused answer is simply not sent.
  (void)SendPdu(type, number, 0, {}, 0, budget, time);
}

void CL4Impl::Emit(std::int32_t clientId,
                   L4Kind kind,
                   std::int32_t a,
                   std::int32_t b,
                   std::int32_t c,
                   std::span<const std::uint8_t> data) {
  L4Indication item;
  item.clientId = clientId;
  item.kind = kind;
  item.a = a;
  item.b = b;
  item.c = c;
  item.data.assign(data.begin(), data.end());
  m_route(std::move(item));
}

Result CL4Impl::AddClient(std::int32_t& key) {
  if (const Result r = StoredErrorIfNotStarted(); r != kOk) {
    return r;
  }
  std::int32_t newKey = 0;
  if (const Result r = m_cl2->RegisterClient(newKey); r != kOk) {
    return r;
  }
  {
    std::lock_guard lock(m_clientMutex);
    for (L4ClientEntry& entry : m_clients) {
      if (!entry.used) {
        entry.used = true;
        entry.key = newKey;
        key = newKey;
        return kOk;
      }
    }
  }
  (void)m_cl2->UnregisterClient(newKey);
  return kL4UnknownClient;
}

Result CL4Impl::RemoveClient(std::int32_t key) {
  if (const Result r = StoredErrorIfNotStarted(); r != kOk) {
    return r;
  }
  const Result unregistered = m_cl2->UnregisterClient(key);
  std::lock_guard clientLock(m_clientMutex);
  auto* const entry =
      std::find_if(m_clients.begin(), m_clients.end(),
                   [key](const L4ClientEntry& e) { return e.used && e.key == key; });
  if (entry == m_clients.end()) {
    return kL4UnknownClient;
  }
  m_connections.RemoveClient(key);
  m_transactions.RemoveClient(key);
  *entry = L4ClientEntry{};
  return unregistered;
}

bool CL4Impl::IsLinkUp() const {
  return m_started.load() && m_cl2->IsLinkUp();
}

Result CL4Impl::Management(std::int32_t key, std::int32_t command, ManagementOutput& out) {
  out = ManagementOutput{};
  if (const Result r = StoredErrorIfNotStarted(); r != kOk) {
    return r;
  }
  if (command == CLIENT_INDEX) {
    std::lock_guard lock(m_clientMutex);
    for (std::size_t i = 0; i < m_clients.size(); ++i) {
      if (m_clients[i].used && m_clients[i].key == key) {
        out.result = static_cast<std::int32_t>(i);
        out.dataType = CLIENT_INDEX;
        return kOk;
      }
    }
    return kL4UnknownClient;
  }
  return m_cl2->ManagementRequest(key, command, out);
}

int CL4Impl::RegisteredClients() const {
  std::lock_guard lock(m_clientMutex);
  return static_cast<int>(std::count_if(m_clients.begin(), m_clients.end(),
                                        [](const L4ClientEntry& e) { return e.used; }));
}

// ---------------------------------------------------------------------------------------------
// CL4: the public face.

CL4::CL4(std::unique_ptr<ISerialPort> serialPort, PortTable& portTable)
    : m_impl(std::make_unique<CL4Impl>(std::move(serialPort), portTable)) {}

CL4::~CL4() = default;

Result CL4::Start(int portNumber, L4Route route) {
  return m_impl->Start(portNumber, std::move(route));
}

Result CL4::AddClient(std::int32_t& key) {
  return m_impl->AddClient(key);
}

Result CL4::RemoveClient(std::int32_t key) {
  return m_impl->RemoveClient(key);
}

bool CL4::IsLinkUp() const {
  return m_impl->IsLinkUp();
}

Result CL4::Management(std::int32_t key, std::int32_t command, ManagementOutput& out) {
  return m_impl->Management(key, command, out);
}

Result CL4::DataRequest(std::int32_t key,
                        std::int32_t rxId,
                        std::int32_t length,
                        const std::uint8_t* data,
                        const L4Backoff& backoff,
                        bool responseRequired,
                        std::int32_t requestId) {
  if (!responseRequired) {
    return m_impl->Datagram(key, rxId, length, data, backoff, requestId);
  }
  return Checked(*m_impl, key, length, data, backoff, {.rxId = rxId}, [&](ClientBytes bytes) {
    return m_impl->Transactions().Open(key, rxId, bytes, backoff, requestId);
  });
}

Result CL4::DataResponse(std::int32_t key,
                         std::int32_t responseId,
                         std::int32_t length,
                         const std::uint8_t* data,
                         const L4Backoff& backoff) {
  return Checked(*m_impl, key, length, data, backoff, kAnswerChecks, [&](ClientBytes bytes) {
    return m_impl->Answers().Answer(key, responseId, bytes, backoff);
  });
}

Result CL4::ConnectRequest(std::int32_t key,
                           std::int32_t requestId,
                           std::int32_t rxId,
                           std::int32_t length,
                           const std::uint8_t* data,
                           const L4Backoff& backoff) {
  return Checked(*m_impl, key, length, data, backoff, {.rxId = rxId}, [&](ClientBytes bytes) {
    return m_impl->Connections().Connect(key, requestId, rxId, bytes, backoff);
  });
}

Result CL4::ConnectResponse(std::int32_t /*key*/,
                            std::int32_t /*connectionId*/,
                            bool /*accept*/,
                            std::int32_t /*length*/,
                            const std::uint8_t* /*data*/,
                            const L4Backoff& /*backoff*/) {
  return kL4NotImplemented;
}

Result CL4::DisconnectRequest(std::int32_t key,
                              std::int32_t connectionId,
                              std::int32_t length,
                              const std::uint8_t* data,
                              const L4Backoff& backoff) {
  return Checked(*m_impl, key, length, data, backoff, kRequestChecks, [&](ClientBytes bytes) {
    return m_impl->Connections().Disconnect(key, connectionId, bytes);
  });
}

Result CL4::DisconnectResponse(std::int32_t key,
                               std::int32_t connectionId,
                               std::int32_t length,
                               const std::uint8_t* data,
                               const L4Backoff& backoff) {
  return Checked(*m_impl, key, length, data, backoff, kAnswerChecks, [&](ClientBytes bytes) {
    return m_impl->Connections().Answer(L4PduType::DisconnectAnswer, key, connectionId, bytes,
                                        backoff);
  });
}

Result CL4::ConnectionDataRequest(std::int32_t key,
                                  std::int32_t connectionId,
                                  std::int32_t length,
                                  const std::uint8_t* data,
                                  const L4Backoff& backoff) {
  return Checked(*m_impl, key, length, data, backoff, kRequestChecks, [&](ClientBytes bytes) {
    return m_impl->Connections().SendData(key, connectionId, bytes, backoff);
  });
}

Result CL4::ConnectionDataResponse(std::int32_t key,
                                   std::int32_t connectionId,
                                   std::int32_t length,
                                   const std::uint8_t* data,
                                   const L4Backoff& backoff) {
  return Checked(*m_impl, key, length, data, backoff, kAnswerChecks, [&](ClientBytes bytes) {
    return m_impl->Connections().Answer(L4PduType::ConnectionDataAnswer, key, connectionId, bytes,
                                        backoff);
  });
}

int CL4::OpenTransactions() const {
  return m_impl->Transactions().Count();
}
int CL4::OpenConnections() const {
  return m_impl->Connections().Count();
}
int CL4::PendingAnswers() const {
  return m_impl->Answers().Count();
}
int CL4::RegisteredClients() const {
  return m_impl->RegisteredClients();
}
const CL2* CL4::LinkLayer() const {
  return m_impl->LinkLayer();
}

}  // namespace tavra::stack
