// CL2's link supervisor thread and link management: establishment with bit-rate
// negotiation, keep-alive, loss of the link, restart and switch to boot code, and the
// mode switches of clients.

#include "server/stack/cl2_supervisor.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "server/stack/cl2_thread_priority.h"
#include "server/stack/server_settings.h"

namespace tavra::stack {

namespace {

constexpr auto kTick = std::chrono::milliseconds(100);
constexpr auto kManagementAckWait = std::chrono::milliseconds(4000);
constexpr auto kManagementReplyWait = std::chrono::milliseconds(500);

constexpr int kWordEstablishments = 2;
constexpr int kBaseBitRate = 9600;
constexpr std::array<int, 3> kNegotiatedRates{57600, 38400, 19200};

constexpr std::int32_t kPendingRestart = 8;
constexpr std::int32_t kPendingBootCode = 9;

// A job for slot 0: from and to address 0x20, with the server's L2 back-off values.
std::unique_ptr<L2Job> LinkManagementJob(const LinkRequestBytes& bytes) {
  auto job = std::make_unique<L2Job>();
  job->ownerKey = kKeyLinkManagement;
  job->destination = kLinkManagementAddress;
  job->source = kLinkManagementAddress;
  job->busyRetryBudget = ServerSettings().Get(Setting::L2_BackoffRetransmissions);
  job->remainingBudget = job->busyRetryBudget;
  job->backoffTime = ServerSettings().Get(Setting::L2_BackoffTime) / 100;
  job->data.assign(bytes.begin(), bytes.end());
  return job;
}

}  // namespace

L2Supervisor::L2Supervisor(L2Shared& shared,
                           const L2AddressTable& addresses,
                           L2Transmitter& transmitter)
    : m_shared(shared),
      m_addresses(addresses),
      m_transmitter(transmitter),
      m_idleReload(ServerSettings().Get(Setting::L2_NoActivityTime) / 100),
      m_connectParameters(
          MakeConnectParameters(ServerSettings().Get(Setting::L2_NoActivityTime),
                                ServerSettings().Get(Setting::Tavra_NoActivityTimeOffset))) {}

void L2Supervisor::Start() {
  m_idleCounter = m_idleReload;
  m_linkState = kLinkStateDown;
  m_connectNow.Set();
}

void L2Supervisor::WaitForModeRequest() {
  // A restart or switch asked for just before the last client let go is sent first.
  constexpr auto kModeRequestFlush = std::chrono::milliseconds(1000);
  (void)m_modeRequestSettled.Wait(kModeRequestFlush);
}

void L2Supervisor::Run() {
  RaiseLinkThreadPriority();
  const int interval = ServerSettings().Get(Setting::TimeBetweenConnectAttempts) / 100;
  int attemptCountdown = interval;
  for (;;) {
    const int signal =
        Event::WaitAny({&m_shared.stop, &m_connectNow, &m_shared.linkLost, &m_modeSwitch}, kTick);
    if (signal == 0) {
      break;
    }
    const bool tick = signal < 0;
    const std::int32_t state = m_linkState.load();
    if (state == kLinkStateDown) {
      // Link lost and mode switch mean nothing while the link is down; without a device
      // there is nobody to connect to.
      const bool attempt = signal == 1 || (tick && --attemptCountdown <= 0);
      if (attempt && !m_deviceGone.load()) {
        attemptCountdown = interval;
        TryToConnect();
      }
    } else if (state == kLinkStateUp) {
      if (signal == 2 || m_deviceGone.load()) {
        LoseLink();
      } else if (tick) {
        TickWhileUp();
      } else if (signal == 3) {
        HandleModeSwitch();
      }
    }
  }
  m_shared.threadEnded.Set();
}

void L2Supervisor::TryToConnect() {
  // The connect lock also covers bringing the link up, so that a client's switch to boot code
  // sees either the link down or the link up, never the step between.
  std::lock_guard lock(m_connectMutex);
  if (EstablishLink()) {
    m_linkState = kLinkStateUp;
    BringLinkUp();
  }
}

void L2Supervisor::HandleModeSwitch() {
  const std::int32_t pending = m_pendingModeRequest.load();
  if (pending == kPendingRestart || pending == kPendingBootCode) {
    (void)LinkManagementRequest(static_cast<LinkRequest>(pending), 0, false);
  }
  m_pendingModeRequest = 0;
  m_modeRequestSettled.Set();
}

void L2Supervisor::LoseLink() {
  {
    std::lock_guard lock(m_connectMutex);
    // A switch or reset requested since the loss (the link flag was still up) would otherwise
    // stay pending until the next establishment: it is settled as for a link that is down, its
    // requested mode kept for that establishment.
    m_pendingModeRequest = 0;
    m_modeSwitch.Reset();
    m_modeRequestSettled.Set();
    if (m_shared.linkUp.load()) {
      TakeLinkDown();
    } else {
      FlushJobQueue();  // the request took it down and told the clients already
    }
    m_linkState = kLinkStateDown;
  }
  (void)m_shared.port->SetBitRate(kBaseBitRate);  // errors of a rate change are ignored
}

void L2Supervisor::OnDeviceLost() {
  m_deviceGone = true;
  m_shared.linkLost.Set();
}

void L2Supervisor::OnDeviceBack() {
  m_deviceGone = false;
  m_connectNow.Set();
}

void L2Supervisor::TickWhileUp() {
  if (m_idleCounter.fetch_sub(1) - 1 <= 0) {
    // Nothing valid came for the idle time: poll. A missing acknowledgement loses the link
    // through the slot-0 result; the outcome itself does not matter here.
    (void)LinkManagementRequest(LinkRequest::KeepAlive, 0, false);
    m_idleCounter.exchange(m_idleReload);
  }
  m_transmitter.TickBackoffs();
}

bool L2Supervisor::LinkManagementRequest(LinkRequest code, int bitRate, bool waitForReply) {
  std::lock_guard managementLock(m_managementMutex);
  const auto bytes =
      BuildLinkRequest(static_cast<std::int32_t>(code), bitRate, m_connectParameters);
  if (!bytes) {
    return false;
  }
  auto job = LinkManagementJob(*bytes);
  while (!m_transmitter.PlaceManagementJob(job, m_managementReply)) {
    // An earlier request gave up while its frame was being sent: wait until that send ends.
    if (Event::WaitAny({&m_shared.stop, &m_transmitter.ManagementDone()}, kManagementAckWait) !=
        1) {
      return false;
    }
  }
  m_transmitter.Wake();

  const int done =
      Event::WaitAny({&m_shared.stop, &m_transmitter.ManagementDone()}, kManagementAckWait);
  if (done != 1) {
    // Not yet sent: take it back, so that it cannot go out later as a stale request.
    m_transmitter.WithdrawManagementJob();
    return false;
  }
  if (!m_transmitter.ManagementAccepted()) {
    return false;
  }
  if (code == LinkRequest::ConnectBootCode) {
    m_linkState = kLinkStateDown;
    (void)m_shared.port->SetBitRate(kBaseBitRate);
  }
  if (waitForReply &&
      Event::WaitAny({&m_shared.stop, &m_managementReply}, kManagementReplyWait) != 1) {
    return false;
  }
  return true;
}

bool L2Supervisor::EstablishLink() {
  const LinkRequest connect = m_requestedMode.load() == kModeNormal ? LinkRequest::ConnectNormal
                                                                    : LinkRequest::ConnectBootCode;
  if (!LinkManagementRequest(connect, 0, true) ||
      ClassifyReply(LastReply()) != ReplyClass::ConnectAccepted) {
    return false;
  }
  if (!LinkManagementRequest(LinkRequest::Identify, 0, true)) {
    return false;
  }
  const auto identify = LastReply();
  if (ClassifyReply(identify) != ReplyClass::IdentifyAnswered) {
    return false;
  }
  {
    std::lock_guard lock(m_descriptionMutex);
    std::copy_n(identify.begin() + 1, kDescriptionSize, m_description.begin());
  }
  return NegotiateBitRate();
}

bool L2Supervisor::NegotiateBitRate() {
  const int preferred = ServerSettings().Get(Setting::PreferredBitRate);
  for (const int rate : kNegotiatedRates) {
    if (preferred < rate || m_shared.port->MaxBitRate() < rate) {
      continue;  // a port with fixed line settings (a raw network port) stays at 9600
    }
    if (!LinkManagementRequest(LinkRequest::SetBitRate, rate, true)) {
      return false;  // no fallback when the request itself fails
    }
    switch (ClassifyReply(LastReply())) {
      case ReplyClass::BitRateAccepted:
        (void)m_shared.port->SetBitRate(rate);
        m_currentBitRate = rate;
        return true;
      case ReplyClass::BitRateRefused: continue;
      default: return false;
    }
  }
  m_currentBitRate = kBaseBitRate;
  return true;
}

void L2Supervisor::BringLinkUp() {
  // A loss reported for a frame that went out while the link was down is history now.
  m_shared.linkLost.Reset();
  // Cleared before the flag goes up, so that a restart requested right after is not lost.
  m_pendingModeRequest = 0;
  m_shared.linkUp = true;
  m_shared.counters[kWordEstablishments].fetch_add(1);
  m_shared.portTable.SetLinkUp(m_shared.portNumber.load(), true);
  for (const std::int32_t key : m_addresses.UsedKeys()) {
    SendOnline(key);
  }
}

void L2Supervisor::TakeLinkDown() {
  m_shared.linkUp = false;
  m_shared.portTable.SetLinkUp(m_shared.portNumber.load(), false);
  for (const std::int32_t key : m_addresses.UsedKeys()) {
    SendOffline(key);
  }
  FlushJobQueue();
}

void L2Supervisor::FlushJobQueue() {
  const auto jobs = m_transmitter.TakeQueued();
  // The jobs in slots 1..9 stay: the one being sent finishes, one waiting for its back-off
  // goes again once the link is back and its countdown has run out.
  for (const auto& job : jobs) {
    L2Message m;
    m.ownerKey = job->ownerKey;
    m.kind = kL2KindTransmitResult;
    m.code = kTxNoAcknowledgement;
    m.value = job->cookie;
    m_shared.PushUp(std::move(m));
  }
}

void L2Supervisor::SendOnline(std::int32_t key) {
  const ControllerIdentity identity = Identity();
  m_shared.portTable.SetIdentity(m_shared.portNumber.load(), identity);
  L2Message m;
  m.ownerKey = key;
  m.kind = kL2KindLinkState;
  m.code = kLinkOnline;
  m.value = 1;
  m.data.assign(identity.bytes.begin(), identity.bytes.end());
  m_shared.PushUp(std::move(m));
}

void L2Supervisor::SendOffline(std::int32_t key) {
  L2Message m;
  m.ownerKey = key;
  m.kind = kL2KindLinkState;
  m.code = kLinkOffline;
  m.value = 0;
  m_shared.PushUp(std::move(m));
}

// ---------------------------------------------------------------------------------------------
// What the receiver hands in, and the controller's description.

void L2Supervisor::OnLinkManagementReply(const ReceivedFrame& frame) {
  {
    std::lock_guard lock(m_replyMutex);
    const auto data = frame.Data();
    m_reply.assign(data.begin(), data.end());
  }
  m_managementReply.Set();
}

std::vector<std::uint8_t> L2Supervisor::LastReply() const {
  std::lock_guard lock(m_replyMutex);
  return m_reply;
}

ControllerIdentity L2Supervisor::Identity() const {
  ControllerIdentity id;
  std::lock_guard lock(m_descriptionMutex);
  std::copy_n(m_description.begin() + kIdentityOffset, kIdentitySize, id.bytes.begin());
  return id;
}

std::uint8_t L2Supervisor::TypeCode() const {
  std::lock_guard lock(m_descriptionMutex);
  return m_description[kIdentityOffset];
}

// ---------------------------------------------------------------------------------------------
// Mode switches of clients.

Result L2Supervisor::RequestBootCode(std::int32_t key) {
  std::lock_guard lock(m_connectMutex);
  // An earlier switch or reset that the supervisor has not sent yet blocks a new one.
  if (m_pendingModeRequest.load() != 0) {
    return kModeRequestPending;
  }
  if (!m_shared.linkUp.load()) {
    m_requestedMode = kModeBootCode;  // used by the next establishment
    return kOk;
  }
  if (TypeCode() == kControllerTypeBootCode) {
    SendOnline(key);  // already there: the requester only hears the state
    return kOk;
  }
  std::int32_t expected = 0;
  if (!m_pendingModeRequest.compare_exchange_strong(expected, kPendingBootCode)) {
    return kModeRequestPending;
  }
  m_modeRequestSettled.Reset();
  m_requestedMode = kModeBootCode;
  TakeLinkDown();
  m_modeSwitch.Set();
  return kOk;
}

Result L2Supervisor::RequestReset() {
  if (m_pendingModeRequest.load() != 0) {
    return kModeRequestPending;
  }
  if (!m_shared.linkUp.load()) {
    m_requestedMode = kModeNormal;  // the next establishment connects in normal mode
    return kLinkDown;
  }
  // While the link is up the supervisor holds the connect lock only while it is still sending
  // the online indications; taking the link down before those are out would reorder them.
  std::lock_guard lock(m_connectMutex);
  if (!m_shared.linkUp.load()) {
    m_requestedMode = kModeNormal;
    return kLinkDown;
  }
  std::int32_t expected = 0;
  if (!m_pendingModeRequest.compare_exchange_strong(expected, kPendingRestart)) {
    return kModeRequestPending;
  }
  m_modeRequestSettled.Reset();
  m_requestedMode = kModeNormal;
  TakeLinkDown();
  m_modeSwitch.Set();
  return kOk;
}

}  // namespace tavra::stack
