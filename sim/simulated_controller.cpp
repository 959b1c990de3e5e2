// SimulatedController: where it runs, its configuration while running and the requests of its
// own. Fault injection and observation are in the files of those names.

#include "sim/simulated_controller.h"

#include <utility>

#include "sim/simulated_controller_impl.h"

namespace tavra::sim {

namespace {

ByteSink SinkFor(const std::shared_ptr<Inbox>& inbox) {
  return [inbox](std::span<const std::uint8_t> bytes, int hostBitRate) {
    inbox->Push(bytes, hostBitRate);
  };
}

bool AlreadyRunning(std::string* error) {
  if (error != nullptr) {
    *error = "already running";
  }
  return false;
}

}  // namespace

SimulatedController::SimulatedController(SimConfig config)
    : m_impl(std::make_unique<Impl>(std::move(config))) {}

SimulatedController::~SimulatedController() {
  Stop();
}

bool SimulatedController::AttachTo(stack::SimulatedSerialPort& port) {
  if (m_impl->started.exchange(true)) {
    return false;
  }
  return m_impl->Start(MakePortLine(port, SinkFor(m_impl->inbox)));
}

bool SimulatedController::StartPseudoTerminal(const std::string& linkPath, std::string* error) {
  if (m_impl->started.exchange(true)) {
    return AlreadyRunning(error);
  }
  std::unique_ptr<SerialLine> line =
      MakePseudoTerminalLine(SinkFor(m_impl->inbox), linkPath, error, [impl = m_impl.get()] {
        {
          std::lock_guard lock(impl->mutex);
          ++impl->observed.counters.hostClosings;
        }
        impl->changed.Bump();
      });
  if (!line) {
    m_impl->started = false;
    return false;
  }
  return m_impl->Start(std::move(line));
}

bool SimulatedController::OpenDevice(const std::string& devicePath, std::string* error) {
  if (m_impl->started.exchange(true)) {
    return AlreadyRunning(error);
  }
  std::unique_ptr<SerialLine> line = MakeDeviceLine(devicePath, SinkFor(m_impl->inbox), error);
  if (!line) {
    m_impl->started = false;
    return false;
  }
  return m_impl->Start(std::move(line));
}

std::string SimulatedController::SlavePath() const {
  return m_impl->line ? m_impl->line->HostPath() : std::string();
}

void SimulatedController::Stop() {
  if (m_impl->started.load() && !m_impl->stopped.exchange(true)) {
    m_impl->Stop();
  }
}

SimConfig SimulatedController::Config() const {
  std::lock_guard lock(m_impl->mutex);
  SimConfig copy = m_impl->cfg;
  copy.mode = m_impl->mode;
  copy.firmware = m_impl->firmware.Content();
  copy.trace = m_impl->traces.CurrentSink();
  return copy;
}

void SimulatedController::SetMode(ControllerMode mode) {
  {
    std::lock_guard lock(m_impl->mutex);
    m_impl->EnterMode(mode);
  }
  m_impl->inbox->Wake();
  m_impl->changed.Bump();
}

void SimulatedController::SetIdentity(std::uint8_t normalType,
                                      std::uint8_t bootType,
                                      std::array<std::uint8_t, 4> version,
                                      std::uint8_t extra) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->cfg.normalType = normalType;
  m_impl->cfg.bootType = bootType;
  m_impl->cfg.version = version;
  m_impl->cfg.identityExtra = extra;
}

void SimulatedController::SetMaxBitRate(int bitRate) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->cfg.maxBitRate = bitRate;
}

void SimulatedController::SetTransactionPolicy(TransactionPolicy policy,
                                               std::vector<std::uint8_t> answer) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->cfg.transactionPolicy = policy;
  m_impl->cfg.transactionAnswer = answer;
  m_impl->transport.SetTransactionPolicy(policy, std::move(answer));
}

void SimulatedController::SetConnectPolicy(ConnectPolicy policy) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->cfg.connectPolicy = policy;
  m_impl->transport.SetConnectPolicy(policy);
}

void SimulatedController::SetLineTiming(bool on) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->cfg.emulateLineTiming = on;
  m_impl->writer.SetPacing(on);
  m_impl->inbox->SetLineTiming(on);
}

void SimulatedController::SetGarbleOnRateMismatch(bool on) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->cfg.garbleOnRateMismatch = on;
  m_impl->writer.SetGarble(on);
}

FirmwareContent SimulatedController::Firmware() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->firmware.Content();
}

void SimulatedController::SetFirmware(FirmwareContent firmware) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->firmware.SetContent(std::move(firmware));
  if (m_impl->firmware.TakeChanged()) {
    m_impl->SaveStoreLocked();
  }
}

void SimulatedController::SetTrace(std::function<void(const std::string&)> trace) {
  m_impl->traces.SetSink(std::move(trace));
}

std::uint8_t SimulatedController::OriginateTransaction(std::uint8_t transportNumber,
                                                       std::span<const std::uint8_t> data) {
  std::uint8_t number = 0;
  {
    std::lock_guard lock(m_impl->mutex);
    std::vector<std::uint8_t> pdu =
        m_impl->transport.OriginateTransaction(transportNumber, data, &number);
    m_impl->own.Queue(OwnFrames::Frame{kTransportAddress, kTransportAddress, std::move(pdu)});
  }
  m_impl->inbox->Wake();
  return number;
}

bool SimulatedController::OriginateConnectionData(std::uint8_t hostConnection,
                                                  std::span<const std::uint8_t> data) {
  return m_impl->Originate(
      [&](TransportEntity& t) { return t.OriginateConnectionData(hostConnection, data); });
}

bool SimulatedController::OriginateDisconnect(std::uint8_t hostConnection,
                                              std::span<const std::uint8_t> data) {
  return m_impl->Originate(
      [&](TransportEntity& t) { return t.OriginateDisconnect(hostConnection, data); });
}

bool SimulatedController::OriginateAbort(std::uint8_t hostConnection) {
  return m_impl->Originate([&](TransportEntity& t) { return t.OriginateAbort(hostConnection); });
}

void SimulatedController::SendFrame(std::uint8_t destination,
                                    std::uint8_t source,
                                    std::span<const std::uint8_t> data) {
  {
    std::lock_guard lock(m_impl->mutex);
    m_impl->own.Queue(
        OwnFrames::Frame{destination, source, std::vector<std::uint8_t>(data.begin(), data.end())});
  }
  m_impl->inbox->Wake();
}

}  // namespace tavra::sim
