#include "sim/simulated_controller.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>

#include "server/stack/frame_codec.h"
#include "server/stack/frame_parser.h"
#include "sim/byte_faults.h"
#include "sim/firmware_entity.h"
#include "sim/serial_line.h"
#include "sim/transport_pdu.h"

namespace tavra::sim {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr std::uint8_t kManagementAddress = 0x20;
constexpr std::uint8_t kTransportAddress = 0x21;
constexpr std::uint8_t kFirmwareAddress = 0x22;
constexpr int kKeyManagement = 2;
constexpr int kKeyTransport = 1;
constexpr int kKeyFirmware = 3;
constexpr int kKeyExtra = 4;

constexpr int kBaseBitRate = 9600;
constexpr auto kReceiveGap = Millis(100);
constexpr std::size_t kObservationLimit = 20000;
constexpr std::size_t kRawTraceLimit = 4096;
constexpr std::size_t kMaxQueuedFrames = 256;
// Bytes written at a time when line timing is emulated.
constexpr std::size_t kPacingSlice = 16;

Clock::duration LineTime(std::size_t bytes, int bitRate) {
  if (bitRate <= 0) {
    return Clock::duration::zero();
  }
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::microseconds(static_cast<std::int64_t>(bytes) * 10 * 1'000'000 / bitRate));
}

// Bytes from the host wait here for the worker. Shared with the line's sink, which may still be
// called on another thread while the controller goes away. With line timing a chunk is handed
// on only when its last byte would have arrived at the host's bit rate (a pseudo-terminal
// passes the host's bytes at once, a real line does not).
class Inbox {
 public:
  struct Item {
    std::vector<std::uint8_t> bytes;
    int hostBitRate = 0;
    Clock::time_point start;  // when the first byte arrived
    Clock::time_point at;     // when the last byte arrived
  };

  void SetLineTiming(bool on) {
    std::lock_guard lock(m_mutex);
    m_lineTiming = on;
  }

  void Push(std::span<const std::uint8_t> bytes, int hostBitRate) {
    std::lock_guard lock(m_mutex);
    if (m_closed) {
      return;
    }
    Clock::time_point start = Clock::now();
    Clock::time_point at = start;
    if (m_lineTiming) {
      start = std::max(start, m_lineFreeAt);
      at = start + LineTime(bytes.size(), hostBitRate != 0 ? hostBitRate : kBaseBitRate);
      m_lineFreeAt = at;
    }
    m_items.push_back(Item{{bytes.begin(), bytes.end()}, hostBitRate, start, at});
    m_cv.notify_one();
  }

  void Wake() {
    std::lock_guard lock(m_mutex);
    m_wake = true;
    m_cv.notify_one();
  }

  void Close() {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_cv.notify_all();
  }

  // Waits for arrived items, a wake-up or the deadline. False once closed.
  bool Take(std::vector<Item>* out, std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(m_mutex);
    for (;;) {
      const auto now = Clock::now();
      if (m_closed) {
        return false;
      }
      const bool arrived = !m_items.empty() && m_items.front().at <= now;
      if (m_wake || arrived || (deadline && *deadline <= now)) {
        break;
      }
      std::optional<Clock::time_point> until = deadline;
      if (!m_items.empty() && (!until || m_items.front().at < *until)) {
        until = m_items.front().at;
      }
      if (until) {
        m_cv.wait_until(lock, *until);
      } else {
        m_cv.wait(lock);
      }
    }
    m_wake = false;
    out->clear();
    const auto now = Clock::now();
    while (!m_items.empty() && m_items.front().at <= now) {
      out->push_back(std::move(m_items.front()));
      m_items.pop_front();
    }
    return true;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<Item> m_items;
  Clock::time_point m_lineFreeAt{};
  bool m_lineTiming = false;
  bool m_wake = false;
  bool m_closed = false;
};

int CodeToBitRate(std::uint8_t code) {
  switch (code) {
    case 1: return 19200;
    case 2: return 38400;
    case 3: return 57600;
    default: return 0;
  }
}

template <typename T>
void Keep(std::deque<T>& list, T value) {
  if (list.size() >= kObservationLimit) {
    list.pop_front();
  }
  list.push_back(std::move(value));
}

}  // namespace

struct SimulatedController::Impl final : stack::IFrameSink {
  // What the writer thread puts on the line: a frame, or a change of the controller's own
  // rate that must follow the frames before it.
  struct OutChunk {
    std::vector<std::uint8_t> bytes;
    Clock::time_point due;
    int bitRate = kBaseBitRate;  // the controller's rate when the chunk was made
    int newOwnRate = 0;          // non-zero: a rate change, no bytes
  };

  enum class After { Nothing, ApplyPendingRate };

  struct OwnFrame {
    std::uint8_t destination = 0;
    std::uint8_t source = 0;
    std::vector<std::uint8_t> data;
    After after = After::Nothing;
  };

  struct InFlight {
    OwnFrame frame;
    std::uint8_t sequence = 0;
    int retransmissions = 0;
    Clock::time_point deadline;
  };

  struct CountedFault {
    int left = 0;
    int destination = kAnyAddress;
    [[nodiscard]] bool Matches(std::uint8_t address) const {
      return left > 0 && (destination == kAnyAddress || destination == address);
    }
  };

  explicit Impl(SimConfig config)
      : cfg(std::move(config)),
        parser(*this),
        firmware(FirmwareContent{}),
        start(Clock::now()),
        inbox(std::make_shared<Inbox>()) {
    mode = cfg.mode;
    ratesSeen.push_back(kBaseBitRate);
    transport.SetTransactionPolicy(cfg.transactionPolicy, cfg.transactionAnswer);
    transport.SetConnectPolicy(cfg.connectPolicy);
    FirmwareContent content = cfg.firmware;
    if (!cfg.storePath.empty()) {
      std::error_code ec;
      std::string why;
      if (!std::filesystem::exists(cfg.storePath, ec)) {
        storeNew = true;  // starts with the configured firmware, written at start
      } else if (FirmwareContent stored; LoadStore(cfg.storePath, &stored, &why)) {
        content = std::move(stored);
      } else {
        // An unreadable store is reported and left alone.
        storeError = why;
        storeWritable = false;
      }
    }
    firmware.SetContent(std::move(content));
    (void)firmware.TakeChanged();
    garble = cfg.garbleOnRateMismatch;
    lineTiming = cfg.emulateLineTiming;
    inbox->SetLineTiming(cfg.emulateLineTiming);
    traceSink = cfg.trace;
    tracing = static_cast<bool>(traceSink);
  }

  ~Impl() override = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // ---------------------------------------------------------------- threads

  bool Start(std::unique_ptr<SerialLine> newLine) {
    line = std::move(newLine);
    if (storeNew) {
      SaveStoreLocked();
    }
    worker = std::thread([this] { WorkerLoop(); });
    writer = std::thread([this] { WriterLoop(); });
    return true;
  }

  void Stop() {
    inbox->Close();
    {
      std::lock_guard lock(writerMutex);
      writerStop = true;
      writerCv.notify_all();
    }
    if (worker.joinable()) {
      worker.join();
    }
    if (writer.joinable()) {
      writer.join();
    }
    if (line) {
      line->Stop();
    }
    Bump();
  }

  void WorkerLoop() {
    std::vector<Inbox::Item> items;
    while (true) {
      std::optional<Clock::time_point> deadline;
      {
        std::lock_guard lock(mutex);
        deadline = NextDeadline();
      }
      if (!inbox->Take(&items, deadline)) {
        return;
      }
      {
        std::lock_guard lock(mutex);
        for (Inbox::Item& item : items) {
          HandleBytes(item);
        }
        HandleTimers(Clock::now());
        Pump();
      }
      items.clear();
      DrainTraces();
      Bump();
    }
  }

  void WriterLoop() {
    std::unique_lock lock(writerMutex);
    while (true) {
      writerCv.wait(lock, [this] { return writerStop || !outQueue.empty(); });
      if (writerStop) {
        return;
      }
      const Clock::time_point due = outQueue.front().due;
      if (Clock::now() < due) {
        writerCv.wait_until(lock, due, [this] { return writerStop; });
        continue;
      }
      OutChunk chunk = std::move(outQueue.front());
      outQueue.pop_front();
      if (chunk.newOwnRate != 0) {
        lock.unlock();
        line->SetOwnBitRate(chunk.newOwnRate);
        lock.lock();
        continue;
      }
      std::string note;
      if (silent.load()) {
        txLostSilent += static_cast<std::uint32_t>(chunk.bytes.size());
        note = " [lost: silent]";
      } else {
        const int hostRate = line->HostBitRate();
        if (hostRate != 0 && hostRate != chunk.bitRate) {
          if (garble.load()) {
            for (std::uint8_t& b : chunk.bytes) {
              b = txGarbler.Apply(b);
            }
            txGarbled += static_cast<std::uint32_t>(chunk.bytes.size());
            note = " [garbled: host at " + std::to_string(hostRate) + "]";
          } else {
            txLostRate += static_cast<std::uint32_t>(chunk.bytes.size());
            note = " [lost: host at " + std::to_string(hostRate) + "]";
          }
        }
        if (note.empty() || garble.load()) {
          for (std::uint8_t& b : chunk.bytes) {
            if (txCorrupter.Apply(b)) {
              ++txCorrupted;
            }
          }
        }
      }
      const bool deliver = note.empty() || note.starts_with(" [garbled");
      const bool pace = lineTiming.load();
      if (tracing.load()) {
        EnqueueTrace(TraceLine(Seconds(Clock::now()), false, chunk.bytes) + note);
      }
      lock.unlock();
      DrainTraces();
      if (deliver) {
        Deliver(chunk, pace);
      }
      Bump();
      lock.lock();
    }
  }

  // Writes a chunk; with line timing each slice leaves only after the time it takes on the line.
  void Deliver(const OutChunk& chunk, bool pace) {
    if (!pace) {
      line->Write(chunk.bytes);
      return;
    }
    std::span<const std::uint8_t> rest(chunk.bytes);
    while (!rest.empty()) {
      const std::size_t n = std::min(rest.size(), kPacingSlice);
      {
        std::unique_lock lock(writerMutex);
        if (writerCv.wait_for(lock, LineTime(n, chunk.bitRate), [this] { return writerStop; })) {
          return;
        }
      }
      line->Write(rest.first(n));
      rest = rest.subspan(n);
    }
  }

  // Trace lines are queued in the order the events happened (under any lock) and handed to
  // the sink in that order by whichever thread drains next, with no controller lock held but
  // the drain lock, which only keeps the order.
  void EnqueueTrace(std::string text) {
    std::lock_guard lock(traceMutex);
    traceQueue.push_back(std::move(text));
  }

  void DrainTraces() {
    std::lock_guard emit(emitMutex);
    std::function<void(const std::string&)> sink;
    {
      std::lock_guard lock(mutex);
      sink = traceSink;
    }
    while (true) {
      std::string text;
      {
        std::lock_guard lock(traceMutex);
        if (traceQueue.empty()) {
          return;
        }
        text = std::move(traceQueue.front());
        traceQueue.pop_front();
      }
      if (sink) {
        sink(text);
      }
    }
  }

  void Bump() {
    std::lock_guard lock(observeMutex);
    ++generation;
    observeCv.notify_all();
  }

  [[nodiscard]] double Seconds(Clock::time_point t) const {
    return std::chrono::duration<double>(t - start).count();
  }

  // ---------------------------------------------------------------- receiving (worker, locked)

  void HandleBytes(const Inbox::Item& item) {
    if (item.hostBitRate != 0 &&
        (hostRatesSeen.empty() || hostRatesSeen.back() != item.hostBitRate)) {
      Keep(hostRatesSeen, item.hostBitRate);
    }
    // The host has moved to the rate just agreed on: no need to wait for the answer's end.
    if (pendingRate && item.hostBitRate == *pendingRate && item.hostBitRate != rate) {
      ApplyPendingRate();
      if (inFlight && inFlight->frame.after == After::ApplyPendingRate) {
        inFlight.reset();
      }
    }
    if (anyReceived && item.start - lastReceived >= kReceiveGap) {
      parser.Reset();  // a pause on the line drops a partial frame
    }
    anyReceived = true;
    lastReceived = item.at;
    currentHostRate = item.hostBitRate;
    counters.bytesReceived += static_cast<std::uint32_t>(item.bytes.size());
    std::vector<std::uint8_t> lost;
    std::string lostWhy;
    for (std::uint8_t byte : item.bytes) {
      if (silent.load()) {
        ++counters.bytesLostSilent;
        lost.push_back(byte);
        lostWhy = " [lost: silent]";
        continue;
      }
      if (item.hostBitRate != 0 && item.hostBitRate != rate) {
        if (!cfg.garbleOnRateMismatch) {
          ++counters.bytesLostRateMismatch;
          lost.push_back(byte);
          lostWhy = " [lost: host at " + std::to_string(item.hostBitRate) + ", controller at " +
                    std::to_string(rate) + "]";
          continue;
        }
        byte = rxGarbler.Apply(byte);
        ++counters.bytesGarbled;
      }
      if (rxCorrupter.Apply(byte)) {
        ++counters.bytesCorrupted;
      }
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
    if (!lost.empty() && tracing.load()) {
      EnqueueTrace(TraceLine(Seconds(item.at), true, lost) + lostWhy);
    }
  }

  // --- IFrameSink (called inside parser.Feed) ---

  int LookupAddress(std::uint8_t address) override {
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

  void OnValidFrame() override { lastValid = Clock::now(); }

  void OnAcknowledgement(std::uint8_t ack, bool insideData) override {
    ++counters.acksReceived;
    if (!insideData) {
      TraceReceived("");
    }
    HandleOwnAck(ack);
  }

  void OnAnswer(std::uint8_t answer) override {
    dropFrame = false;
    const std::uint8_t code = answer & 0xE0;
    const std::uint8_t sequence = answer & 0x1F;
    const bool repetition = code == stack::kAckAccepted && sequence == parser.LastSequence();
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
    QueueOut(std::vector<std::uint8_t>(frame.begin(), frame.end()), ReplyDue());
    ++counters.acksSent;
    Keep(acksSent, answer);
  }

  // Whether a new frame that would be accepted is answered busy instead: the next ones asked
  // for by AnswerBusy, and every busyEvery-th frame to an entity (link management is never
  // backed off by the host, so its frames are left alone).
  bool TakeBusy() {
    if (busy.Matches(lookedUp)) {
      --busy.left;
      return true;
    }
    if (busyEvery == 0 || lookedUp == kManagementAddress) {
      return false;
    }
    return ++busyCandidates % static_cast<std::uint32_t>(busyEvery) == 0;
  }

  void OnLinkManagementReply(const stack::ReceivedFrame& frame) override {
    if (dropFrame) {
      return;
    }
    Record(frame);
    HandleManagement(frame);
  }

  void OnDataFrame(int ownerKey, const stack::ReceivedFrame& frame) override {
    if (dropFrame) {
      return;
    }
    Record(frame);
    const std::span<const std::uint8_t> data = frame.Data();
    if (ownerKey == kKeyTransport) {
      // Only the host's transport layer speaks PDUs; a client's datagram to 0x21 is kept only.
      if (frame.source != kTransportAddress || data.empty()) {
        return;
      }
      if (const std::optional<Pdu> pdu = DecodePdu(data)) {
        Keep(pdus, ObservedPdu{pdu->type, pdu->number, pdu->extra, pdu->data});
      }
      const std::uint32_t busyBefore = transport.BusyAnswers();
      for (std::vector<std::uint8_t>& answer : transport.Handle(data)) {
        QueueFrame(OwnFrame{kTransportAddress, kTransportAddress, std::move(answer)});
      }
      counters.transportBusyAnswers += transport.BusyAnswers() - busyBefore;
    } else if (ownerKey == kKeyFirmware) {
      Keep(firmwareMessages, ObservedFirmwareMessage{frame.source, std::vector<std::uint8_t>(
                                                                       data.begin(), data.end())});
      for (std::vector<std::uint8_t>& reply : firmware.Handle(data)) {
        QueueFrame(OwnFrame{frame.source, kFirmwareAddress, std::move(reply)});
      }
      if (firmware.TakeChanged()) {
        SaveStoreLocked();
      }
    }
  }

  bool CountersEnabled() override { return true; }

  void Record(const stack::ReceivedFrame& frame) {
    ++counters.framesAccepted;
    const std::span<const std::uint8_t> data = frame.Data();
    Keep(frames, ObservedFrame{static_cast<std::uint8_t>(frame.sequence & 0x1F), frame.destination,
                               frame.source, std::vector<std::uint8_t>(data.begin(), data.end()),
                               currentHostRate});
  }

  void TraceReceived(const std::string& note) {
    if (tracing.load()) {
      EnqueueTrace(TraceLine(Seconds(Clock::now()), true, rawReceived) + note);
    }
    rawReceived.clear();
  }

  // ---------------------------------------------------------------- link management

  void HandleManagement(const stack::ReceivedFrame& frame) {
    const std::span<const std::uint8_t> data = frame.Data();
    if (data.empty()) {
      return;
    }
    const std::uint8_t command = data[0];
    auto param = [&](std::size_t i) -> std::uint8_t { return i < data.size() ? data[i] : 0; };
    Keep(managementCommands, command);
    switch (command) {
      case 0x00: {
        std::vector<std::uint8_t> reply{0x20};
        reply.insert(reply.end(), cfg.descriptionHead.begin(), cfg.descriptionHead.end());
        reply.push_back(mode == ControllerMode::BootCode ? cfg.bootType : cfg.normalType);
        reply.insert(reply.end(), cfg.version.begin(), cfg.version.end());
        reply.push_back(cfg.identityExtra);
        ReplyManagement(std::move(reply));
        break;
      }
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
      case 0x04: {
        const int requested = CodeToBitRate(param(1));
        if (requested != 0 && requested <= cfg.maxBitRate) {
          pendingRate = requested;
          ReplyManagement({0x24}, After::ApplyPendingRate);
        } else {
          ReplyManagement({0x44});
        }
        break;
      }
      case 0x05: ReplyManagement({0x25}); break;
      case 0x03:
        // Restarts at once: no answer, and frames at the old rate are not understood any more.
        ++counters.restarts;
        EnterMode(ControllerMode::Normal);
        break;
      default: ReplyManagement({static_cast<std::uint8_t>(0x40 | (command & 0x1F))}); break;
    }
  }

  void ReplyManagement(std::vector<std::uint8_t> reply, After after = After::Nothing) {
    QueueFrame(OwnFrame{kManagementAddress, kManagementAddress, std::move(reply), after});
  }

  void HostConnects(int announcedMs) {
    hostConnected = true;
    hostTimeoutMs = announcedMs;
    lastValid = Clock::now();
  }

  // A (re)start of the controller in `newMode`: 9600 bit/s, no link, transfers forgotten, and
  // so are its own frames not yet acknowledged (never retransmitted after the restart).
  void EnterMode(ControllerMode newMode) {
    mode = newMode;
    hostConnected = false;
    pendingRate.reset();
    SetRate(kBaseBitRate);
    transport.Reset();
    firmware.ResetTransfers();
    txQueue.clear();
    inFlight.reset();
    if (feeding) {
      parserRestartPending = true;
    } else {
      parser.Reset();
      parser.ResetSequence();
    }
  }

  void SetRate(int newRate) {
    if (newRate == rate) {
      return;
    }
    rate = newRate;
    Keep(ratesSeen, newRate);
    std::lock_guard lock(writerMutex);
    outQueue.push_back(OutChunk{{}, Clock::now(), newRate, newRate});
    writerCv.notify_all();
  }

  void ApplyPendingRate() {
    if (pendingRate) {
      const int r = *pendingRate;
      pendingRate.reset();
      SetRate(r);
      parser.Reset();
    }
  }

  // ---------------------------------------------------------------- own frames (locked)

  // A host that never acknowledges cannot make the queue grow without end: the oldest
  // waiting frame is given up.
  void QueueFrame(OwnFrame frame) {
    if (txQueue.size() >= kMaxQueuedFrames) {
      txQueue.pop_front();
      ++counters.framesGivenUp;
    }
    txQueue.push_back(std::move(frame));
  }

  [[nodiscard]] Clock::time_point ReplyDue() const {
    return Clock::now() + Millis(std::max(cfg.replyDelayMs, 0));
  }

  void QueueOut(std::vector<std::uint8_t> bytes, Clock::time_point due) {
    std::lock_guard lock(writerMutex);
    outQueue.push_back(OutChunk{std::move(bytes), due, rate, 0});
    writerCv.notify_all();
  }

  void WriteInFlight(Clock::time_point due) {
    const std::vector<std::uint8_t> bytes =
        stack::EncodeDataFrame(inFlight->sequence, inFlight->frame.destination,
                               inFlight->frame.source, inFlight->frame.data);
    const Clock::duration onLine =
        cfg.emulateLineTiming ? LineTime(bytes.size(), rate) : Clock::duration::zero();
    inFlight->deadline = due + onLine + Millis(std::max(cfg.retransmissionTimeMs, 1));
    ++counters.framesSent;
    QueueOut(bytes, due);
  }

  // Sends the next own frame when none is waiting for its acknowledgement.
  void Pump() {
    if (inFlight || txQueue.empty()) {
      return;
    }
    inFlight = InFlight{std::move(txQueue.front()), 0, 0, {}};
    txQueue.pop_front();
    txSequence = static_cast<std::uint8_t>((txSequence + 1) & 0x1F);
    inFlight->sequence = txSequence;
    WriteInFlight(ReplyDue());
  }

  void FinishInFlight(bool acknowledged) {
    if (!acknowledged) {
      ++counters.framesGivenUp;
    }
    // The rate agreed on applies once its answer has gone, acknowledged or not.
    if (inFlight->frame.after == After::ApplyPendingRate) {
      ApplyPendingRate();
    }
    inFlight.reset();
  }

  void Retransmit() {
    if (inFlight->retransmissions >= cfg.retransmissions) {
      FinishInFlight(false);
      return;
    }
    ++inFlight->retransmissions;
    ++counters.retransmissions;
    WriteInFlight(Clock::now());
  }

  void HandleOwnAck(std::uint8_t ack) {
    if (!inFlight) {
      return;
    }
    if ((ack & 0x1F) != inFlight->sequence) {
      Retransmit();  // an answer for another frame counts as a failed attempt
      return;
    }
    switch (ack & 0xE0) {
      case stack::kAckAccepted: FinishInFlight(true); break;
      case stack::kAckBusy: break;  // sent again when the wait runs out
      default: FinishInFlight(false); break;
    }
  }

  void HandleTimers(Clock::time_point now) {
    if (inFlight && now >= inFlight->deadline) {
      // A host that already runs at the agreed rate cannot hear the answer any more.
      if (inFlight->frame.after == After::ApplyPendingRate && pendingRate && line &&
          line->HostBitRate() == *pendingRate) {
        FinishInFlight(false);
      } else {
        Retransmit();
      }
    }
    if (hostConnected && cfg.superviseHost && hostTimeoutMs > 0 &&
        now - lastValid >= Millis(hostTimeoutMs)) {
      hostConnected = false;
      ++counters.hostTimeouts;
      pendingRate.reset();
      SetRate(kBaseBitRate);
      transport.Reset();
      parser.Reset();
    }
  }

  [[nodiscard]] std::optional<Clock::time_point> NextDeadline() const {
    std::optional<Clock::time_point> next;
    if (inFlight) {
      next = inFlight->deadline;
    }
    if (hostConnected && cfg.superviseHost && hostTimeoutMs > 0) {
      const Clock::time_point t = lastValid + Millis(hostTimeoutMs);
      next = next ? std::min(*next, t) : t;
    }
    if (!inFlight && !txQueue.empty()) {
      next = Clock::now();
    }
    return next;
  }

  void SaveStoreLocked() {
    if (cfg.storePath.empty() || !storeWritable) {
      return;
    }
    std::string why;
    if (!SaveStore(cfg.storePath, firmware.Content(), &why)) {
      storeError = why;
    }
  }

  // ---------------------------------------------------------------- state

  // Protocol state and observations: `mutex`. Output queue and its counters: `writerMutex`
  // (taken inside `mutex`, never the other way round). Observation wake-ups: `observeMutex`
  // (a leaf).
  mutable std::mutex mutex;
  SimConfig cfg;
  stack::FrameParser parser;
  TransportEntity transport;
  FirmwareEntity firmware;
  ControllerMode mode = ControllerMode::Normal;
  int rate = kBaseBitRate;
  std::optional<int> pendingRate;
  bool hostConnected = false;
  int hostTimeoutMs = 0;
  Clock::time_point lastValid;
  Clock::time_point lastReceived;
  bool anyReceived = false;
  int currentHostRate = 0;
  std::uint8_t lookedUp = 0;
  bool dropFrame = false;
  bool parserRestartPending = false;
  bool feeding = false;
  CountedFault dropAcks;
  CountedFault busy;
  int busyEvery = 0;                 // AnswerBusyEvery
  std::uint32_t busyCandidates = 0;  // new frames to an entity, counted for busyEvery
  ByteCorrupter rxCorrupter;
  RateGarbler rxGarbler;
  std::deque<OwnFrame> txQueue;
  std::optional<InFlight> inFlight;
  std::uint8_t txSequence = 31;
  std::vector<std::uint8_t> rawReceived;
  std::function<void(const std::string&)> traceSink;
  std::atomic<bool> tracing{false};
  std::mutex traceMutex;  // a leaf
  std::deque<std::string> traceQueue;
  std::mutex emitMutex;  // taken before `mutex`, never inside it
  std::string storeError;
  bool storeWritable = true;
  bool storeNew = false;

  SimCounters counters;
  std::deque<ObservedFrame> frames;
  std::deque<std::uint8_t> managementCommands;
  std::deque<ObservedPdu> pdus;
  std::deque<ObservedFirmwareMessage> firmwareMessages;
  std::deque<std::uint8_t> acksSent;
  std::deque<int> ratesSeen;
  std::deque<int> hostRatesSeen;

  std::mutex writerMutex;
  std::condition_variable writerCv;
  std::deque<OutChunk> outQueue;
  bool writerStop = false;
  ByteCorrupter txCorrupter;
  RateGarbler txGarbler;
  std::uint32_t txLostSilent = 0;
  std::uint32_t txLostRate = 0;
  std::uint32_t txGarbled = 0;
  std::uint32_t txCorrupted = 0;

  std::atomic<bool> silent{false};
  std::atomic<bool> garble{false};
  std::atomic<bool> lineTiming{false};

  mutable std::mutex observeMutex;
  mutable std::condition_variable observeCv;
  std::uint64_t generation = 0;

  const Clock::time_point start;
  std::shared_ptr<Inbox> inbox;
  std::unique_ptr<SerialLine> line;
  std::thread worker;
  std::thread writer;
  // Set once by the call that starts it, and by the first Stop().
  std::atomic<bool> started{false};
  std::atomic<bool> stopped{false};

  // Queues the PDU that `build` makes on the transport entity; false when it made none.
  template <typename Build>
  bool Originate(Build build) {
    {
      std::lock_guard lock(mutex);
      std::optional<std::vector<std::uint8_t>> pdu = build(transport);
      if (!pdu) {
        return false;
      }
      QueueFrame(OwnFrame{kTransportAddress, kTransportAddress, std::move(*pdu)});
    }
    inbox->Wake();
    return true;
  }
};

SimulatedController::SimulatedController(SimConfig config)
    : m_impl(std::make_unique<Impl>(std::move(config))) {}

SimulatedController::~SimulatedController() {
  Stop();
}

namespace {

ByteSink SinkFor(const std::shared_ptr<Inbox>& inbox) {
  return [inbox](std::span<const std::uint8_t> bytes, int hostBitRate) {
    inbox->Push(bytes, hostBitRate);
  };
}

}  // namespace

bool SimulatedController::AttachTo(stack::SimulatedSerialPort& port) {
  if (m_impl->started.exchange(true)) {
    return false;
  }
  return m_impl->Start(MakePortLine(port, SinkFor(m_impl->inbox)));
}

bool SimulatedController::StartPseudoTerminal(const std::string& linkPath, std::string* error) {
  if (m_impl->started.exchange(true)) {
    if (error != nullptr) {
      *error = "already running";
    }
    return false;
  }
  std::unique_ptr<SerialLine> line =
      MakePseudoTerminalLine(SinkFor(m_impl->inbox), linkPath, error, [impl = m_impl.get()] {
        {
          std::lock_guard lock(impl->mutex);
          ++impl->counters.hostClosings;
        }
        impl->Bump();
      });
  if (!line) {
    m_impl->started = false;
    return false;
  }
  return m_impl->Start(std::move(line));
}

bool SimulatedController::OpenDevice(const std::string& devicePath, std::string* error) {
  if (m_impl->started.exchange(true)) {
    if (error != nullptr) {
      *error = "already running";
    }
    return false;
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
  copy.trace = m_impl->traceSink;
  return copy;
}

void SimulatedController::SetMode(ControllerMode mode) {
  {
    std::lock_guard lock(m_impl->mutex);
    m_impl->EnterMode(mode);
  }
  m_impl->inbox->Wake();
  m_impl->Bump();
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
  m_impl->lineTiming = on;
  m_impl->inbox->SetLineTiming(on);
}

void SimulatedController::SetGarbleOnRateMismatch(bool on) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->cfg.garbleOnRateMismatch = on;
  m_impl->garble = on;
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
  std::lock_guard lock(m_impl->mutex);
  m_impl->traceSink = std::move(trace);
  m_impl->tracing = static_cast<bool>(m_impl->traceSink);
}

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
  std::lock_guard lock(m_impl->writerMutex);
  m_impl->txCorrupter = ByteCorrupter(p, seed + 1);
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
    ++m_impl->counters.restarts;
    m_impl->EnterMode(ControllerMode::Normal);
  }
  m_impl->inbox->Wake();
  m_impl->Bump();
}

void SimulatedController::SetReplyDelay(int ms) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->cfg.replyDelayMs = std::max(ms, 0);
}

std::uint8_t SimulatedController::OriginateTransaction(std::uint8_t transportNumber,
                                                       std::span<const std::uint8_t> data) {
  std::uint8_t number = 0;
  {
    std::lock_guard lock(m_impl->mutex);
    std::vector<std::uint8_t> pdu =
        m_impl->transport.OriginateTransaction(transportNumber, data, &number);
    m_impl->QueueFrame(Impl::OwnFrame{kTransportAddress, kTransportAddress, std::move(pdu)});
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
    m_impl->QueueFrame(
        Impl::OwnFrame{destination, source, std::vector<std::uint8_t>(data.begin(), data.end())});
  }
  m_impl->inbox->Wake();
}

ControllerMode SimulatedController::Mode() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->mode;
}

int SimulatedController::BitRate() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->rate;
}

std::vector<int> SimulatedController::BitRatesSeen() const {
  std::lock_guard lock(m_impl->mutex);
  return {m_impl->ratesSeen.begin(), m_impl->ratesSeen.end()};
}

std::vector<int> SimulatedController::HostBitRatesSeen() const {
  std::lock_guard lock(m_impl->mutex);
  return {m_impl->hostRatesSeen.begin(), m_impl->hostRatesSeen.end()};
}

bool SimulatedController::HostConnected() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->hostConnected;
}

std::vector<ObservedFrame> SimulatedController::FramesReceived() const {
  std::lock_guard lock(m_impl->mutex);
  return {m_impl->frames.begin(), m_impl->frames.end()};
}

int SimulatedController::ManagementCount(std::uint8_t command) const {
  std::lock_guard lock(m_impl->mutex);
  return static_cast<int>(
      std::count(m_impl->managementCommands.begin(), m_impl->managementCommands.end(), command));
}

std::vector<std::uint8_t> SimulatedController::ManagementCommands() const {
  std::lock_guard lock(m_impl->mutex);
  return {m_impl->managementCommands.begin(), m_impl->managementCommands.end()};
}

std::vector<ObservedPdu> SimulatedController::TransportPdus() const {
  std::lock_guard lock(m_impl->mutex);
  return {m_impl->pdus.begin(), m_impl->pdus.end()};
}

std::vector<ObservedFirmwareMessage> SimulatedController::FirmwareMessages() const {
  std::lock_guard lock(m_impl->mutex);
  return {m_impl->firmwareMessages.begin(), m_impl->firmwareMessages.end()};
}

std::vector<SimConnection> SimulatedController::Connections() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->transport.Connections();
}

SimCounters SimulatedController::Counters() const {
  std::lock_guard lock(m_impl->mutex);
  SimCounters c = m_impl->counters;
  c.framesBadCheck = m_impl->parser.Counters().framesBadCheck.load();
  std::lock_guard writerLock(m_impl->writerMutex);
  c.bytesLostSilent += m_impl->txLostSilent;
  c.bytesLostRateMismatch += m_impl->txLostRate;
  c.bytesGarbled += m_impl->txGarbled;
  c.bytesCorrupted += m_impl->txCorrupted;
  return c;
}

std::vector<std::uint8_t> SimulatedController::AcksSent() const {
  std::lock_guard lock(m_impl->mutex);
  return {m_impl->acksSent.begin(), m_impl->acksSent.end()};
}

void SimulatedController::ClearObservations() {
  std::lock_guard lock(m_impl->mutex);
  m_impl->frames.clear();
  m_impl->managementCommands.clear();
  m_impl->pdus.clear();
  m_impl->firmwareMessages.clear();
  m_impl->acksSent.clear();
}

std::string SimulatedController::StoreError() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->storeError;
}

bool SimulatedController::WaitUntil(const std::function<bool()>& condition,
                                    std::chrono::milliseconds timeout) const {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (true) {
    std::uint64_t seen = 0;
    {
      std::lock_guard lock(m_impl->observeMutex);
      seen = m_impl->generation;
    }
    if (condition()) {
      return true;
    }
    std::unique_lock lock(m_impl->observeMutex);
    if (!m_impl->observeCv.wait_until(lock, deadline, [&] { return m_impl->generation != seen; })) {
      lock.unlock();
      return condition();
    }
  }
}

}  // namespace tavra::sim
