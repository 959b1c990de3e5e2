// SimulatedController: fault injection. Each fault is set under the state lock and consumed by
// the worker as it happens.

#include <algorithm>

#include "sim/simulated_controller.h"
#include "sim/simulated_controller_impl.h"

namespace tavra::sim {

void SimulatedController::DropAcks(int n, int destination) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->dropAcks = Impl::CountedFault{std::max(n, 0), destination};
}

void SimulatedController::AnswerBusy(int n, int destination) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->busy = Impl::CountedFault{std::max(n, 0), destination};
}

void SimulatedController::AnswerBusyEvery(int n) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->busyEvery = std::max(n, 0);
  m_impl->busyCandidates = 0;
}

void SimulatedController::AnswerTransportBusyEvery(int n) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->transport.AnswerBusyEvery(n);
}

void SimulatedController::AnswerTransportBusy(int n) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->transport.AnswerBusy(n);
}

void SimulatedController::RefuseDownloadBlock(std::uint16_t block, std::uint8_t reason) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->firmware.RefuseBlock(block, reason);
}

void SimulatedController::RefuseDownloadFinish(std::optional<std::uint8_t> reason) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->firmware.RefuseFinish(reason);
}

void SimulatedController::RefuseHeaderDownload(bool on) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->firmware.RefuseHeader(on);
}

void SimulatedController::RefuseUploadMessages(int n, std::uint8_t reason) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->firmware.RefuseUploadMessages(n, reason);
}

void SimulatedController::CancelUploadAtBlock(std::uint16_t block) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->firmware.CancelUploadAtBlock(block);
}

void SimulatedController::CorruptBytes(double p, std::uint32_t seed) {
  // Each direction draws from its own generator, so each is repeatable on its own.
  {
    std::lock_guard lock(m_impl->mutex);
    m_impl->rxCorrupter = ByteCorrupter(p, seed);
  }
  m_impl->writer.SetCorruption(p, seed + 1);
}

void SimulatedController::SetSilent(bool silent) {
  std::lock_guard lock(m_impl->mutex);
  if (m_impl->silent.exchange(silent) && !silent) {
    m_impl->parser.Reset();  // whatever was half received before the cable came back is lost
  }
}

void SimulatedController::Restart() {
  {
    std::lock_guard lock(m_impl->mutex);
    ++m_impl->observed.counters.restarts;
    m_impl->EnterMode(ControllerMode::Normal);
  }
  m_impl->inbox->Wake();
  m_impl->changed.Bump();
}

void SimulatedController::SetReplyDelay(int ms) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->cfg.replyDelayMs = std::max(ms, 0);
}

}  // namespace tavra::sim
