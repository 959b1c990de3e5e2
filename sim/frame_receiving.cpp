// The simulated controller's way in: bytes from the host, through the faults of the line, into
// the frame parser, and the parser's frames into acknowledgements, observations and the
// entities' handling. All on the worker, under the state lock.

#include <algorithm>

#include "server/stack/frame_codec.h"
#include "sim/simulated_controller_impl.h"
#include "sim/transport_pdu.h"

namespace tavra::sim {

namespace {

constexpr auto kReceiveGap = std::chrono::milliseconds(100);
constexpr std::size_t kRawTraceLimit = 4096;
// The parser's owner keys of the addresses.
constexpr int kKeyTransport = 1;
constexpr int kKeyManagement = 2;
constexpr int kKeyFirmware = 3;
constexpr int kKeyExtra = 4;

}  // namespace

void SimulatedController::Impl::HandleBytes(const Inbox::Item& item) {
  if (item.hostBitRate != 0 &&
      (observed.hostRatesSeen.empty() || observed.hostRatesSeen.back() != item.hostBitRate)) {
    Keep(observed.hostRatesSeen, item.hostBitRate);
  }
  FollowHostRate(item.hostBitRate);
  if (anyReceived && item.start - lastReceived >= kReceiveGap) {
    parser.Reset();  // a pause on the line drops a partial frame
  }
  anyReceived = true;
  lastReceived = item.at;
  currentHostRate = item.hostBitRate;
  observed.counters.bytesReceived += static_cast<std::uint32_t>(item.bytes.size());
  std::vector<std::uint8_t> lost;
  std::string lostWhy;
  for (const std::uint8_t byte : item.bytes) {
    if (const std::optional<std::uint8_t> arrived = Arrive(byte, item.hostBitRate, &lostWhy)) {
      Feed(*arrived);
    } else {
      lost.push_back(byte);
    }
  }
  if (!lost.empty()) {
    traces.Add(item.at, true, lost, lostWhy);
  }
}

std::optional<std::uint8_t> SimulatedController::Impl::Arrive(std::uint8_t byte,
                                                              int hostBitRate,
                                                              std::string* lostWhy) {
  if (silent.load()) {
    ++observed.counters.bytesLostSilent;
    *lostWhy = " [lost: silent]";
    return std::nullopt;
  }
  if (hostBitRate != 0 && hostBitRate != rate) {
    if (!cfg.garbleOnRateMismatch) {
      ++observed.counters.bytesLostRateMismatch;
      *lostWhy = " [lost: host at " + std::to_string(hostBitRate) + ", controller at " +
                 std::to_string(rate) + "]";
      return std::nullopt;
    }
    byte = rxGarbler.Apply(byte);
    ++observed.counters.bytesGarbled;
  }
  if (rxCorrupter.Apply(byte)) {
    ++observed.counters.bytesCorrupted;
  }
  return byte;
}

void SimulatedController::Impl::Feed(std::uint8_t byte) {
  if (rawReceived.size() >= kRawTraceLimit) {
    rawReceived.clear();
  }
  rawReceived.push_back(byte);
  feeding = true;
  parser.Feed(byte);
  feeding = false;
  if (parserRestartPending) {
    parserRestartPending = false;
    parser.Reset();
    parser.ResetSequence();
  }
}

// --- IFrameSink (called inside parser.Feed) ---

int SimulatedController::Impl::LookupAddress(std::uint8_t address) {
  lookedUp = address;
  if (address == kManagementAddress) {
    return kKeyManagement;
  }
  if (address == kTransportAddress && mode == ControllerMode::Normal) {
    return kKeyTransport;
  }
  if (address == kFirmwareAddress && mode == ControllerMode::BootCode) {
    return kKeyFirmware;
  }
  if (std::find(cfg.extraAddresses.begin(), cfg.extraAddresses.end(), address) !=
      cfg.extraAddresses.end()) {
    return kKeyExtra;
  }
  return -1;
}

void SimulatedController::Impl::OnAcknowledgement(std::uint8_t ack, bool insideData) {
  ++observed.counters.acksReceived;
  if (!insideData) {
    TraceReceived("");
  }
  AfterOwnFrame(own.OnAcknowledgement(ack));
}

void SimulatedController::Impl::OnAnswer(std::uint8_t answer) {
  dropFrame = false;
  const std::uint8_t code = answer & 0xE0;
  const std::uint8_t sequence = answer & 0x1F;
  const bool repetition = code == stack::kAckAccepted && sequence == parser.LastSequence();
  SimCounters& counters = observed.counters;
  std::string note;
  if (code == stack::kAckAccepted && !repetition && TakeBusy()) {
    ++counters.busyAnswers;
    answer = static_cast<std::uint8_t>(stack::kAckBusy | sequence);
    dropFrame = true;
    note = " [answered busy]";
  }
  switch (code) {
    case stack::kAckAccepted:
      if (repetition) {
        ++counters.framesRepeated;
        note += " [repetition]";
      }
      break;
    case stack::kAckNoSuchAddress: ++counters.framesNoSuchAddress; break;
    case stack::kAckTooLong: ++counters.framesTooLong; break;
    default: break;
  }
  if (dropAcks.Matches(lookedUp)) {
    --dropAcks.left;
    ++counters.acksDropped;
    TraceReceived(note + " [acknowledgement dropped]");
    return;
  }
  TraceReceived(note);
  const auto frame = stack::EncodeAckFrame(answer);
  writer.Queue(std::vector<std::uint8_t>(frame.begin(), frame.end()), ReplyDue(), rate);
  ++counters.acksSent;
  Keep(observed.acksSent, answer);
}

// Whether a new frame that would be accepted is answered busy instead: the next ones asked
// for by AnswerBusy, and every busyEvery-th frame to an entity (link management is never
// backed off by the host, so its frames are left alone).
bool SimulatedController::Impl::TakeBusy() {
  if (busy.Matches(lookedUp)) {
    --busy.left;
    return true;
  }
  if (busyEvery == 0 || lookedUp == kManagementAddress) {
    return false;
  }
  return ++busyCandidates % static_cast<std::uint32_t>(busyEvery) == 0;
}

void SimulatedController::Impl::OnLinkManagementReply(const stack::ReceivedFrame& frame) {
  if (dropFrame) {
    return;
  }
  Record(frame);
  HandleManagement(frame);
}

void SimulatedController::Impl::OnDataFrame(int ownerKey, const stack::ReceivedFrame& frame) {
  if (dropFrame) {
    return;
  }
  Record(frame);
  if (ownerKey == kKeyTransport) {
    HandleTransportFrame(frame);
  } else if (ownerKey == kKeyFirmware) {
    HandleFirmwareFrame(frame);
  }
}

void SimulatedController::Impl::HandleTransportFrame(const stack::ReceivedFrame& frame) {
  const std::span<const std::uint8_t> data = frame.Data();
  // Only the host's transport layer speaks PDUs; a client's datagram to 0x21 is kept only.
  if (frame.source != kTransportAddress || data.empty()) {
    return;
  }
  if (const std::optional<Pdu> pdu = DecodePdu(data)) {
    Keep(observed.pdus, ObservedPdu{pdu->type, pdu->number, pdu->extra, pdu->data});
  }
  const std::uint32_t busyBefore = transport.BusyAnswers();
  for (std::vector<std::uint8_t>& answer : transport.Handle(data)) {
    own.Queue(OwnFrames::Frame{kTransportAddress, kTransportAddress, std::move(answer)});
  }
  observed.counters.transportBusyAnswers += transport.BusyAnswers() - busyBefore;
}

void SimulatedController::Impl::HandleFirmwareFrame(const stack::ReceivedFrame& frame) {
  const std::span<const std::uint8_t> data = frame.Data();
  Keep(observed.firmwareMessages,
       ObservedFirmwareMessage{frame.source, std::vector<std::uint8_t>(data.begin(), data.end())});
  for (std::vector<std::uint8_t>& reply : firmware.Handle(data)) {
    own.Queue(OwnFrames::Frame{frame.source, kFirmwareAddress, std::move(reply)});
  }
  if (firmware.TakeChanged()) {
    SaveStoreLocked();
  }
}

void SimulatedController::Impl::Record(const stack::ReceivedFrame& frame) {
  ++observed.counters.framesAccepted;
  const std::span<const std::uint8_t> data = frame.Data();
  Keep(observed.frames,
       ObservedFrame{static_cast<std::uint8_t>(frame.sequence & 0x1F), frame.destination,
                     frame.source, std::vector<std::uint8_t>(data.begin(), data.end()),
                     currentHostRate});
}

void SimulatedController::Impl::TraceReceived(const std::string& note) {
  traces.Add(SimClock::now(), true, rawReceived, note);
  rawReceived.clear();
}

}  // namespace tavra::sim
