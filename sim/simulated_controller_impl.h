#pragma once
// The simulated controller's insides, shared by the files that implement it:
// simulated_controller*.cpp (the public methods), controller_worker.cpp (threads, timers, the
// store), frame_receiving.cpp (bytes from the host into frames and answers) and
// link_management.cpp (address 0x20: identity, connect, bit rate, restarts, supervision).
//
// Owner: SimulatedController (one Impl each). Threads: the worker handles the line; the public
// methods run on any thread. Locks: `mutex` guards the protocol state, the observations and the
// own frames; the line writer's lock is taken inside it, never the other way round; the locks
// of the inbox, the trace queue and the observation signal are leaves. No lock is held while
// the trace sink is called.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/stack/frame_parser.h"
#include "sim/byte_faults.h"
#include "sim/firmware_entity.h"
#include "sim/inbox.h"
#include "sim/line_timing.h"
#include "sim/line_writer.h"
#include "sim/observations.h"
#include "sim/own_frames.h"
#include "sim/serial_line.h"
#include "sim/simulated_controller.h"
#include "sim/trace_queue.h"

namespace tavra::sim {

inline constexpr std::uint8_t kManagementAddress = 0x20;
inline constexpr std::uint8_t kTransportAddress = 0x21;
inline constexpr std::uint8_t kFirmwareAddress = 0x22;

struct SimulatedController::Impl final : stack::IFrameSink {
  // A fault for the next `left` frames to `destination`.
  struct CountedFault {
    int left = 0;
    int destination = kAnyAddress;
    [[nodiscard]] bool Matches(std::uint8_t address) const {
      return left > 0 && (destination == kAnyAddress || destination == address);
    }
  };

  explicit Impl(SimConfig config);
  ~Impl() override = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // --- threads (controller_worker.cpp) ---
  bool Start(std::unique_ptr<SerialLine> newLine);
  void Stop();
  void WorkerLoop();
  void HandleTimers(SimClock::time_point now);                             // locked
  [[nodiscard]] std::optional<SimClock::time_point> NextDeadline() const;  // locked
  [[nodiscard]] SimClock::time_point ReplyDue() const;                     // locked
  // OwnFrames' way to the line (locked).
  SimClock::time_point SendOwn(std::vector<std::uint8_t> bytes, SimClock::time_point due);
  void AfterOwnFrame(OwnFrames::After after);  // locked
  void SaveStoreLocked();
  // Queues the PDU that `build` makes on the transport entity; false when it made none.
  template <typename Build>
  bool Originate(Build build);

  // --- receiving (frame_receiving.cpp; worker, locked) ---
  void HandleBytes(const Inbox::Item& item);
  // What the line does to a byte from the host: nullopt when lost (the reason in *lostWhy).
  std::optional<std::uint8_t> Arrive(std::uint8_t byte, int hostBitRate, std::string* lostWhy);
  void Feed(std::uint8_t byte);
  int LookupAddress(std::uint8_t address) override;
  void OnValidFrame() override { lastValid = SimClock::now(); }
  void OnAcknowledgement(std::uint8_t ack, bool insideData) override;
  void OnAnswer(std::uint8_t answer) override;
  bool TakeBusy();
  void OnLinkManagementReply(const stack::ReceivedFrame& frame) override;
  void OnDataFrame(int ownerKey, const stack::ReceivedFrame& frame) override;
  void HandleTransportFrame(const stack::ReceivedFrame& frame);
  void HandleFirmwareFrame(const stack::ReceivedFrame& frame);
  bool CountersEnabled() override { return true; }
  void Record(const stack::ReceivedFrame& frame);
  void TraceReceived(const std::string& note);

  // --- link management (link_management.cpp; locked) ---
  void HandleManagement(const stack::ReceivedFrame& frame);
  [[nodiscard]] std::vector<std::uint8_t> IdentifyReply() const;
  void SetBitRateRequested(std::uint8_t code);
  void ReplyManagement(std::vector<std::uint8_t> reply,
                       OwnFrames::After after = OwnFrames::After::Nothing);
  void HostConnects(int announcedMs);
  void EnterMode(ControllerMode newMode);
  void SetRate(int newRate);
  void ApplyPendingRate();
  // The host has moved to the rate just agreed on: no need to wait for the answer's end.
  void FollowHostRate(int hostBitRate);
  [[nodiscard]] bool HostAtPendingRate() const;
  void SuperviseHost(SimClock::time_point now);
  [[nodiscard]] std::optional<SimClock::time_point> SupervisionDeadline() const;

  // --- state ---
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
  SimClock::time_point lastValid;
  SimClock::time_point lastReceived;
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
  std::vector<std::uint8_t> rawReceived;  // the frame being received, for the trace
  std::string storeError;
  bool storeWritable = true;
  bool storeNew = false;
  Observations observed;

  const SimClock::time_point start;
  TraceQueue traces{start};
  ObservationSignal changed;
  std::atomic<bool> silent{false};
  std::unique_ptr<SerialLine> line;  // outlives the writer
  LineWriter writer{traces, changed, silent};
  OwnFrames own;
  std::shared_ptr<Inbox> inbox;
  std::thread worker;
  // Set once by the call that starts it, and by the first Stop().
  std::atomic<bool> started{false};
  std::atomic<bool> stopped{false};
};

template <typename Build>
bool SimulatedController::Impl::Originate(Build build) {
  {
    std::lock_guard lock(mutex);
    std::optional<std::vector<std::uint8_t>> pdu = build(transport);
    if (!pdu) {
      return false;
    }
    own.Queue(OwnFrames::Frame{kTransportAddress, kTransportAddress, std::move(*pdu)});
  }
  inbox->Wake();
  return true;
}

}  // namespace tavra::sim
