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
    : m_shared(std::move(port), portTable) {}

CL2Impl::~CL2Impl() {
  if (m_openAttempted.load()) {
    m_supervisor.WaitForModeRequest();
    StopThreads();
    m_transmitter.FreeJobs();
    if (m_shared.linkUp.exchange(false)) {
      // The port's entry would otherwise show a link that no longer exists.
      m_shared.portTable.SetLinkUp(m_shared.portNumber.load(), false);
    }
    if (m_shared.port) {
      m_shared.port->Close();
    }
  }
}

void CL2Impl::StopThreads() {
  m_shared.stop.Set();
  if (m_shared.port) {
    m_shared.port->InterruptReceive();
    m_shared.port->AbortWrites();
  }
  for (std::thread* t : {&m_transmitterThread, &m_receiverThread, &m_supervisorThread}) {
    if (t->joinable()) {
      t->join();
    }
  }
}

Result CL2Impl::Open(int portNumber, Event* upperSignal, L2MessageQueue* upperQueue) {
  if (m_openAttempted.exchange(true)) {
    return kNotInitialised;
  }
  m_shared.portNumber = portNumber;
  if (upperSignal == nullptr || upperQueue == nullptr || !m_shared.port) {
    m_storedError = kNotInitialised;
    return kNotInitialised;
  }
  m_shared.upperSignal = upperSignal;
  m_shared.upperQueue = upperQueue;

  m_shared.port->SetDeviceListener(&m_supervisor);
  const Result opened = m_shared.port->Open(portNumber, kOpenBitRate);
  if (opened != kOk) {
    std::fprintf(stderr, "CL2: open COM%d: result 0x%08X\n", portNumber,
                 static_cast<unsigned>(opened));
    m_storedError = opened;
    return opened;
  }
  m_addresses.SetLinkManagementEntry();

  try {
    m_transmitterThread = std::thread([this] { m_transmitter.Run(); });
    m_receiverThread = std::thread([this] { ReceiverThread(); });
    m_supervisorThread = std::thread([this] { m_supervisor.Run(); });
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "CL2: COM%d: cannot start a link thread: %s\n", portNumber, e.what());
    StopThreads();
    m_storedError = kNotInitialised;
    return kNotInitialised;
  }
  if (m_shared.threadEnded.Wait(kThreadStartCheck)) {
    // The receive loop could not set itself up (or another thread ended): nothing may run on.
    std::fprintf(stderr, "CL2: COM%d: a link thread ended at once (system error %d)\n", portNumber,
                 m_systemError.load());
    StopThreads();
    m_storedError = kNotInitialised;
    return kNotInitialised;
  }
  m_supervisor.Start();
  m_open = true;
  return kOk;
}

void CL2Impl::ReceiverThread() {
  RaiseLinkThreadPriority();
  const Result r = m_shared.port->ReceiveLoop(m_shared.stop, m_parser);
  if (r != kOk) {
    m_systemError = errno;
    m_receiverError = kNotInitialised;
  }
  m_shared.threadEnded.Set();
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
  if (!m_shared.linkUp.load()) {
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
  return m_transmitter.Queue(std::move(job));
}

// ---------------------------------------------------------------------------------------------
// Observation.

std::array<std::uint32_t, kStatisticsWords> CL2Impl::Statistics() const {
  std::array<std::uint32_t, kStatisticsWords> words{};
  for (int i = 0; i < kStatisticsWords; ++i) {
    words[i] = m_shared.counters[i].load();
  }
  const auto parserWords = m_parser.Counters().Words();
  std::copy(parserWords.begin(), parserWords.end(), words.begin() + 5);
  words[0] = m_shared.linkUp.load() ? 1 : 0;
  words[1] = m_supervisor.TypeCode();
  words[14] = static_cast<std::uint32_t>(m_supervisor.CurrentBitRate());
  return words;
}

// ---------------------------------------------------------------------------------------------
// IFrameSink: called on the receiver thread by the parser.

void CL2Impl::OnDataFrame(int ownerKey, const ReceivedFrame& frame) {
  if (!m_shared.linkUp.load()) {
    return;  // acknowledged by the parser, but nobody above may see it
  }
  L2Message m;
  m.ownerKey = ownerKey;
  m.kind = kL2KindReceivedData;
  m.type = frame.source - kLinkManagementAddress;
  const auto data = frame.Data();
  m.data.assign(data.begin(), data.end());
  m_shared.PushUp(std::move(m));
}

}  // namespace tavra::stack
