#include "server/stack/cl2.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "server/stack/cl2_impl.h"
#include "server/stack/cl2_thread_priority.h"
#include "server/stack/server_settings.h"
#include "server/stack/termios_serial_port.h"

namespace tavra::stack {

namespace {

constexpr int kOpenBitRate = 9600;
// A thread that ends this soon after the start could not set itself up.
constexpr auto kThreadStartCheck = std::chrono::milliseconds(200);

}  // namespace

// ---------------------------------------------------------------------------------------------
// CL2: the public face forwards to CL2Impl.

CL2::CL2(std::unique_ptr<ISerialPort> port, PortTable& portTable)
    : m_impl(std::make_unique<CL2Impl>(std::move(port), portTable)) {}

CL2::~CL2() = default;

Result CL2::Open(int portNumber, Event* upperSignal, L2MessageQueue* upperQueue) {
  return m_impl->Open(portNumber, upperSignal, upperQueue);
}
Result CL2::RegisterTransport(std::int32_t& key) {
  return m_impl->RegisterTransport(key);
}
Result CL2::RegisterClient(std::int32_t& key) {
  return m_impl->RegisterClient(key);
}
Result CL2::UnregisterClient(std::int32_t key) {
  return m_impl->UnregisterClient(key);
}
Result CL2::Send(std::unique_ptr<L2Job> job) {
  return m_impl->Send(std::move(job));
}
Result CL2::ManagementRequest(std::int32_t key, std::int32_t command, ManagementOutput& out) {
  return m_impl->ManagementRequest(key, command, out);
}
bool CL2::IsLinkUp() const {
  return m_impl->IsLinkUp();
}
std::array<std::uint32_t, 18> CL2::Statistics() const {
  return m_impl->Statistics();
}
std::int32_t CL2::LinkState() const {
  return m_impl->LinkState();
}
int CL2::CurrentBitRate() const {
  return m_impl->CurrentBitRate();
}
int CL2::PortNumber() const {
  return m_impl->PortNumber();
}
ControllerIdentity CL2::Identity() const {
  return m_impl->Identity();
}

std::unique_ptr<CL2> MakeCL2OnDevice(PortTable& portTable) {
  return std::make_unique<CL2>(std::make_unique<TermiosSerialPort>(), portTable);
}

// ---------------------------------------------------------------------------------------------
// Creation, open and destroy.

CL2Impl::CL2Impl(std::unique_ptr<ISerialPort> port, PortTable& portTable)
    : m_port(std::move(port)),
      m_portTable(portTable),
      m_idleReload(ServerSettings().Get(Setting::L2_NoActivityTime) / 100),
      m_connectParameters(
          MakeConnectParameters(ServerSettings().Get(Setting::L2_NoActivityTime),
                                ServerSettings().Get(Setting::Tavra_NoActivityTimeOffset))) {}

CL2Impl::~CL2Impl() {
  if (m_openAttempted.load()) {
    // A restart or switch asked for just before the last client let go is sent first.
    constexpr auto kModeRequestFlush = std::chrono::milliseconds(1000);
    (void)m_modeRequestSettled.Wait(kModeRequestFlush);
    StopThreads();
    for (auto& slot : m_slots) {
      slot.reset();
    }
    if (m_linkUp.exchange(false)) {
      // The port's entry would otherwise show a link that no longer exists.
      m_portTable.SetLinkUp(m_portNumber.load(), false);
    }
    if (m_port) {
      m_port->Close();
    }
  }
  std::lock_guard lock(m_queueMutex);
  m_jobQueue.clear();
}

void CL2Impl::StopThreads() {
  m_stop.Set();
  if (m_port) {
    m_port->InterruptReceive();
    m_port->AbortWrites();
  }
  for (std::thread* t : {&m_transmitter, &m_receiver, &m_supervisor}) {
    if (t->joinable()) {
      t->join();
    }
  }
}

Result CL2Impl::Open(int portNumber, Event* upperSignal, L2MessageQueue* upperQueue) {
  if (m_openAttempted.exchange(true)) {
    return kNotInitialised;
  }
  m_portNumber = portNumber;
  if (upperSignal == nullptr || upperQueue == nullptr || !m_port) {
    m_storedError = kNotInitialised;
    return kNotInitialised;
  }
  m_upperSignal = upperSignal;
  m_upperQueue = upperQueue;
  m_linkUp = false;
  m_pendingModeRequest = 0;

  m_port->SetDeviceListener(this);
  const Result opened = m_port->Open(portNumber, kOpenBitRate);
  if (opened != kOk) {
    std::fprintf(stderr, "CL2: open COM%d: result 0x%08X\n", portNumber,
                 static_cast<unsigned>(opened));
    m_storedError = opened;
    return opened;
  }
  m_addresses.SetLinkManagementEntry();

  try {
    m_transmitter = std::thread([this] { TransmitterThread(); });
    m_receiver = std::thread([this] { ReceiverThread(); });
    m_supervisor = std::thread([this] { SupervisorThread(); });
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "CL2: COM%d: cannot start a link thread: %s\n", portNumber, e.what());
    StopThreads();
    m_storedError = kNotInitialised;
    return kNotInitialised;
  }
  if (m_threadEnded.Wait(kThreadStartCheck)) {
    // The receive loop could not set itself up (or another thread ended): nothing may run on.
    std::fprintf(stderr, "CL2: COM%d: a link thread ended at once (system error %d)\n", portNumber,
                 m_systemError.load());
    StopThreads();
    m_storedError = kNotInitialised;
    return kNotInitialised;
  }
  m_idleCounter = m_idleReload;
  m_linkState = kLinkStateDown;
  m_connectNow.Set();
  m_open = true;
  return kOk;
}

void CL2Impl::ReceiverThread() {
  RaiseLinkThreadPriority();
  const Result r = m_port->ReceiveLoop(m_stop, m_parser);
  if (r != kOk) {
    m_systemError = errno;
    m_receiverError = kNotInitialised;
  }
  m_threadEnded.Set();
}

Result CL2Impl::RegisterTransport(std::int32_t& key) {
  if (!m_open.load()) {
    return m_storedError.load();
  }
  key = m_addresses.RegisterTransport();
  return kOk;
}

Result CL2Impl::RegisterClient(std::int32_t& key) {
  if (!m_open.load()) {
    return m_storedError.load();
  }
  return m_addresses.RegisterClient(key);
}

Result CL2Impl::UnregisterClient(std::int32_t key) {
  if (!m_open.load()) {
    return m_storedError.load();
  }
  return m_addresses.UnregisterClient(key);
}

// ---------------------------------------------------------------------------------------------
// Send.

Result CL2Impl::Send(std::unique_ptr<L2Job> job) {
  if (!m_open.load()) {
    return m_storedError.load();
  }
  if (!job) {
    return kNoJob;
  }
  if (!m_addresses.IsRegistered(job->ownerKey)) {
    return kUnknownKey;
  }
  // Destinations 0..0xDF map onto the address bytes 0x20..0xFF; anything else would put a
  // byte on the line that the controller takes for a broken header.
  if (job->destination < 0 || job->destination > 0xDF) {
    return kDestinationOutOfRange;
  }
  job->destination += kLinkManagementAddress;
  if (!m_linkUp.load()) {
    return kLinkDown;
  }
  if (job->data.size() > kMaxFrameData) {
    return kDataTooLong;
  }
  if (job->busyRetryBudget < 0 || job->busyRetryBudget > 10 || job->backoffTime < 0 ||
      job->backoffTime > 10000) {
    return kBackoffOutOfRange;
  }
  job->backoffTime /= 100;
  job->backoffCountdown = 0;
  job->remainingBudget = job->busyRetryBudget;
  const auto address = m_addresses.AddressOfKey(job->ownerKey);
  if (!address) {
    return kUnknownKey;
  }
  job->source = *address;
  {
    std::lock_guard lock(m_queueMutex);
    // Checked again under the queue lock: a job queued after the flush of a lost link would
    // otherwise go out while the link is down.
    if (!m_linkUp.load()) {
      return kLinkDown;
    }
    m_jobQueue.push_back(std::move(job));
  }
  m_work.Set();
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Observation.

ControllerIdentity CL2Impl::Identity() const {
  ControllerIdentity id;
  std::lock_guard lock(m_descriptionMutex);
  std::copy_n(m_description.begin() + kIdentityOffset, kIdentitySize, id.bytes.begin());
  return id;
}

std::uint8_t CL2Impl::TypeCode() const {
  std::lock_guard lock(m_descriptionMutex);
  return m_description[kIdentityOffset];
}

std::array<std::uint32_t, kStatisticsWords> CL2Impl::Statistics() const {
  std::array<std::uint32_t, kStatisticsWords> words{};
  for (int i = 0; i < kStatisticsWords; ++i) {
    words[i] = m_counters[i].load();
  }
  const auto parserWords = m_parser.Counters().Words();
  std::copy(parserWords.begin(), parserWords.end(), words.begin() + 5);
  words[0] = m_linkUp.load() ? 1 : 0;
  words[1] = TypeCode();
  words[14] = static_cast<std::uint32_t>(m_currentBitRate.load());
  return words;
}

// ---------------------------------------------------------------------------------------------
// IFrameSink: called on the receiver thread by the parser.

int CL2Impl::LookupAddress(std::uint8_t address) {
  return m_addresses.OwnerOf(address);
}

void CL2Impl::OnValidFrame() {
  m_idleCounter.exchange(m_idleReload);
}

void CL2Impl::OnAcknowledgement(std::uint8_t ack, bool /*insideData*/) {
  m_lastAck = ack;
  m_ackReceived.Set();
}

void CL2Impl::OnAnswer(std::uint8_t answer) {
  // Only the latest answer is sent if several frames complete before the transmitter runs.
  m_answerByte = answer;
  m_answerToSend.Set();
}

void CL2Impl::OnLinkManagementReply(const ReceivedFrame& frame) {
  {
    std::lock_guard lock(m_replyMutex);
    const auto data = frame.Data();
    m_reply.assign(data.begin(), data.end());
  }
  m_managementReply.Set();
}

void CL2Impl::OnDataFrame(int ownerKey, const ReceivedFrame& frame) {
  if (!m_linkUp.load()) {
    return;  // acknowledged by the parser, but nobody above may see it
  }
  L2Message m;
  m.ownerKey = ownerKey;
  m.kind = kL2KindReceivedData;
  m.type = frame.source - kLinkManagementAddress;
  const auto data = frame.Data();
  m.data.assign(data.begin(), data.end());
  PushUp(std::move(m));
}

void CL2Impl::PushUp(L2Message message) {
  m_upperQueue->Push(std::move(message));
  m_upperSignal->Set();
}

std::vector<std::uint8_t> CL2Impl::LastReply() const {
  std::lock_guard lock(m_replyMutex);
  return m_reply;
}

}  // namespace tavra::stack
