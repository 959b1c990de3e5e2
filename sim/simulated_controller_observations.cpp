// SimulatedController: what tests read about what happened. Every reading is a copy taken
// under the state lock (the counters of the line writer under its lock, inside it).

#include <algorithm>

#include "sim/simulated_controller.h"
#include "sim/simulated_controller_impl.h"

namespace tavra::sim {

namespace {

// What `read` takes from the controller's state, under its state lock.
template <typename State, typename Read>
auto Locked(const State& state, Read read) {
  std::lock_guard lock(state.mutex);
  return read(state);
}

template <typename T>
std::vector<T> Copy(const std::deque<T>& list) {
  return {list.begin(), list.end()};
}

}  // namespace

ControllerMode SimulatedController::Mode() const {
  return Locked(*m_impl, [](const auto& s) { return s.mode; });
}

int SimulatedController::BitRate() const {
  return Locked(*m_impl, [](const auto& s) { return s.rate; });
}

std::vector<int> SimulatedController::BitRatesSeen() const {
  return Locked(*m_impl, [](const auto& s) { return Copy(s.observed.ratesSeen); });
}

std::vector<int> SimulatedController::HostBitRatesSeen() const {
  return Locked(*m_impl, [](const auto& s) { return Copy(s.observed.hostRatesSeen); });
}

bool SimulatedController::HostConnected() const {
  return Locked(*m_impl, [](const auto& s) { return s.hostConnected; });
}

std::vector<ObservedFrame> SimulatedController::FramesReceived() const {
  return Locked(*m_impl, [](const auto& s) { return Copy(s.observed.frames); });
}

int SimulatedController::ManagementCount(std::uint8_t command) const {
  return Locked(*m_impl, [command](const auto& s) {
    const auto& commands = s.observed.managementCommands;
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
  });
}

std::vector<std::uint8_t> SimulatedController::ManagementCommands() const {
  return Locked(*m_impl, [](const auto& s) { return Copy(s.observed.managementCommands); });
}

std::vector<ObservedPdu> SimulatedController::TransportPdus() const {
  return Locked(*m_impl, [](const auto& s) { return Copy(s.observed.pdus); });
}

std::vector<ObservedFirmwareMessage> SimulatedController::FirmwareMessages() const {
  return Locked(*m_impl, [](const auto& s) { return Copy(s.observed.firmwareMessages); });
}

std::vector<SimConnection> SimulatedController::Connections() const {
  return Locked(*m_impl, [](const auto& s) { return s.transport.Connections(); });
}

SimCounters SimulatedController::Counters() const {
  return Locked(*m_impl, [](const auto& s) {
    SimCounters c = s.observed.counters;
    c.framesBadCheck = s.parser.Counters().framesBadCheck.load();
    s.own.AddCounters(c);
    s.writer.AddCounters(c);
    return c;
  });
}

std::vector<std::uint8_t> SimulatedController::AcksSent() const {
  return Locked(*m_impl, [](const auto& s) { return Copy(s.observed.acksSent); });
}

void SimulatedController::ClearObservations() {
  std::lock_guard lock(m_impl->mutex);
  m_impl->observed.Clear();
}

std::string SimulatedController::StoreError() const {
  return Locked(*m_impl, [](const auto& s) { return s.storeError; });
}

bool SimulatedController::WaitUntil(const std::function<bool()>& condition,
                                    std::chrono::milliseconds timeout) const {
  return m_impl->changed.WaitUntil(condition, timeout);
}

}  // namespace tavra::sim
