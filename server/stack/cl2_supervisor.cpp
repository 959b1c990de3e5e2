// CL2's link supervisor thread and link management: establishment with bit-rate
// negotiation, keep-alive, loss of the link, restart and switch to boot code, and the
// management requests of clients.

#include <algorithm>
#include <chrono>
#include <new>

#include "server/stack/cl2_impl.h"
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

constexpr std::int32_t kCmdConnectBootCode = 0x24000011;
constexpr std::int32_t kCmdResetController = 0x24000012;
constexpr std::int32_t kCmdConnectStatus = 0x24000013;
constexpr std::int32_t kCmdStatusIndication = 0x24000014;
constexpr std::int32_t kCmdLinkStatusBlock = 0x24000015;
constexpr std::int32_t kCmdClientAddress = 0x24000016;

constexpr std::int32_t kDataTypeIdentity = 1;
constexpr std::int32_t kDataTypeStatusBlock = 2;
constexpr std::int32_t kDataTypeAddress = 3;

void AppendLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

}  // namespace

void CL2Impl::SupervisorThread() {
  RaiseLinkThreadPriority();
  const int interval = ServerSettings().Get(Setting::TimeBetweenConnectAttempts) / 100;
  int attemptCountdown = interval;
  for (;;) {
    const int signal = Event::WaitAny({&m_stop, &m_connectNow, &m_linkLost, &m_modeSwitch}, kTick);
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
        // The connect lock also covers bringing the link up, so that a client's switch to
        // boot code sees either the link down or the link up, never the step between.
        std::lock_guard lock(m_connectMutex);
        if (EstablishLink()) {
          m_linkState = kLinkStateUp;
          BringLinkUp();
        }
      }
    } else if (state == kLinkStateUp) {
      if (signal == 2 || m_deviceGone.load()) {
        LoseLink();
      } else if (tick) {
        SupervisorTickWhileUp();
      } else if (signal == 3) {
        const std::int32_t pending = m_pendingModeRequest.load();
        if (pending == kPendingRestart || pending == kPendingBootCode) {
          (void)LinkManagementRequest(static_cast<LinkRequest>(pending), 0, false);
        }
        m_pendingModeRequest = 0;
        m_modeRequestSettled.Set();
      }
    }
  }
  m_threadEnded.Set();
}

void CL2Impl::LoseLink() {
  {
    std::lock_guard lock(m_connectMutex);
    // A switch or reset requested since the loss (the link flag was still up) would otherwise
    // stay pending until the next establishment: it is settled as for a link that is down, its
    // requested mode kept for that establishment.
    m_pendingModeRequest = 0;
    m_modeSwitch.Reset();
    m_modeRequestSettled.Set();
    if (m_linkUp.load()) {
      TakeLinkDown();
    } else {
      FlushJobQueue();  // the request took it down and told the clients already
    }
    m_linkState = kLinkStateDown;
  }
  (void)m_port->SetBitRate(kBaseBitRate);  // errors of a rate change are ignored
}

void CL2Impl::OnDeviceLost() {
  m_deviceGone = true;
  m_linkLost.Set();
}

void CL2Impl::OnDeviceBack() {
  m_deviceGone = false;
  m_connectNow.Set();
}

void CL2Impl::SupervisorTickWhileUp() {
  if (m_idleCounter.fetch_sub(1) - 1 <= 0) {
    // Nothing valid came for the idle time: poll. A missing acknowledgement loses the link
    // through the slot-0 result; the outcome itself does not matter here.
    (void)LinkManagementRequest(LinkRequest::KeepAlive, 0, false);
    m_idleCounter.exchange(m_idleReload);
  }
  bool ready = false;
  {
    std::lock_guard lock(m_slotMutex);
    ready = CountDownBackoffs(m_slots, m_inFlight);
  }
  if (ready) {
    m_work.Set();
  }
}

bool CL2Impl::LinkManagementRequest(LinkRequest code, int bitRate, bool waitForReply) {
  std::lock_guard managementLock(m_managementMutex);
  const auto bytes =
      BuildLinkRequest(static_cast<std::int32_t>(code), bitRate, m_connectParameters);
  if (!bytes) {
    return false;
  }
  auto job = std::make_unique<L2Job>();
  job->ownerKey = kKeyLinkManagement;
  job->destination = kLinkManagementAddress;
  job->source = kLinkManagementAddress;
  job->busyRetryBudget = ServerSettings().Get(Setting::L2_BackoffRetransmissions);
  job->remainingBudget = job->busyRetryBudget;
  job->backoffTime = ServerSettings().Get(Setting::L2_BackoffTime) / 100;
  job->data.assign(bytes->begin(), bytes->end());

  for (;;) {
    {
      std::lock_guard slotLock(m_slotMutex);
      if (!m_slots[kManagementSlot]) {
        // Cleared under the slot lock: a done or reply signal from an earlier request is gone.
        m_managementDone.Reset();
        m_managementReply.Reset();
        m_slots[kManagementSlot] = std::move(job);
        break;
      }
    }
    // An earlier request gave up while its frame was being sent: wait until that send ends.
    if (Event::WaitAny({&m_stop, &m_managementDone}, kManagementAckWait) != 1) {
      return false;
    }
  }
  m_work.Set();

  const int done = Event::WaitAny({&m_stop, &m_managementDone}, kManagementAckWait);
  if (done != 1) {
    std::lock_guard slotLock(m_slotMutex);
    // Not yet sent: take it back, so that it cannot go out later as a stale request.
    if (m_slots[kManagementSlot] && m_inFlight != kManagementSlot) {
      m_slots[kManagementSlot].reset();
    }
    return false;
  }
  if (!m_managementPositive.load()) {
    return false;
  }
  if (code == LinkRequest::ConnectBootCode) {
    m_linkState = kLinkStateDown;
    (void)m_port->SetBitRate(kBaseBitRate);
  }
  if (waitForReply && Event::WaitAny({&m_stop, &m_managementReply}, kManagementReplyWait) != 1) {
    return false;
  }
  return true;
}

bool CL2Impl::EstablishLink() {
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
  const int preferred = ServerSettings().Get(Setting::PreferredBitRate);
  for (const int rate : kNegotiatedRates) {
    if (preferred < rate || m_port->MaxBitRate() < rate) {
      continue;  // a port with fixed line settings (a raw network port) stays at 9600
    }
    if (!LinkManagementRequest(LinkRequest::SetBitRate, rate, true)) {
      return false;  // no fallback when the request itself fails
    }
    switch (ClassifyReply(LastReply())) {
      case ReplyClass::BitRateAccepted:
        (void)m_port->SetBitRate(rate);
        m_currentBitRate = rate;
        return true;
      case ReplyClass::BitRateRefused: continue;
      default: return false;
    }
  }
  m_currentBitRate = kBaseBitRate;
  return true;
}

void CL2Impl::BringLinkUp() {
  // A loss reported for a frame that went out while the link was down is history now.
  m_linkLost.Reset();
  // Cleared before the flag goes up, so that a restart requested right after is not lost.
  m_pendingModeRequest = 0;
  m_linkUp = true;
  m_counters[kWordEstablishments].fetch_add(1);
  m_portTable.SetLinkUp(m_portNumber.load(), true);
  for (const std::int32_t key : m_addresses.UsedKeys()) {
    SendOnline(key);
  }
}

void CL2Impl::TakeLinkDown() {
  m_linkUp = false;
  m_portTable.SetLinkUp(m_portNumber.load(), false);
  for (const std::int32_t key : m_addresses.UsedKeys()) {
    SendOffline(key);
  }
  FlushJobQueue();
}

void CL2Impl::FlushJobQueue() {
  std::deque<std::unique_ptr<L2Job>> jobs;
  {
    std::lock_guard lock(m_queueMutex);
    jobs.swap(m_jobQueue);
  }
  // The jobs in slots 1..9 stay: the one being sent finishes, one waiting for its back-off
  // goes again once the link is back and its countdown has run out.
  for (const auto& job : jobs) {
    L2Message m;
    m.ownerKey = job->ownerKey;
    m.kind = kL2KindTransmitResult;
    m.code = kTxNoAcknowledgement;
    m.value = job->cookie;
    PushUp(std::move(m));
  }
}

void CL2Impl::SendOnline(std::int32_t key) {
  const ControllerIdentity identity = Identity();
  m_portTable.SetIdentity(m_portNumber.load(), identity);
  L2Message m;
  m.ownerKey = key;
  m.kind = kL2KindLinkState;
  m.code = kLinkOnline;
  m.value = 1;
  m.data.assign(identity.bytes.begin(), identity.bytes.end());
  PushUp(std::move(m));
}

void CL2Impl::SendOffline(std::int32_t key) {
  L2Message m;
  m.ownerKey = key;
  m.kind = kL2KindLinkState;
  m.code = kLinkOffline;
  m.value = 0;
  PushUp(std::move(m));
}

// ---------------------------------------------------------------------------------------------
// Management requests of clients.

Result CL2Impl::RequestBootCode(std::int32_t key) {
  std::lock_guard lock(m_connectMutex);
  // An earlier switch or reset that the supervisor has not sent yet blocks a new one.
  if (m_pendingModeRequest.load() != 0) {
    return kModeRequestPending;
  }
  if (!m_linkUp.load()) {
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

Result CL2Impl::RequestReset() {
  if (m_pendingModeRequest.load() != 0) {
    return kModeRequestPending;
  }
  if (!m_linkUp.load()) {
    m_requestedMode = kModeNormal;  // the next establishment connects in normal mode
    return kLinkDown;
  }
  // While the link is up the supervisor holds the connect lock only while it is still sending
  // the online indications; taking the link down before those are out would reorder them.
  std::lock_guard lock(m_connectMutex);
  if (!m_linkUp.load()) {
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

Result CL2Impl::ManagementRequest(std::int32_t key, std::int32_t command, ManagementOutput& out) {
  out.dataType = 0;
  out.dataSize = 0;
  out.data.clear();
  if (!m_open.load()) {
    return m_storedError.load();
  }
  if (!m_addresses.IsRegistered(key)) {
    return kUnknownKey;
  }
  try {
    switch (command) {
      case kCmdConnectBootCode: return RequestBootCode(key);
      case kCmdResetController: return RequestReset();
      case kCmdConnectStatus: {
        if (!m_linkUp.load()) {
          out.result = kLinkOffline;
          return kOk;
        }
        const ControllerIdentity identity = Identity();
        out.data.assign(identity.bytes.begin(), identity.bytes.end());
        out.result = kLinkOnline;
        out.dataType = kDataTypeIdentity;
        out.dataSize = static_cast<std::int32_t>(out.data.size());
        return kOk;
      }
      case kCmdStatusIndication:
        if (m_linkUp.load()) {
          SendOnline(key);
        } else {
          SendOffline(key);
        }
        return kOk;
      case kCmdLinkStatusBlock: {
        out.data.reserve(kStatisticsWords * 4);
        for (const std::uint32_t word : Statistics()) {
          AppendLittleEndian(out.data, word);
        }
        out.dataType = kDataTypeStatusBlock;
        out.dataSize = static_cast<std::int32_t>(out.data.size());
        return kOk;
      }
      case kCmdClientAddress: {
        const auto address = m_addresses.AddressOfKey(key);
        if (!address) {
          return kUnknownKey;
        }
        AppendLittleEndian(out.data, static_cast<std::uint32_t>(*address - 0x20));
        out.dataType = kDataTypeAddress;
        out.dataSize = static_cast<std::int32_t>(out.data.size());
        return kOk;
      }
      default: return m_linkUp.load() ? kUnknownManagementCommand : kLinkDown;
    }
  } catch (const std::bad_alloc&) {
    out.dataType = 0;
    out.dataSize = 0;
    out.data.clear();
    return kNoJob;  // no memory for the output
  }
}

}  // namespace tavra::stack
