// The simulated controller's link management at address 0x20 and the link state it keeps:
// mode, bit rate, whether a host is connected and its supervision. On the worker or a public
// method, under the state lock.

#include "sim/simulated_controller_impl.h"

namespace tavra::sim {

namespace {

int CodeToBitRate(std::uint8_t code) {
  switch (code) {
    case 1: return 19200;
    case 2: return 38400;
    case 3: return 57600;
    default: return 0;
  }
}

}  // namespace

void SimulatedController::Impl::HandleManagement(const stack::ReceivedFrame& frame) {
  const std::span<const std::uint8_t> data = frame.Data();
  if (data.empty()) {
    return;
  }
  const std::uint8_t command = data[0];
  auto param = [&](std::size_t i) -> std::uint8_t { return i < data.size() ? data[i] : 0; };
  Keep(observed.managementCommands, command);
  switch (command) {
    case 0x00: ReplyManagement(IdentifyReply()); break;
    case 0x01:
      // The boot code answers a normal connect too and reports itself by its type.
      HostConnects(param(1) | (param(2) << 8));
      ReplyManagement({0x21});
      break;
    case 0x06:
      if (mode != ControllerMode::BootCode) {
        // A restart into the boot code: the switch gets its acknowledgement only, and the
        // boot code answers the host's next connect (nothing of before the restart is sent).
        EnterMode(ControllerMode::BootCode);
        break;
      }
      HostConnects(param(1) | (param(2) << 8));
      ReplyManagement({0x26});
      break;
    case 0x04: SetBitRateRequested(param(1)); break;
    case 0x05: ReplyManagement({0x25}); break;
    case 0x03:
      // Restarts at once: no answer, and frames at the old rate are not understood any more.
      ++observed.counters.restarts;
      EnterMode(ControllerMode::Normal);
      break;
    default: ReplyManagement({static_cast<std::uint8_t>(0x40 | (command & 0x1F))}); break;
  }
}

std::vector<std::uint8_t> SimulatedController::Impl::IdentifyReply() const {
  std::vector<std::uint8_t> reply{0x20};
  reply.insert(reply.end(), cfg.descriptionHead.begin(), cfg.descriptionHead.end());
  reply.push_back(mode == ControllerMode::BootCode ? cfg.bootType : cfg.normalType);
  reply.insert(reply.end(), cfg.version.begin(), cfg.version.end());
  reply.push_back(cfg.identityExtra);
  return reply;
}

// The new rate applies once the answer has gone (or the host is heard at it).
void SimulatedController::Impl::SetBitRateRequested(std::uint8_t code) {
  const int requested = CodeToBitRate(code);
  if (requested != 0 && requested <= cfg.maxBitRate) {
    pendingRate = requested;
    ReplyManagement({0x24}, OwnFrames::After::ApplyPendingRate);
  } else {
    ReplyManagement({0x44});
  }
}

void SimulatedController::Impl::ReplyManagement(std::vector<std::uint8_t> reply,
                                                OwnFrames::After after) {
  own.Queue(OwnFrames::Frame{kManagementAddress, kManagementAddress, std::move(reply), after});
}

void SimulatedController::Impl::HostConnects(int announcedMs) {
  hostConnected = true;
  hostTimeoutMs = announcedMs;
  lastValid = SimClock::now();
}

// A (re)start of the controller in `newMode`: 9600 bit/s, no link, transfers forgotten, and
// so are its own frames not yet acknowledged (never retransmitted after the restart).
void SimulatedController::Impl::EnterMode(ControllerMode newMode) {
  mode = newMode;
  hostConnected = false;
  pendingRate.reset();
  SetRate(kBaseBitRate);
  transport.Reset();
  firmware.ResetTransfers();
  own.Clear();
  if (feeding) {
    parserRestartPending = true;
  } else {
    parser.Reset();
    parser.ResetSequence();
  }
}

void SimulatedController::Impl::SetRate(int newRate) {
  if (newRate == rate) {
    return;
  }
  rate = newRate;
  Keep(observed.ratesSeen, newRate);
  writer.QueueRateChange(newRate);
}

void SimulatedController::Impl::ApplyPendingRate() {
  if (pendingRate) {
    const int r = *pendingRate;
    pendingRate.reset();
    SetRate(r);
    parser.Reset();
  }
}

void SimulatedController::Impl::FollowHostRate(int hostBitRate) {
  if (pendingRate && hostBitRate == *pendingRate && hostBitRate != rate) {
    ApplyPendingRate();
    own.DropAwaiting(OwnFrames::After::ApplyPendingRate);
  }
}

bool SimulatedController::Impl::HostAtPendingRate() const {
  return pendingRate && line && line->HostBitRate() == *pendingRate;
}

// A host silent for the time it announced is gone: back to 9600 bit/s, as a real controller
// does when the cable is pulled.
void SimulatedController::Impl::SuperviseHost(SimClock::time_point now) {
  const std::optional<SimClock::time_point> deadline = SupervisionDeadline();
  if (!deadline || now < *deadline) {
    return;
  }
  hostConnected = false;
  ++observed.counters.hostTimeouts;
  pendingRate.reset();
  SetRate(kBaseBitRate);
  transport.Reset();
  parser.Reset();
}

std::optional<SimClock::time_point> SimulatedController::Impl::SupervisionDeadline() const {
  if (!hostConnected || !cfg.superviseHost || hostTimeoutMs <= 0) {
    return std::nullopt;
  }
  return lastValid + std::chrono::milliseconds(hostTimeoutMs);
}

}  // namespace tavra::sim
